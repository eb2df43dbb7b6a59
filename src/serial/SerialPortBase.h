#pragma once
// What both platforms' serial ports share: the limits, the line error flags, the callers' rings and the
// state the callers and the two threads exchange. CSerialPort (one header per platform, chosen by CMake)
// adds the device and its threads.

#include "core/ByteRing.h"
#include "core/Channel.h"
#include "core/LockedValue.h"
#include "core/PulseEvent.h"
#include "serial/CommPort.h"
#include "serial/PortIdentity.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class CSerialPortBase : public CCommPort {
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

    // Why the last Open failed.
    enum class OpenFault { NONE, NOT_SERIAL, OTHER_DEVICE, HELD, DENIED, FAILED };

    CSerialPortBase(const CSerialPortBase&) = delete;
    CSerialPortBase& operator=(const CSerialPortBase&) = delete;

    bool HungUp() override { return m_HungUp.load() != 0; }
    uint32_t OpenCount() override { return m_OpenCount.load(); }
    // The last Open's failure; NONE after a successful one.
    OpenFault LastOpenFault() const { return m_OpenFault.load(); }
    // Settings for the next Open.
    void SetPortIndex(uint8_t index) { m_PortIndex.store(index); }
    // 1 when the last Open failed because another program holds the port.
    int PortLocked() const { return m_PortLocked.load(); }

protected:
    explicit CSerialPortBase(CChannel& channel) : m_Channel(channel) {}
    ~CSerialPortBase() override = default;

    CChannel& m_Channel;
    LockedInt m_PortOpen{0};
    std::atomic<int> m_InQueue{0};
    std::atomic<int> m_OutQueue{0};
    ByteRing m_TxRing;
    ByteRing m_RxRing;
    std::atomic<uint8_t> m_PortIndex{0};
    std::atomic<uint8_t> m_Parity{0};
    std::atomic<uint8_t> m_StopBits{0};
    CPulseEvent m_TxKick;
    CPulseEvent m_TxEnded;
    std::thread m_RxThread;
    std::thread m_TxThread;
    std::atomic<int> m_RxStop{0};
    std::atomic<int> m_TxStop{0};
    std::atomic<int> m_TxRunning{0};
    // Set by Close once the grace time is over: the transmit thread drops what it could not write.
    std::atomic<int> m_TxDiscard{0};
    std::atomic<int> m_BaudIndex{0};
    std::atomic<int> m_BaudRate{0};
    std::atomic<int> m_BaudPending{0};
    std::atomic<int> m_TxIdle{0};
    // Bytes the transmit thread has taken from txRing and not yet handed to the device (on Windows, once a
    // write is issued, the driver's output queue counts them).
    std::atomic<int> m_TxChunkLeft{0};
    // Questions to the transmit thread (IsTxDone, SetBaudIndex) are numbered; a pass answers every number
    // it found before it looked at the rings, so no answer from a pass that began before a question counts.
    std::atomic<uint64_t> m_TxRequest{0};
    std::mutex m_TxAnswerLock;
    std::condition_variable m_TxAnswerCond;
    uint64_t m_TxAnswered = 0;
    int m_TxAnswerIdle = 0;
    std::atomic<int> m_ErrorFlag{0};
    std::atomic<int> m_PortLocked{0};
    std::atomic<OpenFault> m_OpenFault{OpenFault::NONE};
    std::atomic<uint32_t> m_OpenCount{0};
    std::mutex m_ErrorLock;
    std::string m_ErrorText;
    std::string m_OpenFaultText;
    // Under m_OpenLock.
    PortIdentity m_Identity;

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
