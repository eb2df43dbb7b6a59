#pragma once
// The process clock in milliseconds that every wait loop measures its limits on.

#include <chrono>
#include <cstdint>

inline uint32_t TickMs() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Milliseconds since start, correct across the 32-bit wrap.
inline uint32_t ElapsedMs(uint32_t start) {
    return TickMs() - start;
}
