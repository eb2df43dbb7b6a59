#pragma once
// A port whose output drains like a UART's: it forwards everything to a real port (a pseudo-terminal,
// which takes bytes at once) but reports its output as still queued until the bytes would have left at the
// line's rate. Stall() makes it an adapter that stops draining without hanging up.

#include "serial/CommPort.h"
#include "serial/SerialSettings.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>

class CUartPort : public CCommPort {
public:
    explicit CUartPort(CCommPort& line) : m_Line(line) {}

    void Close() override { m_Line.Close(); }
    int IsOpen() override { return m_Line.IsOpen(); }
    bool ReadByte(uint8_t& b) override { return m_Line.ReadByte(b); }
    bool SendByte(uint8_t b) override { return Send(&b, 1); }
    bool SendString(const char* text) override {
        return Send(reinterpret_cast<const uint8_t*>(text),
                    static_cast<uint32_t>(std::char_traits<char>::length(text)));
    }
    bool Send(const uint8_t* data, uint32_t count) override {
        if (!m_Line.Send(data, count))
            return false;
        std::lock_guard<std::mutex> lock(m_Lock);
        const Clock::time_point now = Clock::now();
        m_FreeAt = std::max(m_FreeAt, now) + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(count / BytesPerSecond()));
        return true;
    }
    int IsTxDone() override {
        ++m_TxPolls;
        return m_Line.IsTxDone() && TxQueued() == 0 ? 1 : 0;
    }
    void SetBaudIndex(int index) override { m_Line.SetBaudIndex(index); }
    int GetPortId() override { return m_Line.GetPortId(); }
    int GetBaudIndex() override { return m_Line.GetBaudIndex(); }
    void Purge() override {
        m_Line.Purge();
        std::lock_guard<std::mutex> lock(m_Lock);
        if (!m_Stalled.load())
            m_FreeAt = Clock::now();
    }
    int CharTimeMs(int count) override { return m_Line.CharTimeMs(count); }
    void CheckPresence() override { m_Line.CheckPresence(); }
    bool WaitRx(uint32_t ms) override { return m_Line.WaitRx(ms); }
    void WakeWaiters() override { m_Line.WakeWaiters(); }
    int TxQueued() override {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_Stalled.load())
            return 1 + static_cast<int>(std::chrono::duration<double>(m_FreeAt - m_StalledAt).count() *
                                        BytesPerSecond());
        const double left = std::chrono::duration<double>(m_FreeAt - Clock::now()).count();
        return left > 0 ? static_cast<int>(std::ceil(left * BytesPerSecond())) : 0;
    }

    // From now on nothing more leaves the adapter.
    void Stall() {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_StalledAt = Clock::now();
        m_Stalled.store(true);
    }

    std::atomic<uint64_t> m_TxPolls{0};

private:
    using Clock = std::chrono::steady_clock;
    double BytesPerSecond() { return BytesPerSecondOf(m_Line.GetBaudIndex()); }

    CCommPort& m_Line;
    std::mutex m_Lock;
    Clock::time_point m_FreeAt{};
    Clock::time_point m_StalledAt{};
    std::atomic<bool> m_Stalled{false};
};
