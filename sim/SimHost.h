#pragma once
// What a stage of the simulated receiver can do to its line, and the clock it runs on.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

using SimClock = std::chrono::steady_clock;
using SimTime = SimClock::time_point;
const SimTime SIM_NEVER = SimTime::max();

inline SimTime SimAfterMs(SimTime t, uint32_t ms) {
    return t + std::chrono::milliseconds(ms);
}

class ISimHost {
public:
    virtual ~ISimHost() = default;
    // Queued at the receiver's current line rate, in order.
    virtual void Send(const uint8_t* data, size_t count) = 0;
    void Send(uint8_t b) { Send(&b, 1); }
    void Send(const std::string& text) { Send(reinterpret_cast<const uint8_t*>(text.data()), text.size()); }
    // The receiver's own line rate; 0 follows the host.
    virtual void SetRate(uint32_t rate) = 0;
    virtual uint32_t Rate() const = 0;
    // Nothing queued or on the line towards the host.
    virtual bool OutputIdle() const = 0;
    // Drops every byte from the host that has reached the receiver's buffers but was not taken yet.
    virtual void DiscardInput() = 0;
    virtual void Event(const std::string& text) = 0;
    // A host byte (or, with byte -1, a host failure such as a frame left unfinished) that the receiver's
    // protocol does not expect in its present state. Strict mode counts it as a violation.
    virtual void Unexpected(const std::string& state, int byte) = 0;
    virtual void HangUp() = 0;
};
