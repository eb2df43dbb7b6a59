#pragma once
// Helpers of the serial tests: a real pseudo-terminal whose master side plays the far end, condition waits
// with generous deadlines, the port table reset, and the texts of the log lines.

#include "core/Channel.h"
#include "core/Clock.h"
#include "serial/PortTable.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace test {

inline bool WaitUntil(const std::function<bool()>& condition, uint32_t ms = 10000) {
    const uint32_t start = TickMs();
    while (!condition()) {
        if (ElapsedMs(start) > ms)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class CPty {
public:
    CPty() {
        m_Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_Master < 0 || grantpt(m_Master) != 0 || unlockpt(m_Master) != 0)
            return;
        char name[128] = {};
        if (ptsname_r(m_Master, name, sizeof name) != 0)
            return;
        m_SlavePath = name;
        termios tio{};
        tcgetattr(m_Master, &tio);
        cfmakeraw(&tio);
        tcsetattr(m_Master, TCSANOW, &tio);
        fcntl(m_Master, F_SETFL, fcntl(m_Master, F_GETFL) | O_NONBLOCK);
    }
    ~CPty() { CloseMaster(); }
    CPty(const CPty&) = delete;
    CPty& operator=(const CPty&) = delete;

    bool Ok() const { return m_Master >= 0 && !m_SlavePath.empty(); }
    const std::string& SlavePath() const { return m_SlavePath; }
    int Master() const { return m_Master; }
    void CloseMaster() {
        if (m_Master >= 0)
            close(m_Master);
        m_Master = -1;
    }

    bool Write(const std::vector<uint8_t>& bytes, uint32_t ms = 10000) {
        size_t done = 0;
        const uint32_t start = TickMs();
        while (done < bytes.size()) {
            const ssize_t n = write(m_Master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (ElapsedMs(start) > ms)
                return false;
            pollfd p{m_Master, POLLOUT, 0};
            poll(&p, 1, 20);
        }
        return true;
    }
    bool Write(const std::string& text) { return Write(std::vector<uint8_t>(text.begin(), text.end())); }

    // Reads until count bytes came or ms passed.
    std::vector<uint8_t> Read(size_t count, uint32_t ms = 10000) {
        std::vector<uint8_t> out;
        const uint32_t start = TickMs();
        uint8_t buffer[4096];
        while (out.size() < count && ElapsedMs(start) <= ms) {
            pollfd p{m_Master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN))
                continue;
            const size_t want = std::min(sizeof buffer, count - out.size());
            const ssize_t n = read(m_Master, buffer, want);
            if (n > 0)
                out.insert(out.end(), buffer, buffer + n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
        return out;
    }
    std::string ReadText(size_t count, uint32_t ms = 10000) {
        const std::vector<uint8_t> bytes = Read(count, ms);
        return std::string(bytes.begin(), bytes.end());
    }

    // Termios calls on the master act on the slave: this is what the port set.
    termios LineSettings() const {
        termios tio{};
        tcgetattr(m_Master, &tio);
        return tio;
    }

    speed_t OutSpeed() const {
        const termios tio = LineSettings();
        return cfgetospeed(&tio);
    }

private:
    int m_Master = -1;
    std::string m_SlavePath;
};

// Table holding only "OFF".
inline void ResetPortTable() {
    EnumeratePortsIn("/nonexistent-class-dir", "/dev");
}

// Appends a name and returns its slot.
inline int AddPort(const std::string& path) {
    if (!AddPortName(path.c_str()))
        return -1;
    return g_PortCount;
}

// The texts of the queued log lines, without their time and tab.
inline std::vector<std::string> LogTexts(CChannel& channel) {
    std::vector<std::string> texts;
    while (auto line = channel.m_LogQueue.Pop()) {
        const size_t tab = line->find('\t');
        texts.push_back(tab == std::string::npos ? *line : line->substr(tab + 1));
    }
    return texts;
}

inline double ProcessCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec * 1000.0 + usage.ru_utime.tv_usec / 1000.0 + usage.ru_stime.tv_sec * 1000.0 +
           usage.ru_stime.tv_usec / 1000.0;
}

inline std::string TempDir() {
    char pattern[] = "/tmp/kv-serial-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir ? dir : "";
}

} // namespace test
