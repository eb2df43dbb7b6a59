#pragma once
// The serial port on a Win32 communications device, with the same face as the termios port. Callers never
// touch the device: Send queues into txRing and the transmit thread writes it out with overlapped writes;
// the receive thread keeps one overlapped read outstanding and moves every arriving byte into rxRing, from
// which ReadByte takes without waiting and for which WaitRx blocks. Each thread waits on its I/O event and
// an abort event, so Close can always end them; a device that has gone is left alone until Close.

#include "core/ByteRing.h"
#include "core/Channel.h"
#include "core/LockedValue.h"
#include "core/PulseEvent.h"
#include "serial/CommPort.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class CSerialPort : public CCommPort {
public:
    static constexpr uint16_t RING_SIZE = 32762;
    static constexpr uint32_t TX_CHUNK = 8196;
    // IsTxDone and SetBaudIndex wait at most this long for the transmit thread.
    static constexpr uint32_t REPLY_WAIT_MS = 500;
    // The transmit thread's pass when nobody kicks it.
    static constexpr uint32_t TX_PASS_MS = 300;
    // Close lets the transmit thread write what is queued for this long, then drops the rest.
    static constexpr uint32_t CLOSE_GRACE_MS = 100;

    // Line error flags of the communication error mask.
    static constexpr unsigned CE_RXOVER = 0x01;
    static constexpr unsigned CE_OVERRUN = 0x02;
    static constexpr unsigned CE_RXPARITY = 0x04;
    static constexpr unsigned CE_FRAME = 0x08;
    static constexpr unsigned CE_BREAK = 0x10;
    static constexpr unsigned CE_TXFULL = 0x100;
    static constexpr unsigned CE_IOE = 0x400;
    static constexpr unsigned CE_MODE = 0x8000;

    explicit CSerialPort(CChannel& channel);
    ~CSerialPort() override;
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    void Close() override;
    int IsOpen() override;
    bool ReadByte(uint8_t& b) override;
    bool SendByte(uint8_t b) override;
    bool SendString(const char* text) override;
    bool Send(const uint8_t* data, uint32_t count) override;
    int IsTxDone() override;
    int TxQueued() override;
    void SetBaudIndex(int index) override;
    int GetPortId() override;
    int GetBaudIndex() override;
    void Purge() override;
    int CharTimeMs(int count) override;
    void CheckPresence() override;
    bool WaitRx(uint32_t ms) override;
    void WakeWaiters() override;

    // Opens g_PortNames[portIndex] with the stored settings and starts both threads. True also for slot 0
    // ("OFF"), which opens nothing.
    bool Open();
    // Hands out an unreported error text once.
    bool TakeError(std::string& text);
    // Reads and clears the line errors and the queue counts; returns errorFlag. Transmit thread only.
    int PollErrors();
    // Settings for the next Open.
    void SetPortIndex(uint8_t index) { m_PortIndex.store(index); }
    void SetParity(uint8_t selector);
    void SetStopBits(uint8_t selector);
    // Stores baudIndex and its rate without touching the device.
    void SetBaudSetting(int index);

    // 1 when the last Open failed because another program holds the port.
    int PortLocked() const { return m_PortLocked.load(); }

    // The name CreateFile takes for a table entry: "COM3" stays as it is, "COM12" becomes "\\.\COM12".
    static std::string DeviceName(const std::string& entry);

private:
    // Win32 handles are kept as void* so that users of the port need no system header.
    using Handle = void*;

    bool FailOpen(const std::string& name, bool locked);
    void CloseLocked();
    void StopTxThread();
    void StopRxThread();
    void RxThread();
    void TxThread();
    // Writes txRing out; a write cut short keeps its rest in chunk[off..len) for the next pass.
    void WriteOut(uint8_t* chunk, uint32_t& len, uint32_t& off, Handle written);
    void ApplyBaud();
    void MarkHungUp();
    void NotifyRx();
    // Reads the driver's error flags and queue counts; remembers the flags for the next PollErrors.
    bool ReadCommStatus(unsigned& flags, int& in, int& out);
    bool AskTxThread(int& idle);
    void AnswerTx(uint64_t request, int idle);

    CChannel& m_Channel;
    LockedInt m_PortOpen{0};
    std::atomic<int> m_InQueue{0};
    std::atomic<int> m_OutQueue{0};
    ByteRing m_TxRing;
    ByteRing m_RxRing;
    std::atomic<uint8_t> m_PortIndex{0};
    std::atomic<uint8_t> m_Parity{0};
    std::atomic<uint8_t> m_StopBits{0};
    // The device and the two abort events (auto-reset, so a signal waits for its thread); set by Open before
    // the threads start and reset by Close after they ended.
    Handle m_Handle = nullptr;
    Handle m_TxAbort = nullptr;
    Handle m_RxAbort = nullptr;
    CPulseEvent m_TxKick;
    CPulseEvent m_TxEnded;
    std::thread m_RxThread;
    std::thread m_TxThread;
    std::atomic<int> m_RxStop{0};
    std::atomic<int> m_TxStop{0};
    std::atomic<int> m_TxRunning{0};
    // Set by Close once the grace time is over: the transmit thread cancels its write and drops the rest.
    std::atomic<int> m_TxDiscard{0};
    std::atomic<int> m_BaudIndex{0};
    std::atomic<int> m_BaudRate{0};
    std::atomic<int> m_BaudPending{0};
    std::atomic<int> m_TxIdle{0};
    // Bytes the transmit thread has taken from txRing and not yet handed to the driver (once a write is
    // issued, the driver's output queue counts them).
    std::atomic<int> m_TxChunkLeft{0};
    // Questions to the transmit thread (IsTxDone, SetBaudIndex) are numbered; a pass answers every number
    // it found before it looked at the rings.
    std::atomic<uint64_t> m_TxRequest{0};
    std::mutex m_TxAnswerLock;
    std::condition_variable m_TxAnswerCond;
    uint64_t m_TxAnswered = 0;
    int m_TxAnswerIdle = 0;
    std::atomic<int> m_ErrorFlag{0};
    std::atomic<int> m_PortLocked{0};
    std::mutex m_ErrorLock;
    std::string m_ErrorText;
    // Error flags that a queue query outside PollErrors took from the driver; PollErrors reports them.
    std::atomic<unsigned> m_SeenErrors{0};

    // Open, Close, CheckPresence, Purge and TxQueued may come from different threads.
    std::mutex m_OpenLock;
    std::atomic<int> m_HungUp{0};
    std::atomic<int> m_IoError{0};

    // Data-arrival signal for WaitRx: generations bumped by the receive thread and by WakeWaiters.
    std::mutex m_RxWaitLock;
    std::condition_variable m_RxCond;
    uint64_t m_RxGeneration = 0;
    uint64_t m_WakeGeneration = 0;
};
