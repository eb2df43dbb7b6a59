#pragma once
// Undoes the driver's parity marking (PARMRK): "\377 \0 c" is a byte received with a parity or framing error
// and comes out as 'e'; "\377 \377" is a real 0xFF. Sequences may be split across reads.

#include <cstddef>
#include <cstdint>

class CParmrkDecoder {
public:
    static constexpr uint8_t ERROR_CHAR = 0x65;

    void Reset() { m_State = 0; }
    // out needs room for n + 1 bytes: a 0xFF held back from the previous call may come out with this one.
    size_t Feed(const uint8_t* in, size_t n, uint8_t* out);

private:
    uint8_t m_State = 0;
};
