#pragma once
// What an unattended run tells on its standard output: every status line, notices, and the progress of the
// running stage as a one-line bar on a terminal or as plain lines at every tenth otherwise (logs of CI
// systems and IDEs do not handle carriage returns).

#include <cstdint>
#include <cstdio>
#include <string>

class CConsoleReport {
public:
    CConsoleReport(std::FILE* out, bool terminal) : m_Out(out), m_Terminal(terminal) {}

    void StatusLine(const std::string& line);
    void Notice(const std::string& text);
    // phase: 0/1 loader load, 2 erasing, 3 programming; stageBytes 0 when the stage's size is unknown.
    void Progress(int phase, int perMille, uint32_t stageBytes, uint32_t nowMs);
    // Ends a bar line that is still open.
    void Finish();

    // "12.3 kB/s" style rate and "m:ss" time text, shared with the tests.
    static const char* StageName(int phase);

private:
    void ClearBar();
    std::string ProgressText(int perMille, uint32_t nowMs, bool bar) const;

    std::FILE* m_Out;
    bool m_Terminal;
    bool m_BarShown = false;
    std::string m_LastBar;
    int m_Phase = -1;
    int m_LastPerMille = -1;
    int m_LastTenth = -1;
    uint32_t m_StageStartMs = 0;
    int m_StageStartPerMille = 0;
    uint32_t m_StageBytes = 0;
};
