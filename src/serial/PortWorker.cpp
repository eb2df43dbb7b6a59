#include "PortWorker.h"

#include "serial/PortTable.h"

#include <string>

namespace {
// Slot number that no table has: a bad request fails to open instead of landing on another port.
constexpr uint8_t NO_SLOT = PORT_SLOTS;
} // namespace

CPortWorker::CPortWorker(CChannel& channel, LockedInt& identified)
    : m_SerialPort(channel), m_Port(&m_SerialPort), m_Channel(channel), m_Identified(identified) {}

CPortWorker::~CPortWorker() {
    Join();
    m_SerialPort.Close();
}

void CPortWorker::RequestPort(int index) {
    m_PortRequest.Set(static_cast<int16_t>(index));
    m_WakeEvent.Pulse();
}

bool CPortWorker::Stopping() {
    return m_Quit.load() || m_Channel.StopRequested();
}

void CPortWorker::SuperviseLoop() {
    m_SerialPort.Close();
    while (!Stopping()) {
        if (m_PortRequest.Changed()) {
            m_SerialPort.Close();
            m_Identified.Set(0);
        }
        // Pseudo-terminals and some adapters send no hot-plug event: look on every pass.
        m_SerialPort.CheckPresence();
        if (m_SerialPort.IsOpen() == 0)
            TryOpen();
        m_WakeEvent.WaitFor(m_PassWaitMs);
    }
    m_SerialPort.Close();
}

bool CPortWorker::TryOpen() {
    m_SerialPort.m_SavedBaud.store(m_SerialPort.GetBaudIndex());
    if (m_SerialPort.IsOpen() != 0)
        return true;
    const int index = m_PortRequest.Get();
    m_SerialPort.SetPortIndex(index >= 0 && index < PORT_SLOTS ? static_cast<uint8_t>(index) : NO_SLOT);
    m_SerialPort.SetBaudSetting(9);
    m_SerialPort.SetParity(2);
    m_SerialPort.SetStopBits(0);
    m_WakeEvent.WaitFor(m_RetryWaitMs);
    if (Stopping())
        return false;
    const std::string name = index > 0 && index < PORT_SLOTS ? PortName(index) : std::string();
    if (m_ForgetDevice.exchange(false) || name != m_DeviceName || !m_KeepDevice.load()) {
        m_DeviceName.clear();
        m_Device = PortIdentity{};
        m_Refused = PortIdentity{};
    }
    m_SerialPort.Open(m_Device.known ? &m_Device : nullptr);
    if (m_SerialPort.IsOpen() == 0) {
        std::string dropped;
        m_SerialPort.TakeError(dropped);
        if (m_SerialPort.LastOpenFault() == CSerialPort::OpenFault::OTHER_DEVICE) {
            PortIdentity found;
            std::string reason;
            LookAtPort(name, found, reason);
            if (found != m_Refused) {
                m_Refused = found;
                m_Channel.Log(m_SerialPort.OpenFaultText());
            }
        }
        // A request that came during the wait is read on the next attempt; its mark must not close again.
        m_PortRequest.Get();
        return false;
    }
    if (!m_Device.known && !name.empty()) {
        m_DeviceName = name;
        m_Device = m_SerialPort.Identity();
    }
    m_Refused = PortIdentity{};
    m_PortOpened.Set(1);
    return true;
}

void CPortWorker::Start() {
    if (m_Thread.joinable())
        return;
    m_Quit.store(false);
    m_Thread = std::thread(&CPortWorker::SuperviseLoop, this);
}

void CPortWorker::Join() {
    m_Quit.store(true);
    m_WakeEvent.Pulse();
    if (m_Thread.joinable())
        m_Thread.join();
}
