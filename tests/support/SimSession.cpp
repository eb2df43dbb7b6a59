#include "SimSession.h"

#include "serial/PortTable.h"

#include <ctime>
#include <pthread.h>

CSimSession::CSimSession(const SimOptions& options)
    : m_Sim(std::make_unique<CSimReceiver>(options)), m_Link(options.linkPath) {}

CSimSession::~CSimSession() {
    Stop();
}

bool CSimSession::Start(std::string& error, bool openPort) {
    if (!m_Sim->Open(error))
        return false;
    m_Thread = std::thread([this] { m_Sim->Run(); });
    m_Running = true;
    if (!openPort)
        return true;

    const std::string path = m_Sim->SlavePath();
    int slot = FindPortName(path);
    if (slot < 0) {
        if (!AddPortName(path.c_str())) {
            error = "port table full";
            return false;
        }
        slot = FindPortName(path);
    }
    m_Port.SetPortIndex(static_cast<uint8_t>(slot));
    m_Port.SetBaudSetting(9);
    if (!m_Port.Open() || m_Port.IsOpen() == 0) {
        std::string text;
        m_Port.TakeError(text);
        error = "cannot open " + path + ": " + text;
        return false;
    }
    return true;
}

void CSimSession::Stop() {
    m_Port.Close();
    if (m_Running) {
        m_Sim->Stop();
        m_Thread.join();
        m_Running = false;
    }
}

std::string CSimSession::Path() const {
    return m_Link.empty() ? m_Sim->SlavePath() : m_Link;
}

double CSimSession::SimCpuSeconds() {
    if (!m_Running)
        return 0.0;
    clockid_t clock;
    timespec ts{};
    if (pthread_getcpuclockid(m_Thread.native_handle(), &clock) != 0 || clock_gettime(clock, &ts) != 0)
        return 0.0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
