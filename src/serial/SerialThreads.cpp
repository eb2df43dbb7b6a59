// The two threads of an open port and the line-error poll of the transmit thread.

#include "SerialPort.h"

#include "serial/ParmrkDecoder.h"
#include "serial/SerialSettings.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr short HANGUP_EVENTS = POLLHUP | POLLERR | POLLNVAL;

void Drain(int eventFd) {
    eventfd_t value = 0;
    eventfd_read(eventFd, &value);
}

} // namespace

bool CSerialPort::IsGoneError(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE;
}

void CSerialPort::RxThread() {
    CParmrkDecoder decoder;
    const bool marked = m_LineParity != PARITY_NONE;
    uint8_t raw[256];
    uint8_t bytes[sizeof raw + 1];
    while (m_RxStop.load() == 0) {
        pollfd fds[2] = {{m_RxAbortFd, POLLIN, 0}, {m_Fd, POLLIN, 0}};
        const nfds_t count = m_HungUp.load() ? 1 : 2;
        if (poll(fds, count, -1) < 0) {
            if (errno != EINTR)
                MarkHungUp();
            if (count == 1 && errno != EINTR)
                break; // not even the abort can be waited for; leaving is the only way not to spin
            continue;
        }
        if (fds[0].revents & POLLIN) {
            Drain(m_RxAbortFd);
            m_Channel.Log("1");
            continue;
        }
        if (count == 1)
            continue;
        const short events = fds[1].revents;
        if (events & POLLIN) {
            const ssize_t got = read(m_Fd, raw, sizeof raw);
            if (got > 0) {
                size_t n = static_cast<size_t>(got);
                const uint8_t* out = raw;
                if (marked) {
                    n = decoder.Feed(raw, n, bytes);
                    out = bytes;
                }
                for (size_t i = 0; i < n; ++i)
                    m_RxRing.Put(out[i]);
                if (n > 0)
                    NotifyRx();
                continue;
            }
            // Nothing there after all (a purge took it): wait again, unless the device has gone.
            if (got < 0 && (errno == EAGAIN || errno == EINTR) && !(events & HANGUP_EVENTS))
                continue;
            MarkHungUp();
            continue;
        }
        if (events & HANGUP_EVENTS)
            MarkHungUp();
    }
    m_RxStop.store(0);
}

void CSerialPort::ApplyBaud() {
    termios tio{};
    if (tcgetattr(m_Fd, &tio) != 0)
        return;
    const speed_t speed = SpeedOfRate(m_BaudRate.load());
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tcsetattr(m_Fd, TCSANOW, &tio);
}

void CSerialPort::WriteOut(uint8_t* chunk, size_t& len, size_t& off) {
    for (;;) {
        if (m_HungUp.load()) {
            // Nothing can be written any more; what callers queue is dropped.
            len = off = 0;
            m_TxChunkLeft.store(0);
            m_TxRing.Clear();
            return;
        }
        if (off == len) {
            len = m_TxRing.GetMany(chunk, TX_CHUNK);
            off = 0;
            m_TxChunkLeft.store(static_cast<int>(len));
            if (len == 0)
                return;
        }
        const ssize_t written = write(m_Fd, chunk + off, len - off);
        if (written > 0) {
            off += static_cast<size_t>(written);
            m_TxChunkLeft.store(static_cast<int>(len - off));
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN) {
            pollfd fds[2] = {{m_Fd, POLLOUT, 0}, {m_TxAbortFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno != EINTR)
                    MarkHungUp();
                continue;
            }
            if (fds[1].revents & POLLIN) {
                Drain(m_TxAbortFd);
                if (m_TxDiscard.load()) {
                    len = off = 0;
                    m_TxChunkLeft.store(0);
                    m_TxRing.Clear();
                    return;
                }
            }
            if (fds[0].revents & HANGUP_EVENTS)
                MarkHungUp();
            continue;
        }
        if (written < 0 && IsGoneError(errno)) {
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
    uint8_t chunk[TX_CHUNK];
    size_t len = 0;
    size_t off = 0;
    while (m_TxStop.load() == 0) {
        m_TxKick.WaitFor(TX_PASS_MS);
        // Every question asked so far is answered by what this pass finds from here on.
        const uint64_t request = m_TxRequest.load();
        if (m_BaudPending.exchange(0) != 0)
            ApplyBaud();
        PollErrors();
        const int idle = m_TxRing.IsEmpty() && off == len && m_OutQueue.load() == 0 ? 1 : 0;
        AnswerTx(request, idle);
        WriteOut(chunk, len, off);
    }
    m_TxStop.store(0);
    m_TxRunning.store(0);
    m_TxEnded.Set();
}

int CSerialPort::PollErrors() {
    unsigned flags = 0;
    serial_icounter_struct counts{};
    // Pseudo-terminals and some adapters have no counters: no line errors then.
    if (ioctl(m_Fd, TIOCGICOUNT, &counts) == 0) {
        if (m_HaveCounts) {
            if (counts.brk != m_LastCounts.brk)
                flags |= CE_BREAK;
            if (counts.frame != m_LastCounts.frame)
                flags |= CE_FRAME;
            if (counts.overrun != m_LastCounts.overrun)
                flags |= CE_OVERRUN;
            if (counts.buf_overrun != m_LastCounts.buf_overrun)
                flags |= CE_RXOVER;
            if (counts.parity != m_LastCounts.parity)
                flags |= CE_RXPARITY;
        }
        m_LastCounts = counts;
        m_HaveCounts = true;
    }
    if (m_IoError.exchange(0) != 0)
        flags |= CE_IOE;

    int in = 0;
    int out = 0;
    if (ioctl(m_Fd, FIONREAD, &in) != 0)
        in = 0;
    if (ioctl(m_Fd, TIOCOUTQ, &out) != 0)
        out = 0;

    return PublishErrors(flags, in, out);
}
