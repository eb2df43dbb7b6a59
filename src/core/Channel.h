#pragma once
// The two one-way channels into the dialog (status lines for the log view, time-stamped lines for the log
// file) and the stop cell that every worker loop and interruptible sleep consults. Each object that reports
// holds a reference to one channel, so several jobs can run side by side with channels of their own.

#include "LockedValue.h"
#include "PulseEvent.h"
#include "TextQueue.h"

#include <cstdint>
#include <string>

class CChannel {
public:
    static constexpr uint16_t QUEUE_SLOTS = 8192;

    CChannel();
    CChannel(const CChannel&) = delete;
    CChannel& operator=(const CChannel&) = delete;

    void PushStatus(const std::string& text);
    // Queues "hh:mm:ss<TAB>text".
    void Log(const std::string& text);
    void Log(const char* text);
    // Waits in slices of at most 100 ms and returns early once a stop was requested.
    void SleepMs(uint32_t ms);
    bool StopRequested() { return m_Stop.Get() != 0; }
    // Shutdown: marks the stop and releases every SleepMs at once.
    void RequestStop();

    TextQueue m_StatusQueue;
    TextQueue m_LogQueue;
    LockedInt m_Stop{0};

private:
    CPulseEvent m_StopEvent;
};

// "hh:mm:ss" of the local time of day.
std::string TimeOfDayText();
