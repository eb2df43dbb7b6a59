#pragma once
// NMEA-style sentences: '$', fields, '*', two hex digits of the XOR of everything between, CR LF.

#include <cstdint>
#include <string>

uint8_t NmeaChecksum(const std::string& body);
// "$" body "*" checksum CR LF.
std::string NmeaSentence(const std::string& body);

// Collects one sentence from '$' to CR LF, at most 128 bytes after the '$'.
class CSentenceCollector {
public:
    // true when a whole sentence has just ended; Text() then holds it with '$' and CR LF.
    bool Feed(uint8_t b);
    bool Active() const { return m_Active; }
    void Reset();
    const std::string& Text() const { return m_Text; }

private:
    bool m_Active = false;
    std::string m_Text;
};
