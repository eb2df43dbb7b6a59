#include "System.h"

CSystem::CSystem(const std::string& programDir)
    : m_Check(m_Channel), m_Job(m_Channel, m_Image, m_Check, programDir),
      m_PortWorker(m_Channel, m_Check.m_Identified) {
    // The port worker is built last, so the others learn its port and cell only now.
    m_Check.SetPort(m_PortWorker.m_Port);
    m_Job.SetPort(m_PortWorker.m_Port);
    m_Job.SetPortOpenedCell(&m_PortWorker.m_PortOpened);
}

CSystem::~CSystem() {
    Shutdown();
}

void CSystem::StartWorkers() {
    if (m_Started)
        return;
    m_Started = true;
    m_CheckThread = std::thread([this] { m_Check.CheckLoop(); });
    m_PortThread = std::thread([this] { m_PortWorker.SuperviseLoop(); });
    m_UploadThread = std::thread([this] { m_Job.UploadLoop(); });
}

void CSystem::Shutdown() {
    m_Channel.RequestStop();
    m_Check.m_Wake.Pulse();
    m_PortWorker.m_WakeEvent.Pulse();
    m_Job.m_Wake.Pulse();
    if (m_PortWorker.m_Port != nullptr)
        m_PortWorker.m_Port->WakeWaiters();
    for (std::thread* worker : {&m_CheckThread, &m_PortThread, &m_UploadThread})
        if (worker->joinable())
            worker->join();
}
