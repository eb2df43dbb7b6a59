#pragma once
// The simulated receiver on a pseudo-terminal. Open creates the terminal; Run serves the host on the
// calling thread until Stop, the end of a --once upload or a hang-up fault. The other members may be called
// from any thread while Run is going.

#include "sim/SimFlash.h"
#include "sim/SimLine.h"
#include "sim/SimOptions.h"
#include "sim/SimTarget.h"
#include "sim/SimTranscript.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

enum class SimEnd { Stopped, Once, HungUp, Error };

// A host byte that the receiver did not expect where it was.
struct SimViolation {
    std::string state;
    int byte = -1;         // -1: no single byte (a frame left unfinished)
    uint64_t position = 0; // host bytes taken so far, this one included
    double seconds = 0;    // since the receiver started
};
std::string ViolationText(const SimViolation& v);

class CSimReceiver : private ISimHost {
public:
    explicit CSimReceiver(const SimOptions& options);
    ~CSimReceiver() override;
    CSimReceiver(const CSimReceiver&) = delete;
    CSimReceiver& operator=(const CSimReceiver&) = delete;

    bool Open(std::string& error);
    const std::string& SlavePath() const { return m_SlavePath; }
    SimEnd Run();

    // Safe from any thread and from signal handlers.
    void Stop();
    void RequestFlashDump();

    std::vector<uint8_t> FlashCopy() const { return m_Flash.Snapshot(); }
    SimStats Stats() const;
    std::string StatsText() const;
    SimStage Stage() const { return m_Target.Stage(); }
    int UploadsCompleted() const { return m_Target.UploadsCompleted(); }
    bool HostOpen() const { return m_HostOpen.load(); }
    uint64_t FlashDumps() const { return m_Dumps.load(); }
    // The receiver's events so far (the last 1000), oldest first.
    std::vector<std::string> Events() const;
    // Unexpected host bytes; recorded in strict mode only (the first 1000 in full, all counted).
    std::vector<SimViolation> Violations() const;
    uint64_t ViolationCount() const { return m_ViolationCount.load(); }

private:
    // ISimHost
    void Send(const uint8_t* data, size_t count) override;
    void SetRate(uint32_t rate) override;
    uint32_t Rate() const override;
    bool OutputIdle() const override;
    void DiscardInput() override;
    void Event(const std::string& text) override;
    void Unexpected(const std::string& state, int byte) override;
    void HangUp() override;

    bool CheckHostOpen();
    void DumpFlash();
    void Finish();
    void CloseTerminal();

    SimOptions m_Opt;
    CSimTranscript m_Transcript;
    CSimLine m_Line;
    CSimFlash m_Flash;
    CSimTarget m_Target;

    int m_Master = -1;
    int m_Wake = -1;
    std::string m_SlavePath;
    bool m_LinkMade = false;
    SimTime m_Now{};
    SimTime m_Start{};
    bool m_HungUp = false;
    uint64_t m_Taken = 0; // host bytes handed to the target

    std::atomic<bool> m_StopFlag{false};
    std::atomic<bool> m_DumpFlag{false};
    std::atomic<bool> m_HostOpen{false};
    std::atomic<uint64_t> m_Dumps{0};

    mutable std::mutex m_EventMutex;
    std::vector<std::string> m_Events;
    std::vector<SimViolation> m_Violations;
    std::atomic<uint64_t> m_ViolationCount{0};
};
