// The serial port on a Win32 communications device: open, line settings, the callers' side, purge, presence
// and close. The two threads are in SerialThreadsWin32.cpp.

#include "serial/SerialPort.h"

#include "core/Clock.h"
#include "core/Platform.h"
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

void CSerialPort::SignalTxAbort() {
    SetEvent(m_TxAbort);
}

void CSerialPort::SignalRxAbort() {
    // Auto-reset: the event stays signalled until the thread's wait takes it.
    SetEvent(m_RxAbort);
}

bool CSerialPort::OpenDevice(const std::string& name, const PortIdentity* required) {
    if (name.empty())
        return FailOpen(name, false);
    // The name is looked at before anything opens it: what is no COM port, or now leads to another device
    // than the one required, is never opened.
    PortIdentity identity;
    std::string refusal;
    if (!LookAtPort(name, identity, refusal))
        return FailOpen(name, OpenFault::NOT_SERIAL, refusal);
    if (required != nullptr && required->known && identity != *required)
        return FailOpen(name, OpenFault::OTHER_DEVICE,
                        name + " now leads to another device (" + PortIdentityText(identity) + ", was " +
                            PortIdentityText(*required) + "): it is not opened.");

    HANDLE h = CreateFileA(DeviceName(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A COM port opened by another program fails as access denied (exclusive by nature).
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            return FailOpen(name, OpenFault::HELD, name + " is held by another program.");
        return FailOpen(name, OpenFault::FAILED,
                        name + " cannot be opened: " + SystemErrorText(static_cast<int>(error)) + ".");
    }
    // A name that opens but is no communications device (a file, a printer) is refused here.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &dcb)) {
        CloseHandle(h);
        return FailOpen(name, OpenFault::NOT_SERIAL,
                        name + " is not a serial port (no communications device).");
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
    m_SeenErrors.store(0);
    return StartThreads(identity);
}

void CSerialPort::CloseDevice() {
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
}

bool CSerialPort::DeviceGone() {
    if (m_HungUp.load())
        return true;
    // A removed adapter, or a terminal under Wine whose far end closed, fails the status queries.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(m_Handle, &errors, &status) && IsGoneError(GetLastError()))
        return true;
    if (errors != 0)
        m_SeenErrors.fetch_or(errors);
    DWORD modem = 0;
    return !GetCommModemStatus(m_Handle, &modem) && IsGoneError(GetLastError());
}
