#pragma once
// A real pseudo-terminal whose master side plays the far end.

#include "Support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace test {

class CPty {
public:
    CPty() {
        m_Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        char name[128] = {};
        if (m_Master < 0 || grantpt(m_Master) != 0 || unlockpt(m_Master) != 0 ||
            ptsname_r(m_Master, name, sizeof name) != 0)
            return;
        m_Path = name;
        termios tio{};
        tcgetattr(m_Master, &tio);
        cfmakeraw(&tio);
        tcsetattr(m_Master, TCSANOW, &tio);
    }
    ~CPty() {
        if (m_Slave >= 0)
            close(m_Slave);
        CloseMaster();
    }
    // Keeps the slave side open too, so that the terminal never hangs up between the tool's opens.
    void HoldSlave() {
        if (m_Slave < 0 && !m_Path.empty())
            m_Slave = open(m_Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    void CloseMaster() {
        if (m_Master >= 0)
            close(m_Master);
        m_Master = -1;
    }
    const std::string& Path() const { return m_Path; }
    bool Write(const std::string& text) {
        size_t done = 0;
        const uint32_t start = TickMs();
        while (done < text.size() && ElapsedMs(start) < 10000) {
            const ssize_t n = write(m_Master, text.data() + done, text.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (errno != EAGAIN && errno != EINTR)
                return false;
        }
        return done == text.size();
    }
    // Reads until count bytes came or ms passed.
    std::string Read(size_t count, uint32_t ms = 10000) {
        std::string out;
        const uint32_t start = TickMs();
        char buffer[4096];
        while (out.size() < count && ElapsedMs(start) <= ms) {
            pollfd p{m_Master, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                const ssize_t n = read(m_Master, buffer, std::min(sizeof buffer, count - out.size()));
                if (n > 0)
                    out.append(buffer, static_cast<size_t>(n));
            }
        }
        return out;
    }
    // Termios calls on the master act on the slave: this is what the port set.
    termios Line() const {
        termios tio{};
        tcgetattr(m_Master, &tio);
        return tio;
    }
    bool SetLine(const termios& tio) { return tcsetattr(m_Master, TCSANOW, &tio) == 0; }

private:
    int m_Master = -1;
    int m_Slave = -1;
    std::string m_Path;
};

} // namespace test
