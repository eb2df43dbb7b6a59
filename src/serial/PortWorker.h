#pragma once
// The port worker keeps the chosen port open: it opens it, retries about every 200 ms while it cannot (no
// log lines), closes it when another port is chosen, and closes a port whose device has gone so that the
// next pass reopens it when it comes back. A port reopened by its name must lead to the device it led to
// before: another device that has been given the name meanwhile is not opened, and the log says so once.
//
// Threads: Start() runs SuperviseLoop on a thread of its own; Join() ends it. The loop also ends when the
// channel's stop is requested (set stop, pulse m_WakeEvent or call Join, then Join). Tests may instead run
// SuperviseLoop on a thread of their own and end it the same way.

#include "core/Channel.h"
#include "core/LockedValue.h"
#include "core/PulseEvent.h"
#include "serial/SerialPort.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

class CPortWorker {
public:
    // identified: the receiver check's cell, set to 0 whenever a new port is requested.
    CPortWorker(CChannel& channel, LockedInt& identified);
    ~CPortWorker();
    CPortWorker(const CPortWorker&) = delete;
    CPortWorker& operator=(const CPortWorker&) = delete;

    // Dialog thread: ask for slot index of g_PortNames (0 is "OFF").
    void RequestPort(int index);
    // The worker thread's body.
    void SuperviseLoop();
    // Opens the requested port at 115200 bit/s, 8N1; true when the port is open afterwards.
    bool TryOpen();

    // Lets the next open take whatever device the chosen name leads to (a new port choice does the same).
    void ForgetDevice() { m_ForgetDevice.store(true); }

    void Start();
    // Ends SuperviseLoop (also without a stop on the channel) and waits for its thread.
    void Join();

    CPulseEvent m_WakeEvent;
    LockedShort m_PortRequest{0};
    LockedInt m_PortOpened{0};
    CSerialPort m_SerialPort;
    CCommPort* m_Port;

    // Wait at the end of each pass and before each open attempt; set before Start.
    uint32_t m_PassWaitMs = 100;
    uint32_t m_RetryWaitMs = 100;
    // Off: a reopen takes any device under the name (a station whose units come and go on one port).
    std::atomic<bool> m_KeepDevice{true};

private:
    bool Stopping();

    CChannel& m_Channel;
    LockedInt& m_Identified;
    std::atomic<bool> m_Quit{false};
    std::atomic<bool> m_ForgetDevice{false};
    // Worker thread only: the name and device of the first open since the port was chosen, and the last
    // other device refused under that name (told once).
    std::string m_DeviceName;
    PortIdentity m_Device;
    PortIdentity m_Refused;
    std::thread m_Thread;
};
