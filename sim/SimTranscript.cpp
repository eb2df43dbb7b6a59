#include "sim/SimTranscript.h"

CSimTranscript::~CSimTranscript() {
    Close();
}

bool CSimTranscript::Open(const std::string& path, std::string& error) {
    m_File = std::fopen(path.c_str(), "w");
    if (!m_File) {
        error = "cannot create transcript " + path;
        return false;
    }
    return true;
}

double CSimTranscript::Seconds(SimTime t) const {
    return std::chrono::duration<double>(t - m_Origin).count();
}

void CSimTranscript::FlushLine() {
    if (!m_Pending || !m_File)
        return;
    std::fprintf(m_File, "%12.6f %s%s |%s|\n", Seconds(m_First),
                 m_ToHost ? "TX " : (m_Garbled ? "RX~" : "RX "), m_Hex.c_str(), m_Text.c_str());
    m_Pending = false;
    m_Hex.clear();
    m_Text.clear();
    m_Count = 0;
}

void CSimTranscript::Bytes(SimTime t, bool toHost, bool garbled, const uint8_t* data, size_t count) {
    if (!m_File)
        return;
    for (size_t i = 0; i < count; ++i) {
        // A new line when the direction changes, the line is long, or the line went quiet for a while.
        if (m_Pending && (m_ToHost != toHost || m_Garbled != garbled || m_Count >= 24 ||
                          t - m_Last > std::chrono::milliseconds(2)))
            FlushLine();
        if (!m_Pending) {
            m_Pending = true;
            m_ToHost = toHost;
            m_Garbled = garbled;
            m_First = t;
        }
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", data[i]);
        m_Hex += hex;
        m_Text.push_back(data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '.');
        m_Last = t;
        ++m_Count;
    }
}

void CSimTranscript::Event(SimTime t, const std::string& text) {
    if (!m_File)
        return;
    FlushLine();
    std::fprintf(m_File, "%12.6f -- %s\n", Seconds(t), text.c_str());
    std::fflush(m_File);
}

void CSimTranscript::Close() {
    if (!m_File)
        return;
    FlushLine();
    std::fclose(m_File);
    m_File = nullptr;
}
