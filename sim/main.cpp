// kavrel-sim: the simulated receiver as a program. Prints the slave path first, serves until a signal.

#include "sim/SimReceiver.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>

namespace {
std::atomic<CSimReceiver*> g_Receiver{nullptr};

void OnStopSignal(int) {
    if (CSimReceiver* r = g_Receiver.load())
        r->Stop();
}

void OnDumpSignal(int) {
    if (CSimReceiver* r = g_Receiver.load())
        r->RequestFlashDump();
}

void Install(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(sig, &sa, nullptr);
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
    CSimReceiver receiver(opt);
    std::string error;
    if (!receiver.Open(error)) {
        std::fprintf(stderr, "kavrel-sim: %s\n", error.c_str());
        return 1;
    }
    g_Receiver.store(&receiver);
    Install(SIGINT, OnStopSignal);
    Install(SIGTERM, OnStopSignal);
    Install(SIGUSR1, OnDumpSignal);
    signal(SIGPIPE, SIG_IGN);

    std::printf("%s\n", receiver.SlavePath().c_str());
    std::fflush(stdout);
    SimEnd end = receiver.Run();
    g_Receiver.store(nullptr);
    if (opt.statsPath.empty())
        std::fputs(receiver.StatsText().c_str(), stderr);
    switch (end) {
    case SimEnd::HungUp:
        return 3;
    case SimEnd::Error:
        return 1;
    default:
        return receiver.ViolationCount() > 0 ? 4 : 0;
    }
}
