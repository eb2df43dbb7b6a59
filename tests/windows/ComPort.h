#pragma once
// The COM port that scripts/test-windows.sh maps onto a kavrel-sim terminal (Wine's port mapping), named
// on the test program's command line: suite.exe --port COM5. Each suite gets a simulator of its own.

#include "serial/PortTable.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

extern std::string g_ComPort;
// Simulators that hang up at a phase of an upload (--hangup PHASE=COMn, as often as there are).
extern std::vector<std::pair<std::string, std::string>> g_HangupPorts;

// The slot of a COM name in the port table (discovery's, or appended); -1 when it cannot be had.
inline int SlotOf(const std::string& name) {
    EnumeratePorts();
    int slot = FindPortName(name);
    if (slot < 0 && AddPortName(name.c_str()))
        slot = FindPortName(name);
    return slot;
}

// The port's slot in the port table (discovery's, or appended); -1 when it cannot be had.
inline int ComPortSlot() {
    return SlotOf(g_ComPort);
}
