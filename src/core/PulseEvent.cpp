#include "PulseEvent.h"

#include <chrono>

void CPulseEvent::Pulse() {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        ++m_Generation;
    }
    m_Cond.notify_all();
}

void CPulseEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Latched = true;
    }
    m_Cond.notify_one();
}

void CPulseEvent::Reset() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Latched = false;
}

bool CPulseEvent::WaitFor(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_Lock);
    const uint64_t generation = m_Generation;
    const bool released = m_Cond.wait_for(lock, std::chrono::milliseconds(ms),
                                          [&] { return m_Latched || m_Generation != generation; });
    if (m_Latched)
        m_Latched = false;
    return released;
}
