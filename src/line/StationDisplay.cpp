#include "StationDisplay.h"

#include "line/LineFiles.h"
#include "upload/UploadCheck.h"

#include <algorithm>
#include <cstdlib>

namespace {

constexpr size_t MIN_WIDTH = 40;
constexpr size_t CELL_WIDTH = 16;
constexpr size_t STATE_COLUMN = 13;

// Columns a text takes: UTF-8 continuation bytes add none.
size_t Columns(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xC0) != 0x80;
    return n;
}

// The text cut to width columns, never inside a UTF-8 sequence.
std::string Fit(const std::string& text, size_t width) {
    size_t columns = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) != 0x80 && ++columns > width)
            return text.substr(0, i);
    }
    return text;
}

std::string Pad(const std::string& text, size_t width) {
    const std::string fitted = Fit(text, width);
    return fitted + std::string(width - Columns(fitted), ' ');
}

// The end of a port's name tells the adapters apart.
std::string ShortPort(const std::string& port, size_t width) {
    if (Columns(port) <= width)
        return port;
    std::string tail = port;
    while (Columns(tail) > width - 3)
        tail.erase(0, 1);
    while (!tail.empty() && (static_cast<unsigned char>(tail[0]) & 0xC0) == 0x80)
        tail.erase(0, 1);
    return "..." + tail;
}

const char* VerdictColour(int verdict) {
    switch (verdict) {
    case 1:
        return "\033[32m";
    case 2:
        return "\033[33m";
    case 3:
        return "\033[1;31m";
    default:
        return "";
    }
}

std::string CellState(const SlotView& v) {
    switch (v.verdict) {
    case 1:
        return "pass";
    case 2:
        return "NVER";
    case 3:
        return v.phase == "disconnected" ? "DISC" : "FAIL";
    default:
        break;
    }
    if (v.perMille >= 0)
        return std::to_string(v.perMille / 10) + "%";
    return v.phase.substr(0, 4);
}

std::string BaseName(const std::string& port) {
    const size_t slash = port.rfind('/');
    return slash == std::string::npos ? port : port.substr(slash + 1);
}

} // namespace

CStationDisplay::CStationDisplay(std::FILE* out, bool terminal) : m_Out(out), m_Terminal(terminal) {
    const char* term = std::getenv("TERM");
    m_Colour = terminal && std::getenv("NO_COLOR") == nullptr && term && std::string(term) != "dumb";
}

void CStationDisplay::Size(size_t& width, size_t& rows) const {
    width = 80;
    rows = 24;
    size_t columns = 0, lines = 0;
    if (m_Terminal && TerminalSize(m_Out, columns, lines)) {
        width = columns;
        rows = lines > 0 ? lines : rows;
    }
    width = std::max(width, MIN_WIDTH);
}

std::string CStationDisplay::ViewLine(const SlotView& v, size_t width, bool colour) {
    // The last column stays free: a line that fills it makes some terminals wrap.
    width = std::max(width, MIN_WIDTH) - 1;
    const size_t portWidth = std::clamp<size_t>(width * 3 / 10, 10, 32);
    std::string rest;
    if (v.perMille >= 0) {
        char pct[16];
        std::snprintf(pct, sizeof pct, "%3d%%", v.perMille / 10);
        rest = pct;
        if (v.rate >= 0)
            rest += " " + RateText(v.rate);
        if (v.left >= 0)
            rest += " " + DurationText(v.left) + " left";
        if (!v.unit.empty())
            rest += "  " + v.unit;
    } else if (v.verdict != 0 && !v.versionAfter.empty()) {
        // What the unit reports now comes first: it is what a narrow terminal must still show.
        rest = "-> " + v.versionAfter + "  " + v.unit;
    } else {
        rest = v.unit;
    }
    const std::string head = Pad(ShortPort(v.port, portWidth), portWidth) + " ";
    const std::string state = Pad(v.phase, STATE_COLUMN);
    const std::string tail = Fit(" " + rest, width - portWidth - 1 - STATE_COLUMN);
    const char* on = colour ? VerdictColour(v.verdict) : "";
    if (*on == '\0')
        return head + state + tail;
    return head + on + state + "\033[0m" + tail;
}

std::vector<std::string> CStationDisplay::Block(const std::vector<SlotView>& views, size_t width, size_t rows,
                                                bool colour) {
    std::vector<std::string> block;
    // Room for the event line being printed and the cursor's line.
    const size_t room = rows > 3 ? rows - 2 : 1;
    if (views.size() <= room) {
        for (const SlotView& v : views)
            block.push_back(ViewLine(v, width, colour));
        return block;
    }
    size_t passed = 0, failed = 0, working = 0, waiting = 0;
    for (const SlotView& v : views) {
        if (v.verdict == 1)
            ++passed;
        else if (v.verdict > 1)
            ++failed;
        else if (v.perMille >= 0 || !v.unit.empty())
            ++working;
        else
            ++waiting;
    }
    block.push_back(Fit(std::to_string(views.size()) + " ports: " + std::to_string(passed) + " passed, " +
                            std::to_string(failed) + " failed, " + std::to_string(working) + " working, " +
                            std::to_string(waiting) + " waiting",
                        width - 1));
    const size_t perLine = std::max<size_t>(1, (width - 1) / CELL_WIDTH);
    const size_t lines = (views.size() + perLine - 1) / perLine;
    if (lines + 1 > room) {
        // Not even the grid fits: the ports that need a hand are named.
        for (const SlotView& v : views)
            if (v.verdict > 1 && block.size() < room)
                block.push_back(ViewLine(v, width, colour));
        return block;
    }
    for (size_t i = 0; i < views.size(); i += perLine) {
        std::string line;
        for (size_t k = i; k < std::min(views.size(), i + perLine); ++k) {
            const SlotView& v = views[k];
            const std::string cell = Pad(ShortPort(BaseName(v.port), CELL_WIDTH - 7), CELL_WIDTH - 6) + " " +
                                     Pad(CellState(v), 4) + " ";
            const char* on = colour ? VerdictColour(v.verdict) : "";
            line += *on ? on + cell + "\033[0m" : cell;
        }
        block.push_back(line);
    }
    return block;
}

std::vector<std::string> CStationDisplay::TableLines(const std::vector<SummaryRow>& rows, size_t width) {
    width = std::max(width, MIN_WIDTH) - 1;
    // RESULT 13, CODE 4, SERIAL 14, BEFORE 6, AFTER 6, TIME 6 and the spaces between them.
    const size_t fixed = 13 + 4 + 14 + 6 + 6 + 6 + 6;
    const size_t portWidth = width > fixed + 10 ? std::min<size_t>(width - fixed - 1, 48) : 10;
    std::vector<std::string> lines;
    char line[512];
    std::snprintf(line, sizeof line, "%s %-13s %4s %-14s %-6s %-6s %6s", Pad("PORT", portWidth).c_str(),
                  "RESULT", "CODE", "SERIAL", "BEFORE", "AFTER", "TIME");
    lines.push_back(Fit(line, width));
    for (const SummaryRow& r : rows) {
        std::snprintf(line, sizeof line, "%s %-13s %4d %-14s %-6s %-6s %6s",
                      Pad(ShortPort(r.port, portWidth), portWidth).c_str(), Pad(r.result, 13).c_str(), r.code,
                      Pad(r.serial.empty() ? "-" : r.serial, 14).c_str(),
                      Pad(r.before.empty() ? "-" : r.before, 6).c_str(),
                      Pad(r.after.empty() ? "-" : r.after, 6).c_str(), DurationText(r.seconds).c_str());
        lines.push_back(Fit(line, width));
    }
    return lines;
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
    size_t width = 80, rows = 24;
    Size(width, rows);
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Block = Block(views, width, rows, m_Colour);
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

void CStationDisplay::Table(const std::vector<SummaryRow>& rows) {
    size_t width = 80, rows_ = 24;
    Size(width, rows_);
    for (const std::string& line : TableLines(rows, width))
        Event(line);
}
