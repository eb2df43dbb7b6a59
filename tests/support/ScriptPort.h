#pragma once
// Scripted in-process port: every byte the code under test sends goes to a responder that plays the
// receiver; the responder (or the test) queues the replies. Nothing here touches a device.

#include "serial/CommPort.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class CScriptPort : public CCommPort {
public:
    using Clock = std::chrono::steady_clock;
    // Called on the sending thread for every byte sent, in order.
    using Responder = std::function<void(CScriptPort& port, uint8_t b)>;

    int IsOpen() override { return m_Open.load(); }
    bool ReadByte(uint8_t& b) override {
        ++m_ReadCalls;
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_Rx.empty() || m_Rx.front().second > Clock::now())
            return false;
        b = m_Rx.front().first;
        m_Rx.pop_front();
        return true;
    }
    bool SendByte(uint8_t b) override { return Send(&b, 1); }
    bool SendString(const char* text) override {
        return Send(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
    }
    bool Send(const uint8_t* data, uint32_t count) override {
        for (uint32_t i = 0; i < (count & 0xFFFF); ++i) {
            Responder responder;
            {
                std::lock_guard<std::mutex> lock(m_Lock);
                m_Tx.push_back(data[i]);
                responder = m_Responder;
            }
            if (responder)
                responder(*this, data[i]);
        }
        return true;
    }
    void SetBaudIndex(int index) override {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Bauds.push_back(index);
    }
    void Purge() override {
        ++m_Purges;
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Rx.clear();
    }
    int CharTimeMs(int /*count*/) override { return 1; }
    bool WaitRx(uint32_t ms) override {
        std::unique_lock<std::mutex> lock(m_Lock);
        const uint64_t wake = m_Wake;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const Clock::time_point now = Clock::now();
            if (!m_Rx.empty() && m_Rx.front().second <= now)
                return true;
            if (m_Wake != wake || now >= deadline)
                return false;
            m_Cond.wait_until(lock, m_Rx.empty() ? deadline : std::min(deadline, m_Rx.front().second));
        }
    }
    void WakeWaiters() override {
        std::lock_guard<std::mutex> lock(m_Lock);
        ++m_Wake;
        m_Cond.notify_all();
    }

    void SetResponder(Responder responder) {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Responder = std::move(responder);
    }
    // Replies become readable m_LatencyMs after they were queued, as on a real line.
    void Inject(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lock(m_Lock);
        for (uint8_t b : bytes)
            m_Rx.emplace_back(b, Clock::now() + std::chrono::milliseconds(m_LatencyMs.load()));
        m_Cond.notify_all();
    }
    void InjectText(const std::string& text) { Inject(std::vector<uint8_t>(text.begin(), text.end())); }
    std::vector<uint8_t> Sent() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Tx;
    }
    std::vector<int> Bauds() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Bauds;
    }
    size_t Waiting() {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Rx.size();
    }

    std::atomic<uint32_t> m_LatencyMs{0};
    std::atomic<int> m_Open{1};
    std::atomic<uint64_t> m_ReadCalls{0};
    std::atomic<int> m_Purges{0};

private:
    std::mutex m_Lock;
    std::condition_variable m_Cond;
    std::deque<std::pair<uint8_t, Clock::time_point>> m_Rx;
    std::vector<uint8_t> m_Tx;
    std::vector<int> m_Bauds;
    uint64_t m_Wake = 0;
    Responder m_Responder;
};
