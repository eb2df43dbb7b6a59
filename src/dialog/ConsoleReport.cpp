#include "ConsoleReport.h"

#include "upload/UploadCheck.h"

#include <cmath>

namespace {
constexpr int BAR_CELLS = 30;
}

const char* CConsoleReport::StageName(int phase) {
    switch (phase) {
    case 2:
        return "Erasing";
    case 3:
        return "Programming";
    default:
        return "Loading";
    }
}

void CConsoleReport::ClearBar() {
    if (m_BarShown) {
        std::fputs("\r\033[K", m_Out);
        m_BarShown = false;
    }
}

void CConsoleReport::StatusLine(const std::string& line) {
    ClearBar();
    std::fprintf(m_Out, "%s\n", line.c_str());
    if (!m_LastBar.empty() && m_Terminal && m_LastPerMille >= 0 && m_LastPerMille < 1000) {
        std::fputs(m_LastBar.c_str(), m_Out);
        m_BarShown = true;
    }
    std::fflush(m_Out);
}

void CConsoleReport::Notice(const std::string& text) {
    StatusLine(text);
}

std::string CConsoleReport::ProgressText(int perMille, uint32_t nowMs, bool bar) const {
    std::string text = StageName(m_Phase);
    char pct[16];
    std::snprintf(pct, sizeof pct, " %3d%%", perMille / 10);
    if (bar) {
        int cells = perMille * BAR_CELLS / 1000;
        text += " [";
        text.append(static_cast<size_t>(cells), '#');
        text.append(static_cast<size_t>(BAR_CELLS - cells), '.');
        text += "]";
    }
    text += pct;
    // Rates count from the first look at the stage, which may come after its start.
    double elapsed = (nowMs - m_StageStartMs) / 1000.0;
    int done = perMille - m_StageStartPerMille;
    if (done > 0 && elapsed > 0) {
        if (m_StageBytes > 0)
            text += "  " + RateText(m_StageBytes * (done / 1000.0) / elapsed);
        text += "  " + DurationText(elapsed * (1000 - perMille) / done) + " left";
    }
    return text;
}

void CConsoleReport::Progress(int phase, int perMille, uint32_t stageBytes, uint32_t nowMs) {
    if (perMille < 0)
        perMille = 0;
    if (perMille > 1000)
        perMille = 1000;
    // Phases 0 and 1 are both the loader's load. A new stage begins when the stage changes or the count
    // starts again from the bottom.
    if (phase < 2)
        phase = 1;
    if (phase != m_Phase || perMille < m_LastPerMille) {
        if (m_BarShown) {
            std::fputs("\n", m_Out);
            m_BarShown = false;
        }
        m_Phase = phase;
        m_StageStartMs = nowMs;
        m_StageStartPerMille = perMille;
        m_LastTenth = -1;
        m_LastBar.clear();
    }
    m_StageBytes = stageBytes;
    m_LastPerMille = perMille;
    if (m_Terminal) {
        m_LastBar = "\r\033[K" + ProgressText(perMille, nowMs, true);
        std::fputs(m_LastBar.c_str(), m_Out);
        m_BarShown = true;
        if (perMille >= 1000) {
            std::fputs("\n", m_Out);
            m_BarShown = false;
        }
    } else {
        int tenth = perMille / 100;
        if (tenth != m_LastTenth) {
            m_LastTenth = tenth;
            std::fprintf(m_Out, "%s\n", ProgressText(perMille, nowMs, false).c_str());
        }
    }
    std::fflush(m_Out);
}

void CConsoleReport::Finish() {
    if (m_BarShown) {
        std::fputs("\n", m_Out);
        m_BarShown = false;
    }
    std::fflush(m_Out);
}
