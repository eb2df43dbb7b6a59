#include "StationDisplay.h"

#include "upload/UploadCheck.h"

namespace {

constexpr size_t PORT_COLUMN = 32;

std::string ShortPort(const std::string& port) {
    // The end of a by-id name tells the adapters apart.
    if (port.size() <= PORT_COLUMN)
        return port;
    return "..." + port.substr(port.size() - (PORT_COLUMN - 3));
}

} // namespace

std::string CStationDisplay::ViewLine(const SlotView& v) {
    char head[96];
    std::snprintf(head, sizeof head, "%-*s %-12s", static_cast<int>(PORT_COLUMN), ShortPort(v.port).c_str(),
                  v.phase.c_str());
    std::string line = head;
    if (v.perMille >= 0) {
        char pct[16];
        std::snprintf(pct, sizeof pct, " %3d%%", v.perMille / 10);
        line += pct;
        line += "  " + (v.rate >= 0 ? RateText(v.rate) : std::string("-"));
        line += "  " + (v.left >= 0 ? DurationText(v.left) + " left" : std::string("-"));
    }
    if (!v.unit.empty())
        line += "  " + v.unit;
    return line;
}

void CStationDisplay::EraseBlock() {
    if (m_Drawn > 0) {
        std::fprintf(m_Out, "\033[%zuA\r\033[J", m_Drawn);
        m_Drawn = 0;
    }
}

void CStationDisplay::DrawBlock() {
    for (const std::string& line : m_Block)
        std::fprintf(m_Out, "\r\033[K%s\n", line.c_str());
    m_Drawn = m_Block.size();
}

void CStationDisplay::Event(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Terminal)
        EraseBlock();
    std::fprintf(m_Out, "%s\n", line.c_str());
    if (m_Terminal)
        DrawBlock();
    std::fflush(m_Out);
}

void CStationDisplay::Refresh(const std::vector<SlotView>& views) {
    if (!m_Terminal)
        return;
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Block.clear();
    for (const SlotView& v : views)
        m_Block.push_back(ViewLine(v));
    // Move to the top of the old block and write over it; a shorter block clears what is left below.
    if (m_Drawn > 0)
        std::fprintf(m_Out, "\033[%zuA", m_Drawn);
    DrawBlock();
    std::fputs("\033[J", m_Out);
    std::fflush(m_Out);
}

void CStationDisplay::Close() {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Terminal)
        EraseBlock();
    m_Block.clear();
    std::fflush(m_Out);
}
