#pragma once
// Test set-up for the receiver check and the upload worker: the whole system on a real pseudo-terminal, with
// either the simulated receiver or a far end scripted by the test on the other side, and the part of the
// dialog's refresh step that these workers rely on (draining both queues, turning a raised "port opened" cell
// into a receiver check).

#include "core/Clock.h"
#include "serial/PortTable.h"
#include "sim/SimReceiver.h"
#include "upload/System.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace upt {

// Polls cond every few ms for up to ms; the suite runs on a loaded machine, so limits are generous.
bool WaitUntil(const std::function<bool()>& cond, uint32_t ms = 15000);

// Slot of path in the port table, appended when it is not there yet.
int PortSlot(const std::string& path);

// The simulated receiver, served on its own thread.
class CSim {
public:
    explicit CSim(const SimOptions& options);
    ~CSim();
    bool Ok() const { return m_Ok; }
    const std::string& Path() const { return m_Receiver.SlavePath(); }
    CSimReceiver& Receiver() { return m_Receiver; }

private:
    CSimReceiver m_Receiver;
    bool m_Ok = false;
    std::thread m_Thread;
};

// Options for a fast simulated receiver: no line pacing, short flash and restart times.
SimOptions FastSim();

// A far end scripted by the test: every sentence received from the tool ("$...\r\n") is handed to the
// script with its running number, and whatever the script returns is written back at once.
class CScriptedPeer {
public:
    using Script = std::function<std::string(const std::string& sentence, int number)>;

    explicit CScriptedPeer(Script script);
    ~CScriptedPeer();
    bool Ok() const { return m_Master >= 0; }
    const std::string& Path() const { return m_SlavePath; }
    void Write(const std::string& bytes);
    std::vector<std::string> Sentences();
    int Count(const std::string& sentence);

private:
    void Serve();

    Script m_Script;
    int m_Master = -1;
    std::string m_SlavePath;
    std::atomic<bool> m_Quit{false};
    std::mutex m_Lock;
    std::vector<std::string> m_Sentences;
    std::thread m_Thread;
};

// "$" body "*HH\r\n" with the NMEA checksum.
std::string Nmea(const std::string& body);

// The system with its workers running and short limits, plus a stand-in for the dialog's refresh step.
class CHarness {
public:
    // programDir: where the first-stage loader file lies (may be empty for check-only tests).
    explicit CHarness(const std::string& programDir = {});
    ~CHarness();

    // requestChecks: answer a raised "port opened" cell with RequestCheck, as the dialog does.
    void Start(bool requestChecks = true);
    // Selects path as the port and waits until the port worker has opened it.
    bool OpenPort(const std::string& path);
    // Runs one check and waits for its end; false when it did not end in time.
    bool RunCheck(uint32_t ms = 15000);

    std::vector<std::string> Logs();
    std::vector<std::string> Statuses();
    int LogCount(const std::string& text);
    // Index of the first log line equal to text at or after from, or -1.
    int LogIndex(const std::string& text, int from = 0);
    std::string LogText();

    CCommPort& Port() { return *m_System.m_PortWorker.m_Port; }

    CSystem m_System;

private:
    void Pump();

    std::atomic<bool> m_RequestChecks{true};
    std::atomic<bool> m_Quit{false};
    std::mutex m_Lock;
    std::vector<std::string> m_Logs;
    std::vector<std::string> m_Statuses;
    std::thread m_Pump;
};

} // namespace upt
