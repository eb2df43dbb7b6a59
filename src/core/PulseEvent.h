#pragma once
// Wake event of a worker. Pulse releases whoever waits at that moment and leaves nothing signalled, so a
// pulse while the worker is busy is lost and requests always go "set the cell, then pulse". The latched
// variant (Set/Reset) serves as an auto-reset event: one waiter consumes one Set.

#include <condition_variable>
#include <cstdint>
#include <mutex>

class CPulseEvent {
public:
    CPulseEvent() = default;
    CPulseEvent(const CPulseEvent&) = delete;
    CPulseEvent& operator=(const CPulseEvent&) = delete;

    void Pulse();
    // Latches until one WaitFor consumes it.
    void Set();
    void Reset();
    // True when released by a pulse or a latched Set, false when ms elapsed.
    bool WaitFor(uint32_t ms);

private:
    std::mutex m_Lock;
    std::condition_variable m_Cond;
    uint64_t m_Generation = 0;
    bool m_Latched = false;
};
