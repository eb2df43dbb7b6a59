#include "sim/SimReceiver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

std::string ViolationText(const SimViolation& v) {
    char buf[96];
    if (v.byte >= 0)
        std::snprintf(buf, sizeof buf, " byte 0x%02X at host byte %llu, %.6f s", v.byte,
                      static_cast<unsigned long long>(v.position), v.seconds);
    else
        std::snprintf(buf, sizeof buf, " after host byte %llu, %.6f s",
                      static_cast<unsigned long long>(v.position), v.seconds);
    return v.state + ":" + buf;
}

namespace {
const uint32_t CLOSED_RECHECK_MS = 20;
// Line events closer together than this are handled in one pass: a byte is never taken early, at most this
// much late, and a fast line does not wake the thread for every character.
const auto LINE_GRAIN = std::chrono::microseconds(500);
} // namespace

CSimReceiver::CSimReceiver(const SimOptions& options)
    : m_Opt(options), m_Line(m_Opt.raw, m_Transcript), m_Flash(m_Opt.sectorSize, m_Opt.bootSectors),
      m_Target(m_Opt, *this, m_Flash) {
    m_Wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CSimReceiver::~CSimReceiver() {
    CloseTerminal();
    if (m_Wake >= 0)
        close(m_Wake);
}

bool CSimReceiver::Open(std::string& error) {
    if (m_Wake < 0) {
        error = "cannot create the wake-up descriptor";
        return false;
    }
    if (!m_Opt.flashIn.empty() && !m_Flash.Load(m_Opt.flashIn, error))
        return false;
    if (!m_Opt.transcriptPath.empty() && !m_Transcript.Open(m_Opt.transcriptPath, error))
        return false;
    m_Master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[256];
    if (m_Master < 0 || grantpt(m_Master) != 0 || unlockpt(m_Master) != 0 ||
        ptsname_r(m_Master, name, sizeof name) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        CloseTerminal();
        return false;
    }
    m_SlavePath = name;
    // A serial line does not echo: the slave starts raw, at 115200, until the host sets it up. Closing it
    // again leaves the master reporting a hang-up until the host opens the slave.
    int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (s < 0 || tcgetattr(s, &t) != 0) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        if (s >= 0)
            close(s);
        CloseTerminal();
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(s, TCSANOW, &t);
    close(s);
    m_Line.SetFd(m_Master);
    if (!m_Opt.linkPath.empty()) {
        struct stat st {};
        if (lstat(m_Opt.linkPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                error = m_Opt.linkPath + " exists and is not a symbolic link";
                CloseTerminal();
                return false;
            }
            unlink(m_Opt.linkPath.c_str());
        }
        if (symlink(name, m_Opt.linkPath.c_str()) != 0) {
            error = "cannot create link " + m_Opt.linkPath + ": " + std::strerror(errno);
            CloseTerminal();
            return false;
        }
        m_LinkMade = true;
    }
    return true;
}

void CSimReceiver::CloseTerminal() {
    // The link goes first, so that a host that reopens it never reaches a terminal number given out again.
    if (m_LinkMade) {
        // Only our own link is taken away.
        char target[256];
        ssize_t n = readlink(m_Opt.linkPath.c_str(), target, sizeof target - 1);
        if (n > 0) {
            target[n] = 0;
            if (m_SlavePath == target)
                unlink(m_Opt.linkPath.c_str());
        }
        m_LinkMade = false;
    }
    if (m_Master >= 0) {
        close(m_Master);
        m_Master = -1;
        m_Line.SetFd(-1);
    }
}

void CSimReceiver::Stop() {
    m_StopFlag.store(true);
    uint64_t one = 1;
    if (m_Wake >= 0)
        (void)!write(m_Wake, &one, sizeof one);
}

void CSimReceiver::RequestFlashDump() {
    m_DumpFlag.store(true);
    uint64_t one = 1;
    if (m_Wake >= 0)
        (void)!write(m_Wake, &one, sizeof one);
}

bool CSimReceiver::CheckHostOpen() {
    bool open = false;
    if (m_Master >= 0) {
        pollfd p{m_Master, POLLIN, 0};
        if (poll(&p, 1, 0) >= 0)
            open = (p.revents & POLLHUP) == 0;
    }
    if (open != m_HostOpen.load()) {
        m_HostOpen.store(open);
        Event(open ? "host opened the port" : "host closed the port");
    }
    return open;
}

void CSimReceiver::DumpFlash() {
    if (m_Opt.flashOut.empty()) {
        Event("flash dump requested, but no flash file was named");
        return;
    }
    std::string error;
    if (m_Flash.Save(m_Opt.flashOut, error)) {
        ++m_Dumps;
        Event("flash written to " + m_Opt.flashOut);
    } else {
        Event("flash dump failed: " + error);
        std::fprintf(stderr, "kavrel-sim: %s\n", error.c_str());
    }
}

SimEnd CSimReceiver::Run() {
    if (m_Master < 0)
        return SimEnd::Error;
    m_Now = SimClock::now();
    m_Start = m_Now;
    m_Transcript.SetOrigin(m_Now);
    m_Target.Start(m_Now);
    SimTime completedAt = SIM_NEVER;
    SimEnd end = SimEnd::Stopped;
    for (;;) {
        if (m_StopFlag.load())
            break;
        if (m_DumpFlag.exchange(false))
            DumpFlash();
        m_Now = SimClock::now();
        bool open = CheckHostOpen();
        uint8_t b = 0;
        bool garbled = false;
        while (!m_HungUp && m_Target.Ready() && m_Line.NextInput(m_Now, b, garbled)) {
            ++m_Taken;
            m_Target.OnByte(b, garbled, m_Now);
        }
        if (!m_HungUp)
            m_Target.OnTick(m_Now);
        if (m_HungUp) {
            end = SimEnd::HungUp;
            break;
        }
        m_Line.FlushDue(m_Now, open);

        SimTime lineDue = m_Line.NextOutputDue();
        if (m_Target.Ready())
            lineDue = std::min(lineDue, m_Line.NextInputDue());
        if (lineDue != SIM_NEVER)
            lineDue = std::max(lineDue, m_Now + LINE_GRAIN);
        SimTime deadline = std::min(lineDue, m_Target.Deadline());
        if (m_Opt.once && m_Target.UploadsCompleted() > 0) {
            if (completedAt == SIM_NEVER)
                completedAt = m_Now;
            SimTime limit = SimAfterMs(completedAt, m_Opt.onceLingerMs);
            bool restarted = m_Target.Stage() == SimStage::Firmware && m_Line.NextOutputDue() == SIM_NEVER;
            if ((restarted && !open) || m_Now >= limit) {
                end = SimEnd::Once;
                break;
            }
            deadline = std::min(deadline, limit);
        }
        if (!open)
            deadline = std::min(deadline, SimAfterMs(m_Now, CLOSED_RECHECK_MS));

        pollfd fds[2] = {{m_Wake, POLLIN, 0}, {m_Master, POLLIN, 0}};
        timespec ts{};
        timespec* tsp = nullptr;
        if (deadline != SIM_NEVER) {
            auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - SimClock::now()).count();
            if (left < 0)
                left = 0;
            ts.tv_sec = static_cast<time_t>(left / 1'000'000'000);
            ts.tv_nsec = static_cast<long>(left % 1'000'000'000);
            tsp = &ts;
        }
        int n = ppoll(fds, open ? 2 : 1, tsp, nullptr);
        if (n < 0 && errno != EINTR) {
            Event(std::string("poll failed: ") + std::strerror(errno));
            end = SimEnd::Error;
            break;
        }
        if (n > 0 && (fds[0].revents & POLLIN)) {
            uint64_t v;
            (void)!read(m_Wake, &v, sizeof v);
        }
        if (n > 0 && open && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            m_Line.ReadAvailable(SimClock::now());
    }
    Finish();
    return end;
}

void CSimReceiver::Finish() {
    m_Now = SimClock::now();
    if (!m_Opt.flashOut.empty())
        DumpFlash();
    if (!m_Opt.statsPath.empty()) {
        std::FILE* f = std::fopen(m_Opt.statsPath.c_str(), "w");
        if (f) {
            std::fputs(StatsText().c_str(), f);
            std::fclose(f);
        } else {
            std::fprintf(stderr, "kavrel-sim: cannot write statistics to %s\n", m_Opt.statsPath.c_str());
        }
    }
    Event("end");
    m_Transcript.Close();
    CloseTerminal();
}

SimStats CSimReceiver::Stats() const {
    return m_Line.Stats();
}

std::string CSimReceiver::StatsText() const {
    SimStats s = Stats();
    char buf[1024];
    std::snprintf(
        buf, sizeof buf,
        "bytes from host: %llu (heard as garbage: %llu, dropped after refused frames: %llu)\n"
        "bytes to host: %llu (garbled by a rate mismatch: %llu, lost with the port closed: %llu)\n"
        "line busy from host: %.3f ms\n"
        "line busy to host: %.3f ms\n"
        "host reactions: %zu, median %.3f ms, p99 %.3f ms, max %.3f ms\n"
        "uploads completed: %d\n"
        "strict violations: %llu%s\n",
        static_cast<unsigned long long>(s.bytesFromHost), static_cast<unsigned long long>(s.garbledFromHost),
        static_cast<unsigned long long>(s.discardedFromHost), static_cast<unsigned long long>(s.bytesToHost),
        static_cast<unsigned long long>(s.garbledToHost), static_cast<unsigned long long>(s.lostToHost),
        s.busyFromHostMs, s.busyToHostMs, s.reactions, s.reactionMedianMs, s.reactionP99Ms, s.reactionMaxMs,
        UploadsCompleted(), static_cast<unsigned long long>(ViolationCount()),
        m_Opt.strict ? "" : " (strict mode off)");
    std::string text = buf;
    for (const SimViolation& v : Violations())
        text += "violation: " + ViolationText(v) + "\n";
    return text;
}

std::vector<SimViolation> CSimReceiver::Violations() const {
    std::lock_guard<std::mutex> lock(m_EventMutex);
    return m_Violations;
}

void CSimReceiver::Unexpected(const std::string& state, int byte) {
    SimViolation v{state, byte, m_Taken, std::chrono::duration<double>(m_Now - m_Start).count()};
    std::string text = ViolationText(v);
    if (!m_Opt.strict) {
        Event("unexpected: " + text);
        return;
    }
    Event("violation: " + text);
    std::fprintf(stderr, "kavrel-sim: violation: %s\n", text.c_str());
    ++m_ViolationCount;
    std::lock_guard<std::mutex> lock(m_EventMutex);
    if (m_Violations.size() < 1000)
        m_Violations.push_back(v);
}

std::vector<std::string> CSimReceiver::Events() const {
    std::lock_guard<std::mutex> lock(m_EventMutex);
    return m_Events;
}

void CSimReceiver::Send(const uint8_t* data, size_t count) {
    m_Line.Send(data, count, m_Now);
}

void CSimReceiver::SetRate(uint32_t rate) {
    m_Line.SetRate(rate);
}

uint32_t CSimReceiver::Rate() const {
    return m_Line.Rate();
}

bool CSimReceiver::OutputIdle() const {
    return m_Line.OutputIdle(m_Now);
}

void CSimReceiver::DiscardInput() {
    // Whatever the host wrote before it could have seen the refusal is left over from the refused frame.
    m_Line.ReadAvailable(SimClock::now());
    m_Line.DiscardInput(m_Line.OutputEnd(m_Now));
}

void CSimReceiver::Event(const std::string& text) {
    m_Transcript.Event(m_Now, text);
    std::lock_guard<std::mutex> lock(m_EventMutex);
    m_Events.push_back(text);
    if (m_Events.size() > 1000)
        m_Events.erase(m_Events.begin());
}

void CSimReceiver::HangUp() {
    m_HungUp = true;
    CloseTerminal();
}
