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

CSerialPort::CSerialPort(CChannel& channel) : m_Channel(channel) {
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

int CSerialPort::TxQueued() {
    int unsent = 0;
    {
        std::lock_guard<std::mutex> lock(m_OpenLock);
        if (m_Fd >= 0 && ioctl(m_Fd, TIOCOUTQ, &unsent) != 0)
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
    if (m_Fd < 0)
        return;
    // A pseudo-terminal reports no unsent bytes while its last write is still in flight, and an output flush
    // then would drop that write: flush output only when the driver holds bytes it has not sent.
    int unsent = 0;
    if (ioctl(m_Fd, TIOCOUTQ, &unsent) == 0 && unsent > 0)
        tcflush(m_Fd, TCOFLUSH);
    tcflush(m_Fd, TCIFLUSH);
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
        Signal(m_TxAbortFd);
    }
    m_TxThread.join();
}

void CSerialPort::StopRxThread() {
    // The eventfd keeps the signal until the thread reads it, so one signal always reaches it.
    m_RxStop.store(1);
    Signal(m_RxAbortFd);
    m_RxThread.join();
}

void CSerialPort::CloseLocked() {
    if (m_PortOpen.Get() == 0)
        return;
    m_Channel.Log("close threads");
    StopTxThread();
    StopRxThread();
    m_TxKick.Reset();
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
    WakeWaiters();
    m_Channel.Log("rx tx threads closed");
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

void CSerialPort::CheckPresence() {
    std::lock_guard<std::mutex> lock(m_OpenLock);
    if (m_PortOpen.Get() == 0)
        return;
    if (DeviceGone())
        CloseLocked();
}
