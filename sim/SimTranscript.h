#pragma once
// Time-stamped record of every byte each way and of the receiver's events. Lines look like
//   "   12.345678 TX 24 50 51 |$PQ|"   (TX: receiver to host, RX: host to receiver, RX~: heard as garbage)
//   "   12.345678 -- erase complete"

#include "sim/SimHost.h"

#include <cstdio>
#include <string>

class CSimTranscript {
public:
    ~CSimTranscript();
    bool Open(const std::string& path, std::string& error);
    void SetOrigin(SimTime origin) { m_Origin = origin; }
    bool IsOpen() const { return m_File != nullptr; }
    void Bytes(SimTime t, bool toHost, bool garbled, const uint8_t* data, size_t count);
    void Event(SimTime t, const std::string& text);
    void Close();

private:
    void FlushLine();
    double Seconds(SimTime t) const;

    std::FILE* m_File = nullptr;
    SimTime m_Origin{};
    // The line being gathered.
    bool m_Pending = false;
    bool m_ToHost = false;
    bool m_Garbled = false;
    SimTime m_First{};
    SimTime m_Last{};
    std::string m_Hex;
    std::string m_Text;
    size_t m_Count = 0;
};
