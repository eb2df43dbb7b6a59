// Latency of the data-arrival wait and the CPU cost of an open port, measured over a pseudo-terminal.
//   serial_bench [round trips]

#include "core/Channel.h"
#include "serial/PortTable.h"
#include "serial/SerialPort.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ProcessCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

double RusageCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

void Report(const char* what, std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * us.size()))]; };
    std::printf("%-44s n=%zu  median %.1f us  p99 %.1f us  max %.1f us\n", what, us.size(), at(0.5), at(0.99),
                us.back());
}

int OpenMaster(std::string& slave) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    char name[128] = {};
    if (ptsname_r(master, name, sizeof name) != 0)
        return -1;
    slave = name;
    termios tio{};
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    return master;
}

bool TakeOne(CSerialPort& port, uint8_t& b) {
    for (int i = 0; i < 100; ++i) {
        if (port.ReadByte(b))
            return true;
        port.WaitRx(100);
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    std::string slave;
    const int master = OpenMaster(slave);
    if (master < 0) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    CChannel channel;
    CSerialPort port(channel);
    EnumeratePortsIn("/nonexistent", "/dev");
    AddPortName(slave.c_str());
    port.SetPortIndex(1);
    port.SetBaudSetting(9);
    port.SetParity(2);
    if (!port.Open()) {
        std::fprintf(stderr, "open failed\n");
        return 1;
    }
    std::printf("pseudo-terminal %s, %d rounds\n", slave.c_str(), rounds);

    // One way: a byte written by the far side until WaitRx returns with it.
    std::vector<double> oneWay;
    for (int i = 0; i < rounds + 50; ++i) {
        const uint8_t out = static_cast<uint8_t>(i);
        uint8_t in = 0;
        const auto start = Clock::now();
        if (write(master, &out, 1) != 1)
            return 1;
        if (!TakeOne(port, in) || in != out)
            return 1;
        if (i >= 50)
            oneWay.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    Report("far side write -> WaitRx", oneWay);

    // Round trip: SendByte, the far side echoes, WaitRx returns with the echo.
    std::atomic<bool> echoing{true};
    std::thread echo([&] {
        uint8_t b = 0;
        while (echoing.load()) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) > 0 && read(master, &b, 1) == 1 && write(master, &b, 1) != 1)
                break;
        }
    });
    std::vector<double> roundTrip;
    for (int i = 0; i < rounds + 50; ++i) {
        const uint8_t out = static_cast<uint8_t>(i * 3);
        uint8_t in = 0;
        const auto start = Clock::now();
        port.SendByte(out);
        if (!TakeOne(port, in) || in != out)
            return 1;
        if (i >= 50)
            roundTrip.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    Report("SendByte -> echo -> WaitRx (round trip)", roundTrip);
    echoing.store(false);
    echo.join();

    // An open port that nobody uses.
    const double seconds = 3.0;
    double cpu0 = ProcessCpuMs();
    double rus0 = RusageCpuMs();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    std::printf("idle open port: process CPU %.3f ms/s (getrusage %.3f ms/s)\n",
                (ProcessCpuMs() - cpu0) / seconds, (RusageCpuMs() - rus0) / seconds);

    // A caller waiting for bytes that do not come, in one-second waits.
    double waiterCpu = 0;
    int waits = 0;
    cpu0 = ProcessCpuMs();
    std::thread waiter([&] {
        const double t0 = ThreadCpuMs();
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            port.WaitRx(1000);
            ++waits;
        }
        waiterCpu = ThreadCpuMs() - t0;
    });
    waiter.join();
    std::printf("waiting caller (%d WaitRx of 1 s): its thread %.3f ms/s, whole process %.3f ms/s\n", waits,
                waiterCpu / seconds, (ProcessCpuMs() - cpu0) / seconds);

    // A caller waiting in short slices, as protocol loops with millisecond deadlines do.
    cpu0 = ProcessCpuMs();
    std::thread slicer([&] {
        const double t0 = ThreadCpuMs();
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        waits = 0;
        while (Clock::now() < end) {
            port.WaitRx(10);
            ++waits;
        }
        waiterCpu = ThreadCpuMs() - t0;
    });
    slicer.join();
    std::printf("waiting caller (%d WaitRx of 10 ms): its thread %.3f ms/s, whole process %.3f ms/s\n", waits,
                waiterCpu / seconds, (ProcessCpuMs() - cpu0) / seconds);

    // Close while the far side takes nothing and a full ring waits to be written.
    std::vector<uint8_t> block(32000, 0x5A);
    for (int i = 0; i < 4; ++i) {
        port.Send(block.data(), static_cast<uint32_t>(block.size()));
        port.IsTxDone();
    }
    const auto closeStart = Clock::now();
    port.Close();
    std::printf("Close with a stalled far side: %.1f ms\n",
                std::chrono::duration<double, std::milli>(Clock::now() - closeStart).count());

    // Idle close.
    port.Open();
    const auto idleStart = Clock::now();
    port.Close();
    std::printf("Close of an idle port: %.2f ms\n",
                std::chrono::duration<double, std::milli>(Clock::now() - idleStart).count());
    close(master);
    return 0;
}
