#pragma once
// The whole receiver: firmware, resident loader, first-stage loader and the restart between them.

#include "sim/SimFirmware.h"
#include "sim/SimPfld.h"
#include "sim/SimSfld.h"

#include <atomic>

enum class SimStage { Firmware, Pfld, Sfld, Rebooting };

const char* SimStageName(SimStage stage);

class CSimTarget {
public:
    CSimTarget(const SimOptions& opt, ISimHost& host, CSimFlash& flash);
    void Start(SimTime now);
    // false while the receiver cannot take bytes (busy loader); they wait on the line.
    bool Ready() const;
    void OnByte(uint8_t b, bool garbled, SimTime now);
    void OnTick(SimTime now);
    SimTime Deadline() const;

    SimStage Stage() const { return m_Stage.load(); }
    int UploadsCompleted() const { return m_Completed.load(); }

private:
    void Enter(SimStage stage, SimTime now);
    void Reboot(SimTime now, const char* why);

    const SimOptions& m_Opt;
    ISimHost& m_Host;
    CSimFirmware m_Firmware;
    CSimPfld m_Pfld;
    CSimSfld m_Sfld;
    std::atomic<SimStage> m_Stage{SimStage::Firmware};
    std::atomic<int> m_Completed{0};
    SimTime m_RebootDone = SIM_NEVER;
    SimTime m_LastInput{};
};
