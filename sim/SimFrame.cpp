#include "sim/SimFrame.h"

uint16_t FrameChecksum(const uint8_t* payload, size_t length) {
    uint16_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2)
        sum ^= static_cast<uint16_t>((payload[i] << 8) | payload[i + 1]);
    return sum;
}

void CFrameReader::Reset() {
    m_Step = Step::Open;
    m_Length = 0;
    m_Got = 0;
    m_Sent = 0;
}

FrameStatus CFrameReader::Feed(uint8_t b) {
    switch (m_Step) {
    case Step::Open:
        if (b != '[')
            return FrameStatus::Idle;
        m_Step = Step::LengthHigh;
        return FrameStatus::Busy;
    case Step::LengthHigh:
        m_Length = static_cast<size_t>(b) << 8;
        m_Step = Step::LengthLow;
        return FrameStatus::Busy;
    case Step::LengthLow:
        m_Length = (m_Length | b) * 2;
        m_Got = 0;
        // One word cannot even hold an address.
        if (m_Length > MAX_PAYLOAD || m_Length == 2)
            return FrameStatus::BadLength;
        m_Step = m_Length ? Step::Payload : Step::CsumHigh;
        return FrameStatus::Busy;
    case Step::Payload:
        if (m_Got < MAX_PAYLOAD)
            m_Payload[m_Got] = b;
        if (++m_Got >= m_Length)
            m_Step = Step::CsumHigh;
        return FrameStatus::Busy;
    case Step::CsumHigh:
        m_Sent = static_cast<uint16_t>(b << 8);
        m_Step = Step::CsumLow;
        return FrameStatus::Busy;
    case Step::CsumLow:
        m_Sent = static_cast<uint16_t>(m_Sent | b);
        m_Step = Step::End;
        return FrameStatus::Busy;
    case Step::End:
        if (b != ']')
            return FrameStatus::NoEnd;
        if (FrameChecksum(m_Payload, m_Length) != m_Sent)
            return FrameStatus::BadCsum;
        return FrameStatus::Done;
    }
    return FrameStatus::Idle;
}
