#pragma once
// Finds out what answers on the open port: a receiver running its firmware (model, version, options, serial
// from the RID/RIO queries) or one waiting in its programming loader (type "PFLD"). Runs on its own worker
// thread; the dialog asks with RequestCheck and reads the result once m_CheckRunning has gone back to 0.

#include "core/Channel.h"
#include "core/LockedValue.h"
#include "core/PulseEvent.h"
#include "serial/CommPort.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// One consistent copy of the four receiver texts.
struct ReceiverTexts {
    std::string model;
    std::string version;
    std::string options;
    std::string serial;
};

class CReceiverCheck {
public:
    // Each receiver text holds at most 127 characters and its terminator.
    static constexpr size_t TEXT_SIZE = 128;
    // A captured sentence holds at most 128 bytes; one more slot for the terminator.
    static constexpr size_t SENTENCE_BYTES = 128;
    using Sentence = char[SENTENCE_BYTES + 1];

    // Limits of one check. Set them before the worker starts; tests shorten them.
    struct Timing {
        uint32_t checkLimitMs = 3000;     // a whole check
        uint32_t sentenceLimitMs = 1000;  // one ReadSentence
        uint32_t closedPortSleepMs = 500; // pause per look while the port is closed
        uint32_t idleWaitMs = 100;        // worker's wait on its wake event
        uint32_t readPauseMs = 10;        // pause when nothing is waiting in the receive ring
    };

    explicit CReceiverCheck(CChannel& channel);
    CReceiverCheck(const CReceiverCheck&) = delete;
    CReceiverCheck& operator=(const CReceiverCheck&) = delete;

    // The port pointer of the port worker; null counts as a closed port.
    void SetPort(CCommPort* port) { m_Port.store(port); }
    CCommPort* Port() const { return m_Port.load(); }

    // Dialog thread: marks a check requested and wakes the worker. Refused while the upload job holds the
    // line.
    void RequestCheck();
    // Upload job: from now on no check starts, and a running one stops at its next look. Returns once no
    // check runs any more, or false after limitMs.
    bool HoldLine(uint32_t limitMs);
    void ReleaseLine();
    // Worker thread body; returns once a stop has been requested.
    void CheckLoop();

    // Captures the next "$...\r\n" sentence (without the '$') within the sentence limit.
    bool ReadSentence(Sentence& text);
    // NMEA checksum of a captured sentence ending in "*XX\r\n"; logs "crc not equal" on a mismatch.
    bool SentenceChecksumOk(const char* text);
    // "0102" becomes "1.2"; a text that does not start with a number stays as it is.
    static void ConvertVersion(char (&version)[TEXT_SIZE]);

    // Guarded copies of the receiver texts, safe from any thread.
    ReceiverTexts Texts();
    std::string Model();
    std::string Version();
    std::string Options();
    std::string Serial();

    CPulseEvent m_Wake;
    LockedInt m_CheckRunning{0};
    LockedInt m_Identified{0};
    Timing m_Timing;

private:
    void RunCheck();
    // Options loop after a non-loader identification; returns to the identification loop in every case.
    // True once the receiver is identified.
    bool OptionsLoop(uint32_t start, Sentence& sentence);
    bool SplitOptions(const char* payload);
    void ClearTexts();
    // Copies the worker's texts into the guarded ones that readers see.
    void Publish();
    bool CheckExpired(uint32_t start) const;
    // A check gives way to the upload job at every look.
    bool Yielding() const { return m_LineHeld.load(); }

    CChannel& m_Channel;
    std::atomic<CCommPort*> m_Port{nullptr};

    // Worker-only working copies of m_Model, m_Version, m_Options and m_Serial.
    char m_Model[TEXT_SIZE] = {};
    char m_Version[TEXT_SIZE] = {};
    char m_Options[TEXT_SIZE] = {};
    char m_Serial[TEXT_SIZE] = {};

    // Who uses the line: m_Checking while a check runs, m_LineHeld while the upload job owns it.
    std::mutex m_LineLock;
    std::condition_variable m_LineFree;
    bool m_Checking = false;
    std::atomic<bool> m_LineHeld{false};

    std::mutex m_TextLock;
    char m_Shown[4][TEXT_SIZE] = {};
};
