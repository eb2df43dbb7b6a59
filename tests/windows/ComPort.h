#pragma once
// The COM port that scripts/test-windows.sh maps onto a kavrel-sim terminal (Wine's port mapping), named
// on the test program's command line: suite.exe --port COM5. Each suite gets a simulator of its own.

#include "serial/PortTable.h"

#include <gtest/gtest.h>

#include <string>

extern std::string g_ComPort;

// The port's slot in the port table (discovery's, or appended); -1 when it cannot be had.
inline int ComPortSlot() {
    EnumeratePorts();
    int slot = FindPortName(g_ComPort);
    if (slot < 0 && AddPortName(g_ComPort.c_str()))
        slot = FindPortName(g_ComPort);
    return slot;
}
