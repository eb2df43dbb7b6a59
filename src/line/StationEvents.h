#pragma once
// What wakes the station's main loop besides its own refresh: an interrupt (SIGINT and SIGTERM; Ctrl+C and
// Ctrl+Break on Windows) and, in watch mode, a serial device that comes or goes. One source
// file per platform: udev and a signal descriptor on Linux, a device-notification window and the console's
// control handler on Windows.

#include <memory>

class CStationEvents {
public:
    CStationEvents();
    ~CStationEvents();
    CStationEvents(const CStationEvents&) = delete;
    CStationEvents& operator=(const CStationEvents&) = delete;

    // Interrupts are caught from now on (threads started later inherit that). With devices, device arrival
    // and removal wake the wait too; false when the system cannot tell (the watch then relies on rescans).
    bool Start(bool devices);

    struct Woken {
        bool interrupted = false;
        int interrupts = 0; // how many arrived, where the system tells (a second one ends the station)
        bool devicesChanged = false;
    };
    // Waits up to ms for an interrupt or a device change and takes every pending one.
    Woken Wait(int ms);

private:
    struct State;
    std::unique_ptr<State> m_State;
};
