// kavrel-sim: the simulated receiver as a program. Prints the slave paths first (one a line), serves until
// a signal or, with --once, until every receiver has done one upload.

#include "sim/SimReceiver.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {
std::vector<std::unique_ptr<CSimReceiver>> g_Receivers;
std::atomic<bool> g_Serving{false};

void OnStopSignal(int) {
    if (g_Serving.load())
        for (auto& r : g_Receivers)
            r->Stop();
}

void OnDumpSignal(int) {
    if (g_Serving.load())
        for (auto& r : g_Receivers)
            r->RequestFlashDump();
}

void Install(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(sig, &sa, nullptr);
}

std::string Indexed(const std::string& path, uint32_t index, uint32_t count) {
    return path.empty() || count == 1 ? path : path + std::to_string(index);
}

int ExitCode(SimEnd end, const CSimReceiver& r) {
    switch (end) {
    case SimEnd::HungUp:
        return 3;
    case SimEnd::Error:
        return 1;
    default:
        return r.ViolationCount() > 0 ? 4 : 0;
    }
}
} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    SimOptions opt;
    SimParse parse = ParseSimOptions(args, opt);
    if (parse.help) {
        std::fputs(SimHelpText().c_str(), stdout);
        return 0;
    }
    if (!parse.ok) {
        std::fprintf(stderr, "kavrel-sim: %s\nTry kavrel-sim --help.\n", parse.error.c_str());
        return 2;
    }
    // Each receiver keeps its own copy of the options: links and output files carry its index.
    std::vector<SimOptions> each(opt.count, opt);
    for (uint32_t i = 0; i < opt.count; ++i) {
        each[i].linkPath = Indexed(opt.linkPath, i, opt.count);
        each[i].flashOut = Indexed(opt.flashOut, i, opt.count);
        each[i].statsPath = Indexed(opt.statsPath, i, opt.count);
        each[i].transcriptPath = Indexed(opt.transcriptPath, i, opt.count);
        g_Receivers.push_back(std::make_unique<CSimReceiver>(each[i]));
        std::string error;
        if (!g_Receivers.back()->Open(error)) {
            std::fprintf(stderr, "kavrel-sim: %s\n", error.c_str());
            g_Receivers.clear(); // closes the terminals and links made so far
            return 1;
        }
    }
    g_Serving.store(true);
    Install(SIGINT, OnStopSignal);
    Install(SIGTERM, OnStopSignal);
    Install(SIGUSR1, OnDumpSignal);
    signal(SIGPIPE, SIG_IGN);

    for (auto& r : g_Receivers)
        std::printf("%s\n", r->SlavePath().c_str());
    std::fflush(stdout);

    std::vector<SimEnd> ends(opt.count, SimEnd::Stopped);
    std::vector<std::thread> threads;
    for (uint32_t i = 1; i < opt.count; ++i)
        threads.emplace_back([i, &ends] { ends[i] = g_Receivers[i]->Run(); });
    ends[0] = g_Receivers[0]->Run();
    for (std::thread& t : threads)
        t.join();
    g_Serving.store(false);

    int code = 0;
    for (uint32_t i = 0; i < opt.count; ++i) {
        if (each[i].statsPath.empty()) {
            if (opt.count > 1)
                std::fprintf(stderr, "receiver %u:\n", i);
            std::fputs(g_Receivers[i]->StatsText().c_str(), stderr);
        }
        code = std::max(code, ExitCode(ends[i], *g_Receivers[i]));
    }
    return code;
}
