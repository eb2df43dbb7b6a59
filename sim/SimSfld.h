#pragma once
// The first-stage loader: greeting and speed agreement, version, flash identification, boot-area grant,
// erase with sector reports, programming frame by frame, and the completion mark.

#include "sim/SimFlash.h"
#include "sim/SimFrame.h"
#include "sim/SimHost.h"
#include "sim/SimOptions.h"

class CSimSfld {
public:
    enum class Action { None, Reboot };

    CSimSfld(const SimOptions& opt, ISimHost& host, CSimFlash& flash);
    void Enter(SimTime now, const std::string& versionLine);
    // false while the loader is busy erasing or writing: bytes wait in the line until it is ready.
    bool Ready() const { return m_Busy == Busy::None; }
    Action OnByte(uint8_t b, bool garbled, SimTime now);
    Action OnTick(SimTime now);
    SimTime Deadline() const;

    bool Stalled() const { return m_Stalled; }
    // Programming frames accepted since the last erase (the closing empty frame included).
    uint32_t FramesTaken() const { return m_FramesTaken; }

private:
    enum class Greet { Hello1, Hello2, Baud, Done };
    enum class Mode { Command, EraseRange, Programming };
    enum class Busy { None, Erasing, Writing };

    Action OnGreeting(uint8_t b, SimTime now);
    void OnCommand(uint8_t b);
    Action OnFrameEnd(FrameStatus st, uint8_t last, SimTime now);
    void OnEraseRange(const uint8_t* p, size_t len, SimTime now);
    Action OnProgramFrame(const uint8_t* p, size_t len, SimTime now);
    void FrameError(uint8_t code, const char* what);
    void SendIdentification();
    // An answer the host waits for outside the erase (fault param-outside-erase puts a parameter first).
    void Reply(const uint8_t* data, size_t count);
    void Reply(uint8_t b) { Reply(&b, 1); }
    uint32_t EraseTimeMs() const;

    const SimOptions& m_Opt;
    ISimHost& m_Host;
    CSimFlash& m_Flash;
    std::string m_VersionLine;

    Greet m_Greet = Greet::Hello1;
    SimTime m_NextGreet = SIM_NEVER;
    int m_BaudStep = 0;     // 0 none, 1 '[' seen, 2 index seen
    int m_LateBaudSkip = 0; // bytes left of a late second answer to a repeated BAUD_CODE
    uint8_t m_BaudIndex = 0;
    bool m_LateBaudWindow = false; // right after the speed switch, before the first command

    Mode m_Mode = Mode::Command;
    Busy m_Busy = Busy::None;
    SimTime m_BusyUntil = SIM_NEVER;
    CFrameReader m_Frame;
    bool m_FrameOpen = false;
    SimTime m_FrameDeadline = SIM_NEVER;

    std::vector<uint32_t> m_Sectors;
    size_t m_SectorsDone = 0;

    std::vector<uint8_t> m_WriteData;
    uint32_t m_WriteAddress = 0;
    uint32_t m_FramesTaken = 0; // programming frames accepted since the erase
    bool m_FaultUsed = false;
    bool m_Stalled = false;

    SimTime m_FinishAt = SIM_NEVER;
};
