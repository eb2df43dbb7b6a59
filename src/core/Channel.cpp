#include "Channel.h"

#include "core/Platform.h"

#include <ctime>

CChannel::CChannel() {
    m_StatusQueue.Init(QUEUE_SLOTS);
    m_LogQueue.Init(QUEUE_SLOTS);
}

std::string TimeOfDayText() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    LocalTimeOf(now, local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

void CChannel::PushStatus(const std::string& text) {
    m_StatusQueue.Push(std::make_unique<std::string>(text));
}

void CChannel::Log(const std::string& text) {
    auto line = std::make_unique<std::string>(TimeOfDayText());
    line->reserve(line->size() + 1 + text.size());
    *line += '\t';
    *line += text;
    m_LogQueue.Push(std::move(line));
}

void CChannel::Log(const char* text) {
    Log(std::string(text ? text : ""));
}

void CChannel::SleepMs(uint32_t ms) {
    // The stop event is only ever pulsed by RequestStop, so each wait lasts its slice unless we are stopping.
    while (ms > 100) {
        m_StopEvent.WaitFor(100);
        ms -= 100;
        if (StopRequested())
            return;
    }
    if (ms > 0)
        m_StopEvent.WaitFor(ms);
}

void CChannel::RequestStop() {
    m_Stop.Set(1);
    m_StopEvent.Pulse();
}
