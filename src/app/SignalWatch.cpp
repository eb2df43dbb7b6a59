#include "SignalWatch.h"

#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_SignalPipe[2] = {-1, -1};
volatile sig_atomic_t g_SignalCount = 0;

void OnSignal(int sig) {
    if (g_SignalCount != 0) {
        static const char text[] = "\nkavrel: second signal, ending at once\n";
        ssize_t ignored = write(STDERR_FILENO, text, sizeof text - 1);
        (void)ignored;
        _exit(128 + sig);
    }
    g_SignalCount = 1;
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t ignored = write(g_SignalPipe[1], &b, 1);
    (void)ignored;
}

void Catch(void (*handler)(int)) {
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT);
    sigaddset(&sa.sa_mask, SIGTERM);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

} // namespace

CSignalWatch::CSignalWatch(std::function<void(const std::string&)> onSignal)
    : m_OnSignal(std::move(onSignal)) {
    if (pipe2(g_SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_SignalCount = 0;
    m_Notifier = std::make_unique<QSocketNotifier>(g_SignalPipe[0], QSocketNotifier::Read);
    connect(m_Notifier.get(), &QSocketNotifier::activated, this, &CSignalWatch::Poll);
    Catch(OnSignal);
}

CSignalWatch::~CSignalWatch() {
    if (!m_Notifier)
        return;
    // A signal from now on ends the process the ordinary way.
    Catch(SIG_DFL);
    m_Notifier.reset();
    close(g_SignalPipe[0]);
    close(g_SignalPipe[1]);
    g_SignalPipe[0] = g_SignalPipe[1] = -1;
}

bool CSignalWatch::Arrived() {
    return g_SignalCount != 0;
}

void CSignalWatch::Poll() {
    unsigned char b = 0;
    if (g_SignalPipe[0] < 0 || read(g_SignalPipe[0], &b, 1) != 1)
        return;
    const char* name = b == SIGINT ? "SIGINT" : b == SIGTERM ? "SIGTERM" : "signal";
    if (m_OnSignal)
        m_OnSignal(std::string("interrupted by ") + name);
}
