#include "sim/SimNmea.h"

#include <cstdio>

uint8_t NmeaChecksum(const std::string& body) {
    uint8_t sum = 0;
    for (char c : body)
        sum ^= static_cast<uint8_t>(c);
    return sum;
}

std::string NmeaSentence(const std::string& body) {
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", NmeaChecksum(body));
    return "$" + body + tail;
}

void CSentenceCollector::Reset() {
    m_Active = false;
    m_Text.clear();
}

bool CSentenceCollector::Feed(uint8_t b) {
    if (b == '$') {
        // A '$' always starts afresh: a broken sentence must not swallow the next one.
        m_Active = true;
        m_Text.assign(1, '$');
        return false;
    }
    if (!m_Active)
        return false;
    m_Text.push_back(static_cast<char>(b));
    if (m_Text.size() > 129) {
        Reset();
        return false;
    }
    if (b == '\n' && m_Text.size() >= 3 && m_Text[m_Text.size() - 2] == '\r') {
        m_Active = false;
        return true;
    }
    return false;
}
