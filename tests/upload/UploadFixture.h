#pragma once
// The whole system on real pseudo-terminals: the simulated receiver (or a bare terminal the test writes
// bytes into), short worker limits, and a stand-in for the part of the dialog's refresh step that the
// workers rely on (draining both queues, answering a raised "port opened" cell with a receiver check).

#include "core/Clock.h"
#include "serial/PortTable.h"
#include "sim/SimReceiver.h"
#include "upload/System.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <pty.h>
#include <thread>
#include <unistd.h>

namespace upt {

inline bool WaitUntil(const std::function<bool()>& cond, uint32_t ms = 15000) {
    for (const uint32_t start = TickMs(); !cond(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (ElapsedMs(start) > ms)
            return cond();
    return true;
}

// "$" body "*HH\r\n" with the NMEA checksum.
inline std::string Nmea(const std::string& body) {
    unsigned sum = 0;
    for (unsigned char c : body)
        sum ^= c;
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

// A simulated receiver without line pacing, with short flash and restart times, served on its own thread.
struct CSim {
    static SimOptions Fast() {
        SimOptions o;
        o.raw = true;
        o.helloIntervalMs = 20;
        o.eraseMs = 2;
        o.programMs = 1;
        o.finishDelayMs = 100;
        o.rebootMs = 200;
        return o;
    }
    explicit CSim(const SimOptions& o = Fast()) : rx(o) {
        std::string error;
        if (rx.Open(error))
            thread = std::thread([this] { rx.Run(); });
    }
    ~CSim() {
        rx.Stop();
        if (thread.joinable())
            thread.join();
    }
    CSimReceiver rx;
    std::thread thread;
};

// A bare terminal whose far end holds only the bytes the test writes into it.
struct CPty {
    CPty() { openpty(&master, &slave, name, nullptr, nullptr); }
    ~CPty() {
        close(slave); // held open so the terminal never hangs up between the tool's opens
        close(master);
    }
    void Write(const std::string& s) { EXPECT_EQ(write(master, s.data(), s.size()), ssize_t(s.size())); }
    int master = -1, slave = -1;
    char name[128] = {};
};

enum class Dialog {
    Quiet,   // never asks for a check
    Checks,  // answers a raised "port opened" cell with a check, as the refresh step does
    Hostile, // also asks for a check on every tick and marks the receiver identified while a loader banner is
             // there, as an unmended refresh step did during an upload
};

class CHarness {
public:
    explicit CHarness(const std::string& programDir = {}, Dialog dialog = Dialog::Quiet)
        : m_System(programDir), m_Dialog(dialog) {
        m_System.m_Check.m_Timing.idleWaitMs = 50;
        m_System.m_Job.m_JobTiming = {50, 50, 300, 10000, 10, 300, 8000};
        m_System.m_Job.m_Timings.budgetUnitMs = 200;
        m_System.m_Job.m_ConnectBudget.store(25);
        m_System.m_PortWorker.m_PassWaitMs = 20;
        m_System.m_PortWorker.m_RetryWaitMs = 20;
    }
    ~CHarness() {
        m_Quit.store(true);
        if (m_Pump.joinable())
            m_Pump.join();
        m_System.Shutdown();
    }
    // Starts the workers and selects path as the port; true once the port worker has opened it.
    bool Open(const std::string& path) {
        m_System.StartWorkers();
        if (!m_Pump.joinable())
            m_Pump = std::thread([this] { Pump(); });
        int slot = FindPortName(path);
        if (slot < 0 && AddPortName(path.c_str()))
            slot = FindPortName(path);
        if (path.empty() || slot <= 0)
            return false;
        m_System.m_PortWorker.RequestPort(slot);
        return WaitUntil([&] { return Port().IsOpen() != 0; });
    }
    // Runs one check and waits for its end.
    bool RunCheck() {
        m_System.m_Check.RequestCheck();
        return WaitUntil([&] { return m_System.m_Check.m_CheckRunning.Get() == 0; });
    }
    std::vector<std::string> Logs(bool statuses = false) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // lines queued just now are in
        std::lock_guard<std::mutex> lock(m_Lock);
        return statuses ? m_Statuses : m_Logs;
    }
    // Log lines equal to text in [from, to).
    int Count(const std::string& text, int from = 0, int to = 1 << 30) {
        const auto logs = Logs();
        return int(std::count(logs.begin() + std::min<size_t>(from, logs.size()),
                              logs.begin() + std::min<size_t>(to, logs.size()), text));
    }
    // Index of the first log line starting with text at or after from, or -1.
    int Find(const std::string& text, int from = 0) {
        const auto logs = Logs();
        for (int i = std::max(from, 0); i < int(logs.size()); ++i)
            if (logs[i].rfind(text, 0) == 0)
                return i;
        return -1;
    }
    // True when the lines appear in this order (others may come between).
    bool InOrder(const std::vector<std::string>& want, bool statuses = false) {
        size_t at = 0;
        for (const auto& line : Logs(statuses))
            at += at < want.size() && line == want[at];
        return at == want.size();
    }
    std::string LogText() {
        std::string all;
        for (const auto& line : Logs())
            all += line + "\n";
        return all;
    }
    CCommPort& Port() { return *m_System.m_PortWorker.m_Port; }

    CSystem m_System;

private:
    void Pump() {
        CSystem& s = m_System;
        for (; !m_Quit.load(); std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            while (auto line = s.m_Channel.m_StatusQueue.Pop()) {
                std::lock_guard<std::mutex> lock(m_Lock);
                m_Statuses.push_back(*line);
            }
            while (auto line = s.m_Channel.m_LogQueue.Pop()) {
                std::lock_guard<std::mutex> lock(m_Lock);
                m_Logs.push_back(line->substr(line->find('\t') + 1));
            }
            if (m_Dialog != Dialog::Quiet && s.m_PortWorker.m_PortOpened.Changed() &&
                s.m_PortWorker.m_PortOpened.Get() != 0)
                s.m_Check.RequestCheck();
            if (m_Dialog == Dialog::Hostile) {
                s.m_Check.RequestCheck();
                if (s.m_Check.m_Identified.Get() == 0 && !s.m_Job.m_PfldVersion.Get().empty())
                    s.m_Check.m_Identified.Set(1);
            }
        }
    }

    Dialog m_Dialog;
    std::atomic<bool> m_Quit{false};
    std::mutex m_Lock;
    std::vector<std::string> m_Logs, m_Statuses;
    std::thread m_Pump;
};

} // namespace upt
