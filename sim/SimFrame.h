#pragma once
// Receiving one loader frame byte by byte: '[', length in 16-bit words (big-endian), payload, XOR-16
// checksum of the payload words (big-endian), ']'.

#include <cstddef>
#include <cstdint>

enum class FrameStatus { Idle, Busy, Done, BadLength, BadCsum, NoEnd };

class CFrameReader {
public:
    // Address and 2048 data bytes.
    static const size_t MAX_PAYLOAD = 4 + 2048;

    void Reset();
    // Idle: the byte was not '[' and is left to the caller. Busy: taken, more to come. Anything else: the
    // frame has ended; the caller acts and then calls Reset.
    FrameStatus Feed(uint8_t b);
    bool Busy() const { return m_Step != Step::Open; }

    const uint8_t* Payload() const { return m_Payload; }
    size_t PayloadLength() const { return m_Length; }

private:
    enum class Step { Open, LengthHigh, LengthLow, Payload, CsumHigh, CsumLow, End };
    Step m_Step = Step::Open;
    size_t m_Length = 0;
    size_t m_Got = 0;
    uint16_t m_Sent = 0;
    uint8_t m_Payload[MAX_PAYLOAD] = {};
};

uint16_t FrameChecksum(const uint8_t* payload, size_t length);
