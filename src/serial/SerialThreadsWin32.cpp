// The two threads of an open Win32 port and the line-error poll of the transmit thread.

#include "serial/SerialPort.h"

#include <windows.h>

namespace {

// After a read that failed outright on a device that is still there, the thread pauses this long (or until
// its abort) before it reads again, so a failing device never makes it spin.
constexpr DWORD FAILED_READ_PAUSE_MS = 100;
// Bytes taken per read once a byte has arrived and more are waiting.
constexpr DWORD RX_BLOCK = 256;
// Such a read finds its bytes waiting; should a purge have taken them meanwhile, it ends after this long.
constexpr DWORD DRAIN_WAIT_MS = 20;

} // namespace

bool CSerialPort::IsGoneError(unsigned long error) {
    switch (error) {
    case ERROR_GEN_FAILURE:
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_NOT_READY:
    case ERROR_HANDLE_EOF:
    case ERROR_BROKEN_PIPE:
        return true;
    default:
        return false;
    }
}

bool CSerialPort::ReadCommStatus(unsigned& flags, int& in, int& out) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(m_Handle, &errors, &status))
        return false;
    // Whoever asks clears the driver's flags: keep them for the transmit thread's report.
    if (errors != 0)
        m_SeenErrors.fetch_or(errors);
    flags = errors;
    in = static_cast<int>(status.cbInQue);
    out = static_cast<int>(status.cbOutQue);
    return true;
}

void CSerialPort::RxThread() {
    HANDLE device = m_Handle;
    HANDLE abort = m_RxAbort;
    HANDLE readDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    uint8_t buffer[RX_BLOCK];
    bool pending = false;

    auto deliver = [this](const uint8_t* bytes, DWORD count) {
        for (DWORD i = 0; i < count; ++i)
            m_RxRing.Put(bytes[i]);
        if (count > 0)
            NotifyRx();
    };
    // A read that failed outright, or ended without a byte: the device has gone, or it is worth another
    // try after a pause. Either way the thread then waits for its abort instead of spinning.
    auto failed = [&](DWORD error) {
        unsigned flags = 0;
        int in = 0;
        int out = 0;
        if (IsGoneError(error) || !ReadCommStatus(flags, in, out))
            MarkHungUp();
        if (WaitForSingleObject(abort, m_HungUp.load() ? INFINITE : FAILED_READ_PAUSE_MS) == WAIT_OBJECT_0)
            m_Channel.Log("1");
    };
    // Starts a read of count bytes; true when it completed at once (got set), false when it is pending or
    // failed (error set, 0 while pending).
    auto start = [&](DWORD count, DWORD& got, DWORD& error) {
        ov = OVERLAPPED{};
        ov.hEvent = readDone;
        ResetEvent(readDone);
        got = 0;
        error = 0;
        if (ReadFile(device, buffer, count, &got, &ov))
            return true;
        error = GetLastError();
        if (error == ERROR_IO_PENDING)
            error = 0;
        return false;
    };
    // After a byte: take what else the driver holds in one go (it is there, so the read completes at once).
    auto drainWaiting = [&]() {
        unsigned flags = 0;
        int in = 0;
        int out = 0;
        while (m_RxStop.load() == 0 && ReadCommStatus(flags, in, out) && in > 0) {
            DWORD got = 0;
            DWORD error = 0;
            if (!start(static_cast<DWORD>(in) < RX_BLOCK ? static_cast<DWORD>(in) : RX_BLOCK, got, error)) {
                if (error != 0)
                    return;
                HANDLE waits[2] = {readDone, abort};
                const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, DRAIN_WAIT_MS);
                if (woken != WAIT_OBJECT_0)
                    CancelIoEx(device, &ov);
                if (woken == WAIT_OBJECT_0 + 1)
                    m_Channel.Log("1");
                GetOverlappedResult(device, &ov, &got, TRUE);
            }
            deliver(buffer, got);
            if (got == 0)
                return;
        }
    };

    while (m_RxStop.load() == 0) {
        if (m_HungUp.load()) {
            if (WaitForSingleObject(abort, INFINITE) == WAIT_OBJECT_0)
                m_Channel.Log("1");
            continue;
        }
        if (!pending) {
            DWORD got = 0;
            DWORD error = 0;
            if (start(1, got, error)) {
                if (got == 0) {
                    failed(ERROR_HANDLE_EOF);
                    continue;
                }
                deliver(buffer, got);
                drainWaiting();
                continue;
            }
            if (error != 0) {
                failed(error);
                continue;
            }
            pending = true;
        }
        HANDLE waits[2] = {readDone, abort};
        const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            DWORD got = 0;
            const bool ok = GetOverlappedResult(device, &ov, &got, FALSE);
            const DWORD error = ok ? 0 : GetLastError();
            pending = false;
            if (ok && got > 0) {
                deliver(buffer, got);
                drainWaiting();
            } else if (error != ERROR_OPERATION_ABORTED) {
                failed(ok ? ERROR_HANDLE_EOF : error);
            }
        } else if (woken == WAIT_OBJECT_0 + 1) {
            // No new read is started while the old one is outstanding.
            m_Channel.Log("1");
        } else {
            MarkHungUp();
        }
    }
    if (pending) {
        DWORD got = 0;
        CancelIoEx(device, &ov);
        GetOverlappedResult(device, &ov, &got, TRUE);
    }
    CloseHandle(readDone);
    m_RxStop.store(0);
}

void CSerialPort::ApplyBaud() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_Handle, &dcb))
        return;
    dcb.BaudRate = static_cast<DWORD>(m_BaudRate.load());
    SetCommState(m_Handle, &dcb);
}

void CSerialPort::WriteOut(uint8_t* chunk, uint32_t& len, uint32_t& off, Handle written) {
    auto drop = [&]() {
        len = off = 0;
        m_TxChunkLeft.store(0);
        m_TxRing.Clear();
    };
    for (;;) {
        if (m_HungUp.load()) {
            // Nothing can be written any more; what callers queue is dropped.
            drop();
            return;
        }
        if (off == len) {
            len = m_TxRing.GetMany(chunk, TX_CHUNK);
            off = 0;
            m_TxChunkLeft.store(static_cast<int>(len));
            if (len == 0)
                return;
        }
        OVERLAPPED ov{};
        ov.hEvent = written;
        ResetEvent(written);
        // Handed to the driver: from here on the driver's output queue counts these bytes (TxQueued).
        m_TxChunkLeft.store(0);
        DWORD count = 0;
        BOOL ok = WriteFile(m_Handle, chunk + off, len - off, &count, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            HANDLE waits[2] = {written, m_TxAbort};
            for (;;) {
                const DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
                if (woken == WAIT_OBJECT_0)
                    break;
                // An abort while Close still lets the queue drain only interrupts the wait; once the grace
                // time is over, or the wait itself fails, the write is cancelled. Either way it is
                // collected before its buffer and OVERLAPPED are used again.
                if (woken != WAIT_OBJECT_0 + 1 || m_TxDiscard.load()) {
                    CancelIoEx(m_Handle, &ov);
                    break;
                }
            }
            ok = GetOverlappedResult(m_Handle, &ov, &count, TRUE);
        }
        const DWORD error = ok ? 0 : GetLastError();
        off += count;
        m_TxChunkLeft.store(static_cast<int>(len - off));
        if (m_TxDiscard.load() && off < len) {
            drop();
            return;
        }
        if (ok) {
            // Writes have no time-out, so a completed write without a byte means the device takes nothing.
            if (count == 0 && WaitForSingleObject(m_TxAbort, FAILED_READ_PAUSE_MS) == WAIT_OBJECT_0 &&
                m_TxDiscard.load()) {
                drop();
                return;
            }
            continue;
        }
        unsigned flags = 0;
        int in = 0;
        int out = 0;
        if (IsGoneError(error) || !ReadCommStatus(flags, in, out)) {
            MarkHungUp();
            continue;
        }
        // Any other failure: the chunk is dropped and the next pass goes on.
        len = off = 0;
        m_TxChunkLeft.store(0);
        return;
    }
}

void CSerialPort::TxThread() {
    HANDLE written = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    uint8_t chunk[TX_CHUNK];
    uint32_t len = 0;
    uint32_t off = 0;
    while (m_TxStop.load() == 0) {
        m_TxKick.WaitFor(TX_PASS_MS);
        // Every question asked so far is answered by what this pass finds from here on.
        const uint64_t request = m_TxRequest.load();
        if (m_BaudPending.exchange(0) != 0)
            ApplyBaud();
        PollErrors();
        const int idle = m_TxRing.IsEmpty() && off == len && m_OutQueue.load() == 0 ? 1 : 0;
        AnswerTx(request, idle);
        WriteOut(chunk, len, off, written);
    }
    CloseHandle(written);
    m_TxStop.store(0);
    m_TxRunning.store(0);
    m_TxEnded.Set();
}

int CSerialPort::PollErrors() {
    unsigned flags = 0;
    int in = 0;
    int out = 0;
    if (!m_HungUp.load() && !ReadCommStatus(flags, in, out) && IsGoneError(GetLastError()))
        MarkHungUp();
    // Flags that a queue query took since the last poll count too.
    flags = m_SeenErrors.exchange(0);
    if (m_IoError.exchange(0) != 0)
        flags |= CE_IOE;

    return PublishErrors(flags, in, out);
}
