#include "ScriptPort.h"

#include <chrono>
#include <cstring>

CScriptPort::~CScriptPort() {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Closing = true;
    }
    m_Cond.notify_all();
    for (std::thread& t : m_Timers)
        t.join();
}

bool CScriptPort::ReadByte(uint8_t& b) {
    m_ReadCalls.fetch_add(1);
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Rx.empty() || m_Rx.front().due > std::chrono::steady_clock::now())
        return false;
    b = m_Rx.front().b;
    m_Rx.pop_front();
    return true;
}

void CScriptPort::Deliver(uint8_t b) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Tx.push_back(b);
    }
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(m_ResponderLock);
        responder = m_Responder;
    }
    if (responder)
        responder(*this, b);
}

bool CScriptPort::SendByte(uint8_t b) {
    Deliver(b);
    return true;
}

bool CScriptPort::SendString(const char* text) {
    if (text == nullptr)
        return false;
    return Send(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
}

bool CScriptPort::Send(const uint8_t* data, uint32_t count) {
    count &= 0xFFFF;
    for (uint32_t i = 0; i < count; ++i)
        Deliver(data[i]);
    return true;
}

void CScriptPort::SetBaudIndex(int index) {
    m_Baud.store(index);
    std::lock_guard<std::mutex> lock(m_Lock);
    m_BaudHistory.push_back(index);
}

void CScriptPort::Purge() {
    m_Purges.fetch_add(1);
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Rx.clear();
}

bool CScriptPort::WaitRx(uint32_t ms) {
    m_WaitCalls.fetch_add(1);
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(m_Lock);
    const uint64_t generation = m_WakeGeneration;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (!m_Rx.empty() && m_Rx.front().due <= now)
            return true;
        if (m_WakeGeneration != generation || m_Closing || now >= deadline)
            return false;
        Clock::time_point until = deadline;
        if (!m_Rx.empty() && m_Rx.front().due < until)
            until = m_Rx.front().due;
        m_Cond.wait_until(lock, until);
    }
}

void CScriptPort::WakeWaiters() {
    m_Wakes.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        ++m_WakeGeneration;
    }
    m_Cond.notify_all();
}

void CScriptPort::SetResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(m_ResponderLock);
    m_Responder = std::move(responder);
}

void CScriptPort::Inject(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_LatencyMs.load());
        for (uint8_t b : bytes)
            m_Rx.push_back(Pending{b, due});
    }
    m_Cond.notify_all();
}

void CScriptPort::InjectAfter(uint32_t ms, std::vector<uint8_t> bytes) {
    m_Timers.emplace_back([this, ms, bytes = std::move(bytes)] {
        {
            std::unique_lock<std::mutex> lock(m_Lock);
            if (m_Cond.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_Closing; }))
                return;
        }
        Inject(bytes);
    });
}

std::vector<uint8_t> CScriptPort::Sent() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Tx;
}

size_t CScriptPort::SentCount() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Tx.size();
}

std::vector<int> CScriptPort::BaudHistory() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_BaudHistory;
}

size_t CScriptPort::Waiting() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Rx.size();
}
