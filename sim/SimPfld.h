#pragma once
// The resident loader: answers its version query, takes frames into RAM and starts what was loaded when it
// is a first-stage loader image.

#include "sim/SimFlash.h"
#include "sim/SimFrame.h"
#include "sim/SimHost.h"
#include "sim/SimNmea.h"
#include "sim/SimOptions.h"

class CSimPfld {
public:
    enum class Action { None, StartSfld };

    CSimPfld(const SimOptions& opt, ISimHost& host, const CSimFlash& flash);
    // announce: send LOAD_CODE at once (entered from the firmware's loader-mode request).
    void Enter(SimTime now, bool announce);
    Action OnByte(uint8_t b, bool garbled, SimTime now);
    Action OnTick(SimTime now);
    SimTime Deadline() const;

    std::string Version() const;
    // Valid after StartSfld: where it runs and its "$VER," line.
    uint32_t RunAddress() const { return m_RunAddress; }
    const std::string& SfldVersionLine() const { return m_SfldVersion; }
    const CSimRam& Ram() const { return m_Ram; }

private:
    Action OnFrameEnd(FrameStatus status, uint8_t last);
    void OnSentence(const std::string& s);
    void FrameError(uint8_t code, const char* what);

    const SimOptions& m_Opt;
    ISimHost& m_Host;
    const CSimFlash& m_Flash;
    CSimRam m_Ram;
    CFrameReader m_Frame;
    CSentenceCollector m_Sentence;
    bool m_LoadMode = false;
    bool m_FrameOpen = false;
    bool m_LoaderPending = false;
    bool m_LinkOn = false; // the host has begun the loader link: queries no longer belong here
    bool m_RunCollecting = false;
    std::string m_RunText;
    bool m_RunSet = false;
    uint32_t m_RunAddress = 0;
    std::string m_SfldVersion;
    uint32_t m_Frames = 0;
    SimTime m_FrameDeadline = SIM_NEVER;
};

// The first "$VER," that lies within the first 4096 bytes, with its text up to CR, LF or zero (at most 255
// characters); empty when there is none.
std::string FindLoaderVersion(const std::vector<uint8_t>& bytes);
