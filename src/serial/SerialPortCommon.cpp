// The platform-neutral half of the serial port: the callers' side of the rings, the questions to the
// transmit thread, the receive wait, open failures and stopping the threads. What touches the device is in
// the platform's files (SerialPort.cpp and SerialThreads.cpp on POSIX, SerialPortWin32.cpp and
// SerialThreadsWin32.cpp on Windows).

#include "serial/SerialPort.h"

#include "core/Clock.h"
#include "serial/PortTable.h"
#include "serial/SerialSettings.h"

#include <chrono>
#include <cstring>

CSerialPort::CSerialPort(CChannel& channel) : CSerialPortBase(channel) {
    m_TxRing.Size(RING_SIZE);
    m_RxRing.Size(RING_SIZE);
}

CSerialPort::~CSerialPort() {
    Close();
}

int CSerialPort::IsOpen() {
    return m_PortOpen.Get();
}

bool CSerialPort::ReadByte(uint8_t& b) {
    return m_RxRing.Get(b);
}

bool CSerialPort::SendByte(uint8_t b) {
    return Send(&b, 1);
}

bool CSerialPort::SendString(const char* text) {
    if (!text)
        return false;
    return Send(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
}

bool CSerialPort::Send(const uint8_t* data, uint32_t count) {
    count &= 0xFFFF;
    if (IsOpen() == 0 || (!data && count != 0))
        return false;
    m_TxRing.PutMany(data, count);
    m_TxKick.Set();
    return true;
}

int CSerialPort::IsTxDone() {
    // Without a transmit thread there is nobody to answer; the last answer stands.
    if (IsOpen() == 0)
        return m_TxIdle.load();
    // No answer in time counts as busy: a stale "idle" would let the caller purge unsent bytes.
    int idle = 0;
    return AskTxThread(idle) ? idle : 0;
}

void CSerialPort::SetBaudIndex(int index) {
    SetBaudSetting(index);
    m_BaudPending.store(1);
    if (IsOpen() == 0)
        return;
    int idle = 0;
    AskTxThread(idle);
}

bool CSerialPort::AskTxThread(int& idle) {
    const uint64_t request = m_TxRequest.fetch_add(1) + 1;
    m_TxKick.Set();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(REPLY_WAIT_MS);
    std::unique_lock<std::mutex> lock(m_TxAnswerLock);
    if (!m_TxAnswerCond.wait_until(lock, deadline, [&] { return m_TxAnswered >= request; }))
        return false;
    idle = m_TxAnswerIdle;
    return true;
}

void CSerialPort::AnswerTx(uint64_t request, int idle) {
    m_TxIdle.store(idle);
    {
        std::lock_guard<std::mutex> lock(m_TxAnswerLock);
        if (request > m_TxAnswered)
            m_TxAnswered = request;
        m_TxAnswerIdle = idle;
    }
    m_TxAnswerCond.notify_all();
}

int CSerialPort::GetPortId() {
    return m_PortIndex.load() + 2;
}

int CSerialPort::GetBaudIndex() {
    return m_BaudIndex.load();
}

void CSerialPort::SetBaudSetting(int index) {
    m_BaudIndex.store(index);
    m_BaudRate.store(BaudRateOf(index));
}

void CSerialPort::SetParity(uint8_t selector) {
    m_Parity.store(ParityOfSelector(selector));
}

void CSerialPort::SetStopBits(uint8_t selector) {
    m_StopBits.store(StopBitsOfSelector(selector));
}

int CSerialPort::CharTimeMs(int count) {
    const int ms = static_cast<int>(count * 1000.0 / BytesPerSecondOf(m_BaudIndex.load()) + 0.5);
    return ms == 0 ? 1 : ms;
}

bool CSerialPort::TakeError(std::string& text) {
    std::lock_guard<std::mutex> lock(m_ErrorLock);
    if (m_ErrorFlag.load() != 1)
        return false;
    text = m_ErrorText;
    m_ErrorFlag.store(0);
    return true;
}

bool CSerialPort::WaitRx(uint32_t ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(m_RxWaitLock);
    const uint64_t data = m_RxGeneration;
    const uint64_t wake = m_WakeGeneration;
    lock.unlock();
    // The receive thread fills the ring before it bumps the generation, so a byte is either seen here or
    // ends the wait below.
    if (!m_RxRing.IsEmpty())
        return true;
    if (ms == 0)
        return false;
    lock.lock();
    m_RxCond.wait_until(lock, deadline, [&] { return m_RxGeneration != data || m_WakeGeneration != wake; });
    lock.unlock();
    return !m_RxRing.IsEmpty();
}

void CSerialPort::WakeWaiters() {
    {
        std::lock_guard<std::mutex> lock(m_RxWaitLock);
        ++m_WakeGeneration;
    }
    m_RxCond.notify_all();
}

void CSerialPort::NotifyRx() {
    {
        std::lock_guard<std::mutex> lock(m_RxWaitLock);
        ++m_RxGeneration;
    }
    m_RxCond.notify_all();
}

bool CSerialPort::FailOpen(const std::string& name, bool locked) {
    return FailOpen(name, locked ? OpenFault::HELD : OpenFault::FAILED,
                    locked ? name + " is held by another program." : name + " could not be opened.");
}

bool CSerialPort::FailOpen(const std::string& name, OpenFault fault, const std::string& cause) {
    const bool locked = fault == OpenFault::HELD;
    std::lock_guard<std::mutex> lock(m_ErrorLock);
    m_ErrorText = name + (locked ? " is Locked by Another Device!" : " Serial Port Open Error!");
    m_ErrorFlag.store(1);
    m_PortLocked.store(locked ? 1 : 0);
    m_OpenFaultText = cause;
    m_OpenFault.store(fault);
    return false;
}

std::string CSerialPort::OpenFaultText() {
    std::lock_guard<std::mutex> lock(m_ErrorLock);
    return m_OpenFaultText;
}

PortIdentity CSerialPort::Identity() {
    std::lock_guard<std::mutex> lock(m_OpenLock);
    return m_Identity;
}

void CSerialPort::Close() {
    std::lock_guard<std::mutex> lock(m_OpenLock);
    CloseLocked();
}

void CSerialPort::StopTxThread() {
    // What is queued is written first; a far side that takes nothing gets CLOSE_GRACE_MS, then the rest goes.
    m_TxStop.store(1);
    m_TxKick.Set();
    const uint32_t start = TickMs();
    while (m_TxRunning.load() != 0) {
        const uint32_t elapsed = ElapsedMs(start);
        if (elapsed >= CLOSE_GRACE_MS)
            break;
        m_TxEnded.WaitFor(CLOSE_GRACE_MS - elapsed);
    }
    if (m_TxRunning.load() != 0) {
        m_TxDiscard.store(1);
        SignalTxAbort();
    }
    m_TxThread.join();
}

void CSerialPort::StopRxThread() {
    // The abort signal stays set until the thread takes it, so one signal always reaches it.
    m_RxStop.store(1);
    SignalRxAbort();
    m_RxThread.join();
}

void CSerialPort::MarkHungUp() {
    // Reported once as an I/O error; from now on both threads wait only for their abort.
    if (m_HungUp.exchange(1) == 0) {
        m_IoError.store(1);
        // A protocol wait on this port learns of the loss now rather than at the end of its slice.
        WakeWaiters();
    }
}

bool CSerialPort::StartThreads(const PortIdentity& identity) {
    m_HungUp.store(0);
    m_IoError.store(0);
    m_TxDiscard.store(0);
    m_TxChunkLeft.store(0);
    m_TxKick.Reset();
    m_TxEnded.Reset();
    m_RxStop.store(0);
    m_TxStop.store(0);
    m_TxRunning.store(1);

    m_PortLocked.store(0);
    m_Identity = identity;
    {
        std::lock_guard<std::mutex> errorLock(m_ErrorLock);
        m_OpenFaultText.clear();
        m_OpenFault.store(OpenFault::NONE);
    }
    m_OpenCount.fetch_add(1);
    m_Channel.Log("begin threads");
    m_RxThread = std::thread(&CSerialPort::RxThread, this);
    m_TxThread = std::thread(&CSerialPort::TxThread, this);
    m_PortOpen.Set(1);
    return true;
}

void CSerialPort::CloseLocked() {
    if (m_PortOpen.Get() == 0)
        return;
    m_Channel.Log("close threads");
    StopTxThread();
    StopRxThread();
    m_TxKick.Reset();
    CloseDevice();
    WakeWaiters();
    m_Channel.Log("rx tx threads closed");
}

void CSerialPort::CheckPresence() {
    std::lock_guard<std::mutex> lock(m_OpenLock);
    if (m_PortOpen.Get() == 0)
        return;
    if (DeviceGone())
        CloseLocked();
}

int CSerialPort::PublishErrors(unsigned flags, int in, int out) {
    static const struct {
        unsigned flag;
        const char* text;
    } TEXTS[] = {
        {CE_BREAK, "The hardware detected a break condition.\n"},
        {CE_FRAME, "The hardware detected a framing error.\n"},
        {CE_IOE, "An I/O error occurred during communications with the device.\n"},
        {CE_MODE, "The requested mode is not supported.\n"},
        {CE_OVERRUN, "A character-buffer overrun has occurred.\n"},
        {CE_RXOVER, "An input buffer overflow has occurred.\n"},
        {CE_RXPARITY, "The hardware detected a parity error.\n"},
        {CE_TXFULL, "Output buffer overflow.\n"},
    };
    std::lock_guard<std::mutex> lock(m_ErrorLock);
    if (flags != 0) {
        m_ErrorText.clear();
        m_ErrorFlag.store(1);
    } else {
        m_ErrorFlag.store(0);
    }
    m_InQueue.store(in);
    m_OutQueue.store(out);
    for (const auto& entry : TEXTS)
        if (flags & entry.flag)
            m_ErrorText += entry.text;
    return m_ErrorFlag.load();
}

bool CSerialPort::Open(const PortIdentity* required) {
    std::lock_guard<std::mutex> lock(m_OpenLock);
    CloseLocked();
    m_RxRing.Clear();
    m_TxRing.Clear();

    // portLocked changes only with the outcome, so the dialog never sees a held port flicker to free.
    const uint8_t index = m_PortIndex.load();
    if (index == 0) {
        m_PortLocked.store(0);
        m_OpenFault.store(OpenFault::NONE);
        return true;
    }
    const std::string name = PortName(index);
    return OpenDevice(name, required);
}
