#include "sim/SimLine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <termios.h>
#include <unistd.h>

uint32_t SimSpeedToRate(unsigned speed) {
    switch (speed) {
    case B50:
        return 50;
    case B75:
        return 75;
    case B110:
        return 110;
    case B134:
        return 134;
    case B150:
        return 150;
    case B200:
        return 200;
    case B300:
        return 300;
    case B600:
        return 600;
    case B1200:
        return 1200;
    case B1800:
        return 1800;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B460800:
        return 460800;
    case B921600:
        return 921600;
    default:
        return 0;
    }
}

SimClock::duration CSimLine::CharTime(uint32_t rate) {
    if (rate == 0)
        rate = 115200;
    return std::chrono::duration_cast<SimClock::duration>(std::chrono::nanoseconds(10'000'000'000LL / rate));
}

uint32_t CSimLine::HostRate() const {
    // On Linux the master reports the slave's line settings, which are what the host set.
    termios t{};
    if (m_Fd < 0 || tcgetattr(m_Fd, &t) != 0)
        return 0;
    return SimSpeedToRate(cfgetospeed(&t));
}

bool CSimLine::ReadAvailable(SimTime now) {
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = read(m_Fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        if (n <= 0)
            return false;
        uint32_t rate = HostRate();
        SimClock::duration ct = CharTime(rate);
        std::lock_guard<std::mutex> lock(m_StatsMutex);
        for (ssize_t i = 0; i < n; ++i) {
            if (now < m_DiscardUntil) {
                ++m_Stats.discardedFromHost;
                m_Transcript.Bytes(now, false, false, &buf[i], 1);
                continue;
            }
            SimTime start = m_Raw ? now : std::max(now, m_InFree);
            SimTime arrive = m_Raw ? now : start + ct;
            m_InFree = arrive;
            if (m_AwaitReaction && m_Out.empty() && start >= m_LastOutEnd) {
                m_AwaitReaction = false;
                m_Reactions.push_back(
                    std::chrono::duration<double, std::milli>(start - m_LastOutEnd).count());
            }
            m_In.push_back({buf[i], rate, arrive});
            ++m_Stats.bytesFromHost;
            m_Stats.busyFromHostMs += std::chrono::duration<double, std::milli>(ct).count();
        }
    }
}

bool CSimLine::NextInput(SimTime now, uint8_t& b, bool& garbled) {
    if (m_In.empty() || m_In.front().arrive > now)
        return false;
    InByte in = m_In.front();
    m_In.pop_front();
    b = in.b;
    garbled = m_Rate != 0 && in.rate != m_Rate;
    if (garbled) {
        std::lock_guard<std::mutex> lock(m_StatsMutex);
        ++m_Stats.garbledFromHost;
    }
    m_Transcript.Bytes(in.arrive, false, garbled, &b, 1);
    return true;
}

SimTime CSimLine::NextInputDue() const {
    return m_In.empty() ? SIM_NEVER : m_In.front().arrive;
}

void CSimLine::DiscardInput(SimTime until) {
    m_DiscardUntil = until;
    std::lock_guard<std::mutex> lock(m_StatsMutex);
    m_Stats.discardedFromHost += m_In.size();
    m_In.clear();
}

void CSimLine::Send(const uint8_t* data, size_t count, SimTime now) {
    uint32_t rate = m_Rate ? m_Rate : HostRate();
    SimClock::duration ct = CharTime(rate);
    for (size_t i = 0; i < count; ++i) {
        SimTime start = m_Raw ? now : std::max(now, m_OutFree);
        SimTime due = m_Raw ? now : start + ct;
        m_OutFree = due;
        m_Out.push_back({data[i], rate, due});
    }
}

void CSimLine::FlushDue(SimTime now, bool hostOpen) {
    if (m_Out.empty() || m_Out.front().due > now)
        return;
    uint32_t hostRate = HostRate();
    std::vector<uint8_t> buf;
    SimTime lastDue{};
    size_t garbled = 0;
    double busy = 0;
    while (!m_Out.empty() && m_Out.front().due <= now) {
        OutByte o = m_Out.front();
        m_Out.pop_front();
        uint8_t b = o.b;
        if (o.rate != hostRate && hostRate != 0) {
            // Too slow for the host's UART reads as zeros, too fast as idle line.
            b = o.rate < hostRate ? 0x00 : 0xFF;
            ++garbled;
        }
        m_Transcript.Bytes(o.due, true, false, &b, 1);
        buf.push_back(b);
        lastDue = o.due;
        busy += std::chrono::duration<double, std::milli>(CharTime(o.rate)).count();
    }
    size_t written = 0;
    if (hostOpen) {
        while (written < buf.size()) {
            ssize_t n = write(m_Fd, buf.data() + written, buf.size() - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break; // the host does not read: the rest is lost, as on a real line
            written += static_cast<size_t>(n);
        }
    }
    std::lock_guard<std::mutex> lock(m_StatsMutex);
    m_Stats.bytesToHost += written;
    m_Stats.lostToHost += buf.size() - written;
    m_Stats.garbledToHost += garbled;
    m_Stats.busyToHostMs += busy;
    if (m_Out.empty()) {
        // The host can react only once the byte is really there.
        m_LastOutEnd = std::max(now, lastDue);
        m_AwaitReaction = true;
    }
}

SimTime CSimLine::NextOutputDue() const {
    return m_Out.empty() ? SIM_NEVER : m_Out.front().due;
}

SimTime CSimLine::OutputEnd(SimTime now) const {
    return m_Raw ? now : std::max(now, m_OutFree);
}

bool CSimLine::OutputIdle(SimTime now) const {
    return m_Out.empty() && (m_Raw || m_OutFree <= now);
}

SimStats CSimLine::Stats() const {
    std::lock_guard<std::mutex> lock(m_StatsMutex);
    SimStats s = m_Stats;
    std::vector<double> v = m_Reactions;
    s.reactions = v.size();
    if (!v.empty()) {
        std::sort(v.begin(), v.end());
        size_t n = v.size();
        s.reactionMedianMs = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
        size_t p99 = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(n)));
        s.reactionP99Ms = v[std::min(n, std::max<size_t>(p99, 1)) - 1];
        s.reactionMaxMs = v.back();
    }
    return s;
}
