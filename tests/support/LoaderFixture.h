#pragma once
// Shared set-up of the protocol tests: a channel whose log lines are gathered, a temporary folder with image
// files loaded into an image container, and for the scripted tests a scripted port and the protocol object
// with its limits shrunk so that every time-out is reached in well under a second.

#include "ScriptPort.h"
#include "Support.h"
#include "TestImages.h"
#include "core/Channel.h"
#include "core/Clock.h"
#include "image/ImageFile.h"
#include "image/LoadImage.h"
#include "loader/LoaderProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
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

class ImageFixture : public ::testing::Test {
protected:
    void TearDown() override { image.Close(); }
    const std::string& Dir() { return m_Dir.Path(); }
    // Fresh image files loaded into image (the loading's log lines are dropped); each returns its bytes.
    std::vector<uint8_t> LoadOptions(uint32_t size, uint32_t seed = 7) {
        OptionsParams params;
        params.size = size;
        params.checksum = false; // the file ends with the image
        params.seed = seed;
        return Loaded("options" + std::to_string(seed) + ".bin", Built(BuildOptionsImage, params));
    }
    std::vector<uint8_t> LoadUnion(uint32_t total, uint8_t pflMinor, uint32_t seed = 1) {
        return Loaded("union" + std::to_string(seed) + ".bin", UnionImage(total, "T200", pflMinor, seed));
    }
    // Every log line so far, without its time of day.
    const std::vector<std::string>& Logs() {
        while (auto line = channel.m_LogQueue.Pop())
            m_Logs.push_back(line->substr(line->find('\t') + 1));
        return m_Logs;
    }
    std::vector<std::string> Statuses() {
        std::vector<std::string> lines;
        while (auto line = channel.m_StatusQueue.Pop())
            lines.push_back(*line);
        return lines;
    }
    int LogCount(const std::string& text) {
        return static_cast<int>(std::count(Logs().begin(), Logs().end(), text));
    }
    bool HasLog(const std::string& text) { return LogCount(text) > 0; }
    // Fails unless every line is logged, in this order (other lines may come between).
    void ExpectLogOrder(const std::vector<std::string>& lines) {
        auto at = Logs().begin();
        for (const std::string& line : lines) {
            auto found = std::find(at, Logs().end(), line);
            EXPECT_TRUE(found != Logs().end()) << line << "\n" << LogText();
            at = found == Logs().end() ? at : found + 1;
        }
    }
    void ClearLogs() {
        Logs();
        m_Logs.clear();
        Statuses();
    }
    std::string LogText() {
        std::string all;
        for (const auto& l : Logs())
            all += l + "\n";
        return all;
    }

    CChannel channel;
    CImageFile image;
    CTestDir m_Dir;

private:
    std::vector<uint8_t> Loaded(const std::string& name, std::vector<uint8_t> bytes) {
        EXPECT_TRUE(LoadImage(image, m_Dir.Write(name, bytes), channel));
        ClearLogs();
        return bytes;
    }

    std::vector<std::string> m_Logs;
};

class LoaderFixture : public ImageFixture {
protected:
    void SetUp() override { ShrinkTimings(job.m_Timings); }

    // Cancel the way the dialog does it: set the cell, then release every port wait.
    void Cancel() {
        job.m_Cancel.Set(1);
        port.WakeWaiters();
    }
    // Runs call with a cancel 30 ms in: it must fail, long before its own (long) limits.
    template <typename F> void ExpectCancelled(F call) {
        std::thread canceller([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            Cancel();
        });
        const uint32_t start = TickMs();
        EXPECT_FALSE(call());
        canceller.join();
        EXPECT_LT(ElapsedMs(start), 2000u);
    }
    // The receiver answers every code byte the tool sends with reply.
    void Answer(uint8_t code, std::vector<uint8_t> reply) {
        port.SetResponder([code, reply = std::move(reply)](CScriptPort& p, uint8_t b) {
            if (b == code)
                p.Inject(reply);
        });
    }
    void AnswerText(uint8_t code, const std::string& reply) {
        Answer(code, std::vector<uint8_t>(reply.begin(), reply.end()));
    }

    CScriptPort port;
    CLoaderProtocol job{channel, &port, image};
};
