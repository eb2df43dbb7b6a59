#pragma once
// Both directions of the serial line between the receiver and the host, on the master side of a
// pseudo-terminal. A byte takes 10 bit times at its sender's rate; the receiver's bytes reach the host only
// when their last bit would have, and a host byte counts as arrived only once a real line could have
// delivered it. A byte sent at a rate the other end is not using arrives as garbage.

#include "sim/SimHost.h"
#include "sim/SimTranscript.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

struct SimStats {
    uint64_t bytesFromHost = 0;
    uint64_t bytesToHost = 0;
    uint64_t garbledFromHost = 0;   // heard at the wrong rate
    uint64_t garbledToHost = 0;     // sent while the host used another rate
    uint64_t discardedFromHost = 0; // dropped by a loader after a refused frame
    uint64_t lostToHost = 0;        // sent while the host had the port closed or did not read
    double busyFromHostMs = 0;
    double busyToHostMs = 0;
    size_t reactions = 0;
    double reactionMedianMs = 0;
    double reactionP99Ms = 0;
    double reactionMaxMs = 0;
};

// Line rate in bit/s for a termios speed code; 0 for B0 and unknown codes.
uint32_t SimSpeedToRate(unsigned speed);

class CSimLine {
public:
    CSimLine(bool raw, CSimTranscript& transcript) : m_Raw(raw), m_Transcript(transcript) {}
    void SetFd(int fd) { m_Fd = fd; }

    // The rate the host has set on its side of the pseudo-terminal; 0 when unknown.
    uint32_t HostRate() const;
    void SetRate(uint32_t rate) { m_Rate = rate; }
    uint32_t Rate() const { return m_Rate; }

    // Reads what the host has written. false when the host side is closed.
    bool ReadAvailable(SimTime now);
    // The next host byte that has arrived by now.
    bool NextInput(SimTime now, uint8_t& b, bool& garbled);
    SimTime NextInputDue() const;
    // Drops every host byte taken so far and those the host writes before until.
    void DiscardInput(SimTime until);

    void Send(const uint8_t* data, size_t count, SimTime now);
    // Writes the bytes whose time has come; with the host side closed they are lost.
    void FlushDue(SimTime now, bool hostOpen);
    SimTime NextOutputDue() const;
    bool OutputIdle(SimTime now) const;
    // When the last byte queued so far will have reached the host.
    SimTime OutputEnd(SimTime now) const;

    SimStats Stats() const;

private:
    struct InByte {
        uint8_t b;
        uint32_t rate;
        SimTime arrive;
    };
    struct OutByte {
        uint8_t b;
        uint32_t rate;
        SimTime due;
    };
    static SimClock::duration CharTime(uint32_t rate);

    bool m_Raw;
    CSimTranscript& m_Transcript;
    int m_Fd = -1;
    uint32_t m_Rate = 0;
    std::deque<InByte> m_In;
    std::deque<OutByte> m_Out;
    SimTime m_InFree{};
    SimTime m_OutFree{};
    SimTime m_LastOutEnd{};
    SimTime m_DiscardUntil{};
    bool m_AwaitReaction = false;

    mutable std::mutex m_StatsMutex;
    SimStats m_Stats;
    std::vector<double> m_Reactions;
};
