#pragma once
// Shared set-up of the scripted protocol tests: a channel, a scripted port, an image container and the
// protocol object with its limits shrunk so that every time-out is reached in well under a second.

#include "ScriptPort.h"
#include "core/Channel.h"
#include "core/Clock.h"
#include "image/ImageFile.h"
#include "loader/LoaderProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

inline void ShrinkTimings(CLoaderTimings& t) {
    t.okWaitMs = 150;
    t.recWaitMs = 200;
    t.paramMs = 200;
    t.helloMs = 300;
    t.handshakeMs = 300;
    t.sfldVersionMs = 150;
    t.pfldVersionMs = 150;
    t.flashIdMs = 100;
    t.bootReloadMs = 100;
    t.sectorEraseMs = 200;
    t.sendRecordMs = 500;
    t.recordAckMs = 150;
    t.listenMs = 30;
    t.budgetUnitMs = 100;
    t.paceMs = 1;
    t.waitSliceMs = 50;
}

class LoaderFixture : public ::testing::Test {
protected:
    void SetUp() override { ShrinkTimings(job.m_Timings); }

    // Every log line so far, without its time of day.
    const std::vector<std::string>& Logs() {
        while (auto line = channel.m_LogQueue.Pop()) {
            std::string text = *line;
            size_t tab = text.find('\t');
            m_Logs.push_back(tab == std::string::npos ? text : text.substr(tab + 1));
        }
        return m_Logs;
    }
    const std::vector<std::string>& Statuses() {
        while (auto line = channel.m_StatusQueue.Pop())
            m_Statuses.push_back(*line);
        return m_Statuses;
    }
    int LogCount(const std::string& text) {
        const auto& logs = Logs();
        return static_cast<int>(std::count(logs.begin(), logs.end(), text));
    }
    bool HasLog(const std::string& text) { return LogCount(text) > 0; }
    // Index of the first log line equal to text at or after from, or -1.
    int LogIndex(const std::string& text, int from = 0) {
        const auto& logs = Logs();
        for (size_t i = static_cast<size_t>(std::max(from, 0)); i < logs.size(); ++i)
            if (logs[i] == text)
                return static_cast<int>(i);
        return -1;
    }
    void ClearLogs() {
        Logs();
        m_Logs.clear();
        Statuses();
        m_Statuses.clear();
    }
    std::string LogText() {
        std::string all;
        for (const auto& l : Logs())
            all += l + "\n";
        return all;
    }
    // Cancel the way the dialog does it: set the cell, then release every port wait.
    void Cancel() {
        job.m_Cancel.Set(1);
        port.WakeWaiters();
    }

    CChannel channel;
    CScriptPort port;
    CImageFile image;
    CLoaderProtocol job{channel, &port, image};

private:
    std::vector<std::string> m_Logs;
    std::vector<std::string> m_Statuses;
};
