// The serial port on a Win32 communications device: open, line settings, the callers' side, purge, presence
// and close. The two threads are in SerialThreadsWin32.cpp.

#include "serial/SerialPort.h"

#include "core/Clock.h"
#include "serial/PortTable.h"
#include "serial/SerialSettings.h"

#include <chrono>
#include <cstring>
#include <windows.h>

namespace {

void CloseEvent(void*& event) {
    if (event)
        CloseHandle(static_cast<HANDLE>(event));
    event = nullptr;
}

} // namespace

CSerialPort::CSerialPort(CChannel& channel) : m_Channel(channel) {
    m_TxRing.Size(RING_SIZE);
    m_RxRing.Size(RING_SIZE);
}

CSerialPort::~CSerialPort() {
    Close();
}

std::string CSerialPort::DeviceName(const std::string& entry) {
    // Names beyond COM9 exist only in the device namespace.
    if (entry.size() > 3 && _strnicmp(entry.c_str(), "COM", 3) == 0 &&
        entry.find_first_not_of("0123456789", 3) == std::string::npos && entry.size() <= 6) {
        const int number = std::atoi(entry.c_str() + 3);
        if (number >= 10)
            return "\\\\.\\COM" + std::to_string(number);
    }
    return entry;
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

int CSerialPort::TxQueued() {
    int unsent = 0;
    {
        std::lock_guard<std::mutex> lock(m_OpenLock);
        unsigned flags = 0;
        int in = 0;
        if (m_Handle && !ReadCommStatus(flags, in, unsent))
            unsent = 0;
    }
    return static_cast<int>(m_TxRing.Count()) + m_TxChunkLeft.load() + unsent;
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

void CSerialPort::Purge() {
    m_RxRing.Clear();
    m_TxRing.Clear();
    std::lock_guard<std::mutex> lock(m_OpenLock);
    if (!m_Handle)
        return;
    // Wine's ports are POSIX terminals underneath: a pseudo-terminal reports no unsent bytes while its last
    // write is in flight, and an output purge then would drop that write. Purge output only when the
    // driver holds bytes it has not sent; the transmit thread's own write is never aborted.
    unsigned flags = 0;
    int in = 0;
    int out = 0;
    if (ReadCommStatus(flags, in, out) && out > 0)
        PurgeComm(m_Handle, PURGE_TXCLEAR);
    PurgeComm(m_Handle, PURGE_RXCLEAR);
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
    std::lock_guard<std::mutex> lock(m_ErrorLock);
    m_ErrorText = name + (locked ? " is Locked by Another Device!" : " Serial Port Open Error!");
    m_ErrorFlag.store(1);
    m_PortLocked.store(locked ? 1 : 0);
    return false;
}

bool CSerialPort::Open() {
    std::lock_guard<std::mutex> lock(m_OpenLock);
    CloseLocked();
    m_RxRing.Clear();
    m_TxRing.Clear();

    // portLocked changes only with the outcome, so the dialog never sees a held port flicker to free.
    const uint8_t index = m_PortIndex.load();
    if (index == 0) {
        m_PortLocked.store(0);
        return true;
    }
    const std::string name = PortName(index);
    if (name.empty())
        return FailOpen(name, false);

    HANDLE h = CreateFileA(DeviceName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return FailOpen(name, error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION);
    }
    // A name that opens but is no communications device (a file, a printer) is refused here.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &dcb)) {
        CloseHandle(h);
        return FailOpen(name, false);
    }
    // A one-byte read completes when its byte has arrived, however long that takes; writes never time out.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 65535;
    SetCommTimeouts(h, &timeouts);

    m_TxAbort = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_RxAbort = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!m_TxAbort || !m_RxAbort) {
        CloseEvent(m_TxAbort);
        CloseEvent(m_RxAbort);
        CloseHandle(h);
        return FailOpen(name, false);
    }

    dcb.BaudRate = static_cast<DWORD>(m_BaudRate.load());
    dcb.ByteSize = 8;
    dcb.Parity = m_Parity.load();
    dcb.StopBits = m_StopBits.load();
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    // A byte received with a parity error arrives as 'e'.
    dcb.fErrorChar = 1;
    dcb.ErrorChar = 'e';
    dcb.fAbortOnError = 0;
    SetCommState(h, &dcb);
    SetupComm(h, RING_SIZE, RING_SIZE);
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    m_Handle = h;
    m_HungUp.store(0);
    m_IoError.store(0);
    m_SeenErrors.store(0);
    m_TxDiscard.store(0);
    m_TxChunkLeft.store(0);
    m_TxKick.Reset();
    m_TxEnded.Reset();
    m_RxStop.store(0);
    m_TxStop.store(0);
    m_TxRunning.store(1);

    m_PortLocked.store(0);
    m_Channel.Log("begin threads");
    m_RxThread = std::thread(&CSerialPort::RxThread, this);
    m_TxThread = std::thread(&CSerialPort::TxThread, this);
    m_PortOpen.Set(1);
    return true;
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
        SetEvent(m_TxAbort);
    }
    m_TxThread.join();
}

void CSerialPort::StopRxThread() {
    // The abort event is auto-reset: it stays signalled until the thread's wait takes it.
    m_RxStop.store(1);
    SetEvent(m_RxAbort);
    m_RxThread.join();
}

void CSerialPort::CloseLocked() {
    if (m_PortOpen.Get() == 0)
        return;
    m_Channel.Log("close threads");
    StopTxThread();
    StopRxThread();
    m_TxKick.Reset();
    CloseEvent(m_TxAbort);
    CloseEvent(m_RxAbort);
    m_PortOpen.Set(0);
    if (m_Handle) {
        // Give the driver a bounded moment to send what it holds, then drop the rest.
        unsigned flags = 0;
        int in = 0;
        int out = 0;
        const uint32_t start = TickMs();
        while (!m_HungUp.load() && ReadCommStatus(flags, in, out) && out > 0 && ElapsedMs(start) < 200)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (out > 0)
            PurgeComm(m_Handle, PURGE_TXABORT | PURGE_TXCLEAR);
        CloseHandle(m_Handle);
        m_Handle = nullptr;
    }
    WakeWaiters();
    m_Channel.Log("rx tx threads closed");
}

void CSerialPort::CheckPresence() {
    std::lock_guard<std::mutex> lock(m_OpenLock);
    if (m_PortOpen.Get() == 0)
        return;
    COMMPROP properties{};
    if (m_HungUp.load() || (!GetCommProperties(m_Handle, &properties) && GetLastError() == ERROR_GEN_FAILURE))
        CloseLocked();
}
