#pragma once
// The receiver running its firmware: identification replies, the upload announcement, the loader-mode
// sentences and, on request, unsolicited sentences and noise.

#include "sim/SimFlash.h"
#include "sim/SimHost.h"
#include "sim/SimNmea.h"
#include "sim/SimOptions.h"

#include <random>

class CSimFirmware {
public:
    enum class Action { None, EnterLoader };

    CSimFirmware(const SimOptions& opt, ISimHost& host, const CSimFlash& flash);
    // afterUpload: restarted after a completed upload (the --reboot-* texts apply).
    void Enter(SimTime now, bool afterUpload);
    Action OnByte(uint8_t b, bool garbled, SimTime now);
    void OnTick(SimTime now);
    SimTime Deadline() const;
    // The version the firmware reports: from flash when an image with a readable version is there.
    std::string Version() const;
    std::string Serial() const;
    std::string Options() const;
    std::string Model() const;
    std::string Type() const;
    // Another receiver (--swap-to) takes the first one's place from now on; once only.
    void Swap(const std::string& when);

private:
    void OnSentence(const std::string& s);
    void SendSentence(std::string text);
    uint8_t NoiseByte();

    const SimOptions& m_Opt;
    ISimHost& m_Host;
    const CSimFlash& m_Flash;
    CSentenceCollector m_Sentence;
    bool m_LoaderPending = false;
    bool m_GoAheadDue = false;  // the byte right after a loader-mode sentence
    bool m_LoaderAsked = false; // a loader-mode sentence came since the firmware started
    bool m_Mute = false;
    bool m_AfterUpload = false; // restarted after a completed upload
    bool m_Swapped = false;     // the --swap-to receiver answers
    SimTime m_NextNmea = SIM_NEVER;
    SimTime m_NextNoise = SIM_NEVER;
    uint32_t m_NmeaCount = 0;
    uint32_t m_RidQueries = 0;
    bool m_UploadAnnounced = false;
    std::minstd_rand m_Random{12345};
};
