#pragma once
// The one narrow port interface that the protocol layers talk to. Each platform has one backend behind it
// (CSerialPort on termios here); tests may put a scripted port behind it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

class CCommPort {
public:
    virtual ~CCommPort() = default;

    virtual void Close() {}
    virtual int IsOpen() { return 0; }
    // Takes one received byte; never waits.
    virtual bool ReadByte(uint8_t& /*b*/) { return false; }
    virtual bool SendByte(uint8_t /*b*/) { return false; }
    // Sends the text without its terminator.
    virtual bool SendString(const char* /*text*/) { return false; }
    // count is taken as a 16-bit count.
    virtual bool Send(const uint8_t* /*data*/, uint32_t /*count*/) { return false; }
    virtual int IsTxDone() { return 1; }
    // Bytes handed to Send that have not left on the line yet (ring, driver and device queues).
    virtual int TxQueued() { return 0; }
    virtual void SetBaudIndex(int /*index*/) {}
    virtual int GetPortId() { return 0; }
    virtual int GetBaudIndex() { return 0; }
    virtual void Purge() {}
    virtual int CharTimeMs(int count) { return count * 1000; }
    virtual void CheckPresence() {}
    // True once the open device has hung up (unplugged, far end closed); reset by the next open.
    virtual bool HungUp() { return false; }
    // Counts the opens: a port that was closed and opened again between two looks has another count.
    virtual uint32_t OpenCount() { return 0; }

    // Blocks until a received byte is waiting, ms have passed or WakeWaiters is called; true when a byte is
    // waiting. Loops that would otherwise poll the receive ring without pausing wait here instead.
    virtual bool WaitRx(uint32_t ms) {
        // Nothing ever arrives here: sleep the time asked (callers cut long waits into slices).
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return false;
    }
    // Releases every WaitRx at once (cancel, shutdown).
    virtual void WakeWaiters() {}

    // Response time factor: the boot-reload answer is awaited this many times 500 ms.
    uint16_t m_TimeFactor = 1;
    // Baud index saved around a job (upload worker) and before each open attempt (port worker).
    std::atomic<int> m_SavedBaud{0};
};
