#pragma once
// What the station shows: on a terminal a block of one line per port that is rewritten in place, with
// event lines printed above it; otherwise plain lines only (logs of CI systems do not handle escapes).
// Every line of the block fits the terminal's width, so the block never wraps; with more ports than rows
// the block is a grid of short cells, or counts alone.

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
    std::string versionAfter;
    // 0 working or waiting, 1 passed, 2 not verified, 3 failed (any other end)
    int verdict = 0;
};

// One line of the final table.
struct SummaryRow {
    std::string port;
    std::string result;
    int code = 0;
    std::string serial;
    std::string before;
    std::string after;
    double seconds = 0;
};

class CStationDisplay {
public:
    CStationDisplay(std::FILE* out, bool terminal);

    bool Terminal() const { return m_Terminal; }
    // A line of its own, from any thread.
    void Event(const std::string& line);
    // Terminal only: redraws the block of port lines.
    void Refresh(const std::vector<SlotView>& views);
    // Removes the block, so the final table follows the events.
    void Close();
    // The final table, at most the terminal's width (80 columns off a terminal).
    void Table(const std::vector<SummaryRow>& rows);

    // One port's line in width columns; colour marks the verdict with escapes.
    static std::string ViewLine(const SlotView& view, size_t width, bool colour);
    // The block for views in width columns and rows lines at most.
    static std::vector<std::string> Block(const std::vector<SlotView>& views, size_t width, size_t rows,
                                          bool colour);
    static std::vector<std::string> TableLines(const std::vector<SummaryRow>& rows, size_t width);

private:
    void EraseBlock();
    void DrawBlock();
    // Columns and rows of the terminal now (80 x 24 when unknown).
    void Size(size_t& width, size_t& rows) const;

    std::mutex m_Lock;
    std::FILE* m_Out;
    bool m_Terminal;
    bool m_Colour;
    std::vector<std::string> m_Block;
    size_t m_Drawn = 0;
};
