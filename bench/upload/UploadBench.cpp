// Uploads union images to the receiver simulator over a pseudo-terminal paced at 115200 bit/s and prints
// how close the whole upload comes to what the line and the simulated flash allow, how fast the tool
// answers, and how much processor time it takes.
//
//   upload_bench [--transcript FILE] [--uart] [MiB ...]      default: 1 3
//
// --uart puts a port in front whose output drains at the line rate as a UART's does (a pseudo-terminal
// takes every byte at once), so the tool's transmit drain is measured as on real hardware; 0.125 MiB gives
// the 128 KiB figure.

#include "SimSession.h"
#include "TestImages.h"
#include "UartPort.h"
#include "image/LoadImage.h"
#include "loader/LoaderProtocol.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Takes the log lines written so far; returns the sector count the loader announced (0 if none).
int DrainLog(CChannel& channel, std::vector<std::string>& keep, int& records) {
    int sectors = 0;
    while (auto line = channel.m_LogQueue.Pop()) {
        size_t tab = line->find('\t');
        std::string text = tab == std::string::npos ? *line : line->substr(tab + 1);
        int n = 0;
        if (std::sscanf(text.c_str(), "Sectors to erase N = %d.", &n) == 1)
            sectors += n;
        if (text.rfind("Record write", 0) != 0)
            keep.push_back(text);
        else
            ++records;
    }
    return sectors;
}

bool RunOne(double mib, const std::string& transcript, bool uart) {
    const uint32_t total = static_cast<uint32_t>(mib * 1024 * 1024) & ~3u;
    const CTestDir dir;
    dir.Write("tz5_sfl.hex", SfldFile("SFLD bench 1.0", 4096));
    const std::vector<uint8_t> bytes = UnionImage(total, "B100", 5, 77);

    SimOptions options; // paced line, the simulator's own flash timings
    options.transcriptPath = transcript;
    CSimSession session(options);
    std::string error;
    if (!session.Start(error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return false;
    }
    CChannel channel;
    CImageFile image;
    if (!LoadImage(image, dir.Write("union.bin", bytes), channel)) {
        std::fprintf(stderr, "image did not load\n");
        return false;
    }
    CUartPort uartPort(session.m_Port);
    CLoaderProtocol job(channel, uart ? static_cast<CCommPort*>(&uartPort) : &session.m_Port, image,
                        dir.Path());
    job.m_ConnectBudget.store(30);

    // The log is drained while the upload runs so that no line is lost to a full queue.
    std::vector<std::string> logs;
    std::atomic<bool> done{false};
    std::atomic<int> sectors{0};
    int records = 0;
    std::thread drain([&] {
        while (!done.load()) {
            sectors += DrainLog(channel, logs, records);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        sectors += DrainLog(channel, logs, records);
    });

    const double cpu0 = ProcessCpuSeconds();
    const double sim0 = session.SimCpuSeconds();
    const uint32_t t0 = TickMs();
    const bool ok = job.UploadTarget();
    const double wall = ElapsedMs(t0) / 1000.0;
    const double cpu = ProcessCpuSeconds() - cpu0 - (session.SimCpuSeconds() - sim0);
    done.store(true);
    drain.join();

    const SimStats stats = session.m_Sim->Stats();
    std::vector<uint8_t> flash = session.m_Sim->FlashCopy();
    const bool same = flash.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), flash.begin());
    session.Stop();
    image.Close();

    const uint32_t frames = (total + 2047) / 2048;
    const double eraseS = sectors.load() * options.eraseMs / 1000.0;
    const double programS = frames * options.programMs / 1000.0;
    const double wireS = (stats.busyFromHostMs + stats.busyToHostMs) / 1000.0;
    const double bound = wireS + eraseS + programS;

    std::printf("image %.2f MiB (%u bytes): %s, flash %s\n", mib, total, ok ? "uploaded" : "FAILED",
                same ? "matches the image" : "DIFFERS from the image");
    if (!ok)
        for (const std::string& line : logs)
            std::printf("    %s\n", line.c_str());
    std::printf("  total time        %9.2f s\n", wall);
    std::printf("  lower bound       %9.2f s  (line %.2f s: %llu bytes out, %llu bytes in; erase %d sectors "
                "%.2f s; program %u frames %.2f s)\n",
                bound, wireS, static_cast<unsigned long long>(stats.bytesFromHost),
                static_cast<unsigned long long>(stats.bytesToHost), sectors.load(), eraseS, frames, programS);
    std::printf("  ratio             %9.4f  (%.2f%% above the bound)\n", wall / bound,
                (wall / bound - 1) * 100);
    std::printf("  host reaction     median %.3f ms, p99 %.3f ms, max %.3f ms over %zu replies\n",
                stats.reactionMedianMs, stats.reactionP99Ms, stats.reactionMaxMs, stats.reactions);
    std::printf("  tool CPU          %9.3f s = %.2f%% of the wall time\n", cpu, 100.0 * cpu / wall);
    if (uart)
        std::printf("  UART-like drain   %llu transmit-idle polls, %.1f per frame sent\n",
                    static_cast<unsigned long long>(uartPort.m_TxPolls.load()),
                    static_cast<double>(uartPort.m_TxPolls.load()) / std::max(records, 1));
    std::fflush(stdout);
    return ok && same;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<double> sizes;
    std::string transcript;
    bool uart = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--uart") {
            uart = true;
            continue;
        }
        if (std::string(argv[i]) == "--transcript" && i + 1 < argc) {
            transcript = argv[++i];
            continue;
        }
        char* end = nullptr;
        double v = std::strtod(argv[i], &end);
        if (end == argv[i] || *end != '\0' || v < 0.04 || v > 3.9) {
            std::fprintf(
                stderr,
                "usage: %s [--transcript FILE] [--uart] [MiB ...]   (each 0.04 to 3.9; default 1 3)\n",
                argv[0]);
            return 2;
        }
        sizes.push_back(v);
    }
    if (sizes.empty())
        sizes = {1.0, 3.0};
    bool all = true;
    for (double mib : sizes)
        all = RunOne(mib, transcript, uart) && all;
    return all ? 0 : 1;
}
