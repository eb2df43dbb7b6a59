#include "SerialPort.h"

#include "core/Clock.h"
#include "serial/PortTable.h"
#include "serial/SerialSettings.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

void CloseFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

void Signal(int eventFd) {
    if (eventFd >= 0)
        eventfd_write(eventFd, 1);
}

} // namespace

int CSerialPort::TxQueued() {
    int unsent = 0;
    {
        std::lock_guard<std::mutex> lock(m_OpenLock);
        if (m_Fd >= 0 && ioctl(m_Fd, TIOCOUTQ, &unsent) != 0)
            unsent = 0;
    }
    return static_cast<int>(m_TxRing.Count()) + m_TxChunkLeft.load() + unsent;
}

void CSerialPort::Purge() {
    m_RxRing.Clear();
    m_TxRing.Clear();
    std::lock_guard<std::mutex> lock(m_OpenLock);
    if (m_Fd < 0)
        return;
    // A pseudo-terminal reports no unsent bytes while its last write is still in flight, and an output flush
    // then would drop that write: flush output only when the driver holds bytes it has not sent.
    int unsent = 0;
    if (ioctl(m_Fd, TIOCOUTQ, &unsent) == 0 && unsent > 0)
        tcflush(m_Fd, TCOFLUSH);
    tcflush(m_Fd, TCIFLUSH);
}

void CSerialPort::SignalTxAbort() {
    Signal(m_TxAbortFd);
}

void CSerialPort::SignalRxAbort() {
    // The eventfd keeps the signal until the thread reads it.
    Signal(m_RxAbortFd);
}

bool CSerialPort::OpenDevice(const std::string& name, const PortIdentity* required) {
    // The path is looked at through a descriptor that does not open the device, and the device is then
    // opened through that descriptor: what was looked at is what gets opened, even if the name is moved.
    const int pathFd = open(name.c_str(), O_PATH | O_CLOEXEC);
    if (pathFd < 0)
        return FailOpen(name, OpenFault::FAILED, name + ": " + std::strerror(errno) + ".");
    struct stat st {};
    PortIdentity identity;
    std::string refusal;
    if (fstat(pathFd, &st) != 0 || !LookAtPort(name, st, identity, refusal)) {
        close(pathFd);
        return FailOpen(name, OpenFault::NOT_SERIAL,
                        refusal.empty() ? name + " cannot be looked at." : refusal);
    }
    if (required != nullptr && required->known && identity != *required) {
        close(pathFd);
        return FailOpen(name, OpenFault::OTHER_DEVICE,
                        name + " now leads to another device (" + PortIdentityText(identity) + ", was " +
                            PortIdentityText(*required) + "): it is not opened.");
    }
    const std::string self = "/proc/self/fd/" + std::to_string(pathFd);
    int fd = open(self.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int openError = errno;
    close(pathFd);
    if (fd < 0) {
        const bool busy = openError == EBUSY;
        const bool denied = openError == EACCES || openError == EPERM;
        return FailOpen(name,
                        busy     ? OpenFault::HELD
                        : denied ? OpenFault::DENIED
                                 : OpenFault::FAILED,
                        busy ? name + " is held by another program."
                             : name + " cannot be opened: " + std::strerror(openError) + ".");
    }
    // TIOCEXCL does not stop root; the advisory lock does, and it is what other serial programs look for.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int lockError = errno;
        CloseFd(fd);
        return lockError == EWOULDBLOCK
                   ? FailOpen(name, OpenFault::HELD, name + " is held by another program.")
                   : FailOpen(name, OpenFault::FAILED,
                              name + " cannot be locked: " + std::strerror(lockError) + ".");
    }
    // A program that holds the port in exclusive mode without the lock (root got in regardless).
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        CloseFd(fd);
        return FailOpen(name, OpenFault::HELD, name + " is held by another program.");
    }
    termios tio{};
    if (!isatty(fd) || tcgetattr(fd, &tio) != 0) {
        CloseFd(fd);
        return FailOpen(name, false);
    }

    const uint8_t parity = m_Parity.load();
    MakeLineSettings(tio, m_BaudRate.load(), parity, m_StopBits.load());
    tcsetattr(fd, TCSANOW, &tio);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);
    // USB adapters otherwise hold single reply bytes back for up to 16 ms; a driver that refuses is fine.
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) == 0) {
        info.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &info);
    }
    tcflush(fd, TCIOFLUSH);

    m_TxAbortFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_RxAbortFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_TxAbortFd < 0 || m_RxAbortFd < 0) {
        CloseFd(m_TxAbortFd);
        CloseFd(m_RxAbortFd);
        CloseFd(fd);
        return FailOpen(name, false);
    }
    // Exclusive mode last: a pseudo-terminal keeps the mark after close, so no failure may follow it.
    ioctl(fd, TIOCEXCL);
    m_HaveCounts = ioctl(fd, TIOCGICOUNT, &m_LastCounts) == 0;
    m_Fd = fd;
    m_LineParity = parity;
    return StartThreads(identity);
}

void CSerialPort::CloseDevice() {
    CloseFd(m_TxAbortFd);
    CloseFd(m_RxAbortFd);
    m_PortOpen.Set(0);
    if (m_Fd >= 0) {
        // A driver may hold a close until its output has drained (30 s on some UARTs); give it a bounded
        // moment and drop the rest.
        int unsent = 0;
        const uint32_t start = TickMs();
        while (!m_HungUp.load() && ioctl(m_Fd, TIOCOUTQ, &unsent) == 0 && unsent > 0 &&
               ElapsedMs(start) < 200)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (unsent > 0)
            tcflush(m_Fd, TCOFLUSH);
        // A pseudo-terminal keeps its exclusive mark while its master lives: without this the next open
        // (ours included) would find the port held.
        ioctl(m_Fd, TIOCNXCL);
    }
    CloseFd(m_Fd);
}

bool CSerialPort::DeviceGone() {
    if (m_HungUp.load())
        return true;
    pollfd p{m_Fd, 0, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return true;
    termios tio{};
    return tcgetattr(m_Fd, &tio) != 0 && IsGoneError(errno);
}
