#include "UploadHarness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace upt {

bool WaitUntil(const std::function<bool()>& cond, uint32_t ms) {
    const uint32_t start = TickMs();
    while (!cond()) {
        if (ElapsedMs(start) > ms)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int PortSlot(const std::string& path) {
    int slot = FindPortName(path);
    if (slot < 0 && AddPortName(path.c_str()))
        slot = FindPortName(path);
    return slot;
}

// ---------------------------------------------------------------------------------------------------------

CSim::CSim(const SimOptions& options) : m_Receiver(options) {
    std::string error;
    m_Ok = m_Receiver.Open(error);
    if (m_Ok)
        m_Thread = std::thread([this] { m_Receiver.Run(); });
}

CSim::~CSim() {
    m_Receiver.Stop();
    if (m_Thread.joinable())
        m_Thread.join();
}

SimOptions FastSim() {
    SimOptions o;
    o.raw = true;
    o.helloIntervalMs = 20;
    o.eraseMs = 2;
    o.programMs = 1;
    o.finishDelayMs = 100;
    o.rebootMs = 200;
    return o;
}

// ---------------------------------------------------------------------------------------------------------

std::string Nmea(const std::string& body) {
    unsigned sum = 0;
    for (unsigned char c : body)
        sum ^= c;
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

CScriptedPeer::CScriptedPeer(Script script) : m_Script(std::move(script)) {
    m_Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (m_Master < 0 || grantpt(m_Master) != 0 || unlockpt(m_Master) != 0 ||
        ptsname_r(m_Master, name, sizeof name) != 0) {
        if (m_Master >= 0)
            close(m_Master);
        m_Master = -1;
        return;
    }
    m_SlavePath = name;
    termios tio{};
    tcgetattr(m_Master, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_Master, TCSANOW, &tio);
    fcntl(m_Master, F_SETFL, fcntl(m_Master, F_GETFL) | O_NONBLOCK);
    m_Thread = std::thread([this] { Serve(); });
}

CScriptedPeer::~CScriptedPeer() {
    m_Quit.store(true);
    if (m_Thread.joinable())
        m_Thread.join();
    if (m_Master >= 0)
        close(m_Master);
}

void CScriptedPeer::Write(const std::string& bytes) {
    size_t done = 0;
    const uint32_t start = TickMs();
    while (done < bytes.size() && ElapsedMs(start) < 5000) {
        const ssize_t n = write(m_Master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        pollfd p{m_Master, POLLOUT, 0};
        poll(&p, 1, 10);
    }
}

void CScriptedPeer::Serve() {
    std::string pending;
    while (!m_Quit.load()) {
        pollfd p{m_Master, POLLIN, 0};
        // POLLHUP while nobody holds the slave: wait instead of spinning.
        if (poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) {
            if (p.revents & POLLHUP)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        char buffer[256];
        const ssize_t n = read(m_Master, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        pending.append(buffer, static_cast<size_t>(n));
        for (;;) {
            const size_t dollar = pending.find('$');
            if (dollar == std::string::npos) {
                pending.clear();
                break;
            }
            const size_t end = pending.find("\r\n", dollar);
            if (end == std::string::npos) {
                pending.erase(0, dollar);
                break;
            }
            const std::string sentence = pending.substr(dollar, end + 2 - dollar);
            pending.erase(0, end + 2);
            int number = 0;
            {
                std::lock_guard<std::mutex> lock(m_Lock);
                m_Sentences.push_back(sentence);
                number = static_cast<int>(m_Sentences.size());
            }
            const std::string answer = m_Script(sentence, number);
            if (!answer.empty())
                Write(answer);
        }
    }
}

std::vector<std::string> CScriptedPeer::Sentences() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Sentences;
}

int CScriptedPeer::Count(const std::string& sentence) {
    std::lock_guard<std::mutex> lock(m_Lock);
    return static_cast<int>(std::count(m_Sentences.begin(), m_Sentences.end(), sentence));
}

// ---------------------------------------------------------------------------------------------------------

CHarness::CHarness(const std::string& programDir) : m_System(programDir) {
    CReceiverCheck::Timing& check = m_System.m_Check.m_Timing;
    check.idleWaitMs = 50;
    CUploadJob::JobTiming& job = m_System.m_Job.m_JobTiming;
    job.idleWaitMs = 50;
    job.delayBeforeUploadMs = 50;
    job.recheckPauseMs = 300;
    job.completionWaitMs = 10000;
    job.completionPollMs = 10;
    job.restartCollectMs = 300;
    job.restartIdentifyMs = 8000;
    m_System.m_Job.m_Timings.budgetUnitMs = 200;
    m_System.m_Job.m_ConnectBudget.store(25);
    m_System.m_PortWorker.m_PassWaitMs = 20;
    m_System.m_PortWorker.m_RetryWaitMs = 20;
}

CHarness::~CHarness() {
    m_Quit.store(true);
    if (m_Pump.joinable())
        m_Pump.join();
    m_System.Shutdown();
}

void CHarness::Start(bool requestChecks) {
    m_RequestChecks.store(requestChecks);
    m_System.StartWorkers();
    m_Pump = std::thread([this] { Pump(); });
}

bool CHarness::OpenPort(const std::string& path) {
    const int slot = PortSlot(path);
    if (slot <= 0)
        return false;
    m_System.m_PortWorker.RequestPort(slot);
    return WaitUntil([&] { return Port().IsOpen() != 0; });
}

bool CHarness::RunCheck(uint32_t ms) {
    m_System.m_Check.RequestCheck();
    return WaitUntil([&] { return m_System.m_Check.m_CheckRunning.Get() == 0; }, ms);
}

void CHarness::Pump() {
    CSystem& s = m_System;
    while (!m_Quit.load()) {
        while (auto line = s.m_Channel.m_StatusQueue.Pop()) {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Statuses.push_back(*line);
        }
        while (auto line = s.m_Channel.m_LogQueue.Pop()) {
            const size_t tab = line->find('\t');
            std::lock_guard<std::mutex> lock(m_Lock);
            m_Logs.push_back(tab == std::string::npos ? *line : line->substr(tab + 1));
        }
        if (s.m_PortWorker.m_PortOpened.Changed() && s.m_PortWorker.m_PortOpened.Get() != 0 &&
            m_RequestChecks.load())
            s.m_Check.RequestCheck();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::string> CHarness::Logs() {
    // Give the pump one more pass so lines queued just now are in.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Logs;
}

std::vector<std::string> CHarness::Statuses() {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Statuses;
}

int CHarness::LogCount(const std::string& text) {
    const auto logs = Logs();
    return static_cast<int>(std::count(logs.begin(), logs.end(), text));
}

int CHarness::LogIndex(const std::string& text, int from) {
    const auto logs = Logs();
    for (size_t i = static_cast<size_t>(std::max(from, 0)); i < logs.size(); ++i)
        if (logs[i] == text)
            return static_cast<int>(i);
    return -1;
}

std::string CHarness::LogText() {
    std::string all;
    for (const auto& line : Logs())
        all += line + "\n";
    return all;
}

} // namespace upt
