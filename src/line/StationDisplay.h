#pragma once
// What the station shows: on a terminal a block of one line per port that is rewritten in place, with
// event lines printed above it; otherwise plain lines only (logs of CI systems do not handle escapes).

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// What one port shows at one moment.
struct SlotView {
    std::string port;
    std::string phase; // "waiting", "checking", "loading", "erasing", "programming", "restarting", ...
    int perMille = -1; // -1: no progress to show
    double rate = -1;  // bytes per second of the running stage, -1 when unknown
    double left = -1;  // seconds left in the running stage, -1 when unknown
    std::string unit;  // receiver and serial, once known
};

class CStationDisplay {
public:
    CStationDisplay(std::FILE* out, bool terminal) : m_Out(out), m_Terminal(terminal) {}

    bool Terminal() const { return m_Terminal; }
    // A line of its own, from any thread.
    void Event(const std::string& line);
    // Terminal only: redraws the block of port lines.
    void Refresh(const std::vector<SlotView>& views);
    // Removes the block, so the final table follows the events.
    void Close();

    static std::string ViewLine(const SlotView& view);

private:
    void EraseBlock();
    void DrawBlock();

    std::mutex m_Lock;
    std::FILE* m_Out;
    bool m_Terminal;
    std::vector<std::string> m_Block;
    size_t m_Drawn = 0;
};
