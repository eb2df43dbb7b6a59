#include "sim/SimTarget.h"

#include <algorithm>

const char* SimStageName(SimStage stage) {
    switch (stage) {
    case SimStage::Firmware:
        return "firmware";
    case SimStage::Pfld:
        return "PFLD";
    case SimStage::Sfld:
        return "SFLD";
    case SimStage::Rebooting:
        return "rebooting";
    }
    return "?";
}

CSimTarget::CSimTarget(const SimOptions& opt, ISimHost& host, CSimFlash& flash)
    : m_Opt(opt), m_Host(host), m_Firmware(opt, host, flash), m_Pfld(opt, host, flash),
      m_Sfld(opt, host, flash),
      m_Stage(opt.start == SimStartStage::Pfld ? SimStage::Pfld : SimStage::Firmware) {}

void CSimTarget::Start(SimTime now) {
    m_LastInput = now;
    if (m_Opt.fault == SimFault::Silent)
        m_Host.Event("silent (fault): nothing will be answered");
    Enter(m_Opt.start == SimStartStage::Pfld ? SimStage::Pfld : SimStage::Firmware, now);
}

void CSimTarget::Enter(SimStage stage, SimTime now) {
    m_Stage = stage;
    switch (stage) {
    case SimStage::Firmware:
        m_Firmware.Enter(now, m_Completed.load() > 0);
        break;
    case SimStage::Pfld:
        m_Pfld.Enter(now, false);
        break;
    case SimStage::Sfld:
        m_Sfld.Enter(now, m_Pfld.SfldVersionLine());
        break;
    case SimStage::Rebooting:
        break;
    }
}

void CSimTarget::Reboot(SimTime now, const char* why) {
    m_Host.Event(std::string("restart: ") + why);
    m_Stage = SimStage::Rebooting;
    m_RebootDone = SimAfterMs(now, m_Opt.rebootMs);
}

bool CSimTarget::Ready() const {
    return m_Stage != SimStage::Sfld || m_Sfld.Ready();
}

void CSimTarget::OnByte(uint8_t b, bool garbled, SimTime now) {
    m_LastInput = now;
    if (m_Opt.fault == SimFault::Silent)
        return;
    switch (m_Stage.load()) {
    case SimStage::Firmware:
        if (m_Firmware.OnByte(b, garbled, now) == CSimFirmware::Action::EnterLoader) {
            if (m_Opt.swapAt == SimSwapAt::Loader)
                m_Firmware.Swap("at the loader-mode request");
            m_Stage = SimStage::Pfld;
            m_Pfld.Enter(now, true);
        }
        break;
    case SimStage::Pfld:
        if (m_Pfld.OnByte(b, garbled, now) == CSimPfld::Action::StartSfld)
            Enter(SimStage::Sfld, now);
        break;
    case SimStage::Sfld:
        m_Sfld.OnByte(b, garbled, now);
        if (m_Opt.swapAt == SimSwapAt::Frame && m_Sfld.FramesTaken() >= m_Opt.swapFrame)
            m_Firmware.Swap("at programming frame " + std::to_string(m_Opt.swapFrame));
        break;
    case SimStage::Rebooting:
        break;
    }
}

void CSimTarget::OnTick(SimTime now) {
    if (m_Opt.fault == SimFault::Silent)
        return;
    // A busy spell that ends on this tick ends now, not at the tick before.
    const bool wasBusy = m_Stage.load() == SimStage::Sfld && !m_Sfld.Ready();
    switch (m_Stage.load()) {
    case SimStage::Firmware:
        m_Firmware.OnTick(now);
        break;
    case SimStage::Pfld:
        m_Pfld.OnTick(now);
        break;
    case SimStage::Sfld:
        if (m_Sfld.OnTick(now) == CSimSfld::Action::Reboot) {
            ++m_Completed;
            Reboot(now, "after upload");
        }
        break;
    case SimStage::Rebooting:
        if (now >= m_RebootDone) {
            m_RebootDone = SIM_NEVER;
            if (m_Opt.swapAt == SimSwapAt::Restart && m_Completed.load() > 0)
                m_Firmware.Swap("at the restart");
            Enter(SimStage::Firmware, now);
        }
        return;
    }
    SimStage st = m_Stage.load();
    // Silence is counted from the last byte heard or the end of the last busy spell.
    if (st == SimStage::Sfld && (wasBusy || !m_Sfld.Ready()))
        m_LastInput = now;
    if (m_Opt.loaderIdleRebootMs && (st == SimStage::Pfld || st == SimStage::Sfld) &&
        now >= SimAfterMs(m_LastInput, m_Opt.loaderIdleRebootMs))
        Reboot(now, "loader idle");
}

SimTime CSimTarget::Deadline() const {
    if (m_Opt.fault == SimFault::Silent)
        return SIM_NEVER;
    SimTime t = SIM_NEVER;
    switch (m_Stage.load()) {
    case SimStage::Firmware:
        t = m_Firmware.Deadline();
        break;
    case SimStage::Pfld:
        t = m_Pfld.Deadline();
        break;
    case SimStage::Sfld:
        t = m_Sfld.Deadline();
        break;
    case SimStage::Rebooting:
        return m_RebootDone;
    }
    SimStage st = m_Stage.load();
    if (m_Opt.loaderIdleRebootMs && (st == SimStage::Pfld || (st == SimStage::Sfld && m_Sfld.Ready())))
        t = std::min(t, SimAfterMs(m_LastInput, m_Opt.loaderIdleRebootMs));
    return t;
}
