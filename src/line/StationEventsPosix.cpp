#include "line/StationEvents.h"

#include "line/PortWatch.h"

#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

struct CStationEvents::State {
    int signalFd = -1;
    CTtyMonitor monitor;
};

CStationEvents::CStationEvents() : m_State(std::make_unique<State>()) {}

CStationEvents::~CStationEvents() {
    if (m_State->signalFd >= 0)
        close(m_State->signalFd);
}

bool CStationEvents::Start(bool devices) {
    // SIGINT and SIGTERM arrive as readable data on one descriptor of this thread; every slot thread
    // inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    m_State->signalFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    return devices ? m_State->monitor.Start() : true;
}

CStationEvents::Woken CStationEvents::Wait(int ms) {
    Woken woken;
    pollfd fds[2] = {{m_State->signalFd, POLLIN, 0}, {m_State->monitor.Fd(), POLLIN, 0}};
    poll(fds, 2, ms);
    if (fds[0].revents & POLLIN) {
        signalfd_siginfo info{};
        while (read(m_State->signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            ++woken.interrupts;
        woken.interrupted = woken.interrupts > 0;
    }
    woken.devicesChanged = m_State->monitor.Drain();
    return woken;
}
