#pragma once
// One simulated receiver serving a pseudo-terminal on its own thread, and the tool's serial port opened on
// that terminal at 115200 bit/s: the real line the integration tests and the upload benchmark run over. Tests
// whose system opens the port itself start the receiver alone.

#include "core/Channel.h"
#include "core/Clock.h" // users time their runs with it
#include "serial/SerialPort.h"
#include "sim/SimReceiver.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>

// A receiver without line pacing and with short flash and restart times, so whole uploads take a moment.
inline SimOptions FastSimOptions(bool strict = false) {
    SimOptions o;
    o.raw = true;
    o.strict = strict;
    o.eraseMs = 5;
    o.programMs = 1;
    o.finishDelayMs = 100;
    o.rebootMs = 100;
    o.helloIntervalMs = 20;
    return o;
}

class CSimSession {
public:
    explicit CSimSession(const SimOptions& options);
    ~CSimSession();
    CSimSession(const CSimSession&) = delete;
    CSimSession& operator=(const CSimSession&) = delete;

    // Opens the simulator's terminal, starts it and, with openPort, opens the port on it. False with error
    // set otherwise.
    bool Start(std::string& error, bool openPort = true);
    // The terminal's path, or the link the options asked for.
    std::string Path() const;
    // Stops the simulator and closes the port (also done by the destructor).
    void Stop();

    // Processor time used so far by the simulator's thread (it shares the process with the tool).
    double SimCpuSeconds();

    CChannel m_PortChannel; // the port's own lines stay out of the protocol's log
    CSerialPort m_Port{m_PortChannel};
    std::unique_ptr<CSimReceiver> m_Sim;

private:
    std::string m_Link;
    std::thread m_Thread;
    bool m_Running = false;
};
