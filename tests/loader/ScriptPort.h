#pragma once
// Scripted in-process port for the protocol tests: bytes the code under test sends go to a responder that
// plays the receiver; the responder (or the test) queues the replies. Nothing here touches a device.

#include "serial/CommPort.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CScriptPort : public CCommPort {
public:
    // Called on the sending thread for every byte sent, in order, without the port's lock held.
    using Responder = std::function<void(CScriptPort& port, uint8_t b)>;

    CScriptPort() = default;
    ~CScriptPort() override;

    void Close() override { m_Open.store(0); }
    int IsOpen() override { return m_Open.load(); }
    bool ReadByte(uint8_t& b) override;
    bool SendByte(uint8_t b) override;
    bool SendString(const char* text) override;
    bool Send(const uint8_t* data, uint32_t count) override;
    int IsTxDone() override { return 1; }
    void SetBaudIndex(int index) override;
    int GetBaudIndex() override { return m_Baud.load(); }
    void Purge() override;
    int CharTimeMs(int /*count*/) override { return 1; }
    bool WaitRx(uint32_t ms) override;
    void WakeWaiters() override;

    void SetResponder(Responder responder);
    void Inject(const std::vector<uint8_t>& bytes);
    void InjectText(const std::string& text) { Inject(std::vector<uint8_t>(text.begin(), text.end())); }
    // Queues bytes from a helper thread once ms have passed.
    void InjectAfter(uint32_t ms, std::vector<uint8_t> bytes);

    std::vector<uint8_t> Sent();
    size_t SentCount();
    std::vector<int> BaudHistory();
    size_t Waiting();

    // Replies become readable this long after they were queued, as on a real line; 0 makes them
    // readable at once.
    std::atomic<uint32_t> m_LatencyMs{0};
    std::atomic<int> m_Open{1};
    std::atomic<int> m_Baud{5};
    std::atomic<uint64_t> m_ReadCalls{0};
    std::atomic<uint64_t> m_WaitCalls{0};
    std::atomic<int> m_Purges{0};
    std::atomic<int> m_Wakes{0};

private:
    void Deliver(uint8_t b);

    std::mutex m_Lock;
    std::condition_variable m_Cond;
    struct Pending {
        uint8_t b;
        std::chrono::steady_clock::time_point due;
    };
    std::deque<Pending> m_Rx;
    std::vector<uint8_t> m_Tx;
    std::vector<int> m_BaudHistory;
    uint64_t m_WakeGeneration = 0;
    bool m_Closing = false;
    Responder m_Responder;
    std::mutex m_ResponderLock;
    std::vector<std::thread> m_Timers;
};
