// The receiver check and the upload worker with the whole system, as kavrel-line.exe runs them, against the
// simulated receiver on a mapped COM port: identification, then a whole job whose restarted receiver
// reports the version the image carried.

#include "ComPort.h"
#include "Support.h"
#include "TestImages.h"

#include "image/LoadImage.h"
#include "upload/System.h"

#include <mutex>

namespace {

using test::WaitUntil;

// The workers with short limits, and the part of the dialog's refresh step they rely on: the queues
// drained, a check asked for whenever the port opened.
class CHarness {
public:
    explicit CHarness(const std::string& programDir) : m_System(programDir) {
        m_System.m_Check.m_Timing.idleWaitMs = 50;
        m_System.m_Job.m_JobTiming = {50, 50, 300, 10000, 10, 300, 8000};
        m_System.m_Job.m_Timings.budgetUnitMs = 200;
        m_System.m_PortWorker.m_PassWaitMs = m_System.m_PortWorker.m_RetryWaitMs = 20;
    }
    ~CHarness() {
        m_Quit.store(true);
        if (m_Pump.joinable())
            m_Pump.join();
        m_System.Shutdown();
    }
    bool Open(int slot) {
        m_System.StartWorkers();
        m_Pump = std::thread([this] { Pump(); });
        m_System.m_PortWorker.RequestPort(slot);
        return WaitUntil([&] { return m_System.m_PortWorker.m_Port->IsOpen() != 0; });
    }
    std::vector<std::string> Statuses() {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Statuses;
    }
    std::string LogText() {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> lock(m_Lock);
        std::string all;
        for (const auto& line : m_Logs)
            all += line + "\n";
        return all;
    }

    CSystem m_System;

private:
    void Pump() {
        CSystem& s = m_System;
        for (; !m_Quit.load(); std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            std::lock_guard<std::mutex> lock(m_Lock);
            for (auto line = s.m_Channel.m_StatusQueue.Pop(); line; line = s.m_Channel.m_StatusQueue.Pop())
                m_Statuses.push_back(*line);
            for (auto line = s.m_Channel.m_LogQueue.Pop(); line; line = s.m_Channel.m_LogQueue.Pop())
                m_Logs.push_back(line->substr(line->find('\t') + 1));
            if (s.m_PortWorker.m_PortOpened.Changed() && s.m_PortWorker.m_PortOpened.Get() != 0)
                s.m_Check.RequestCheck();
        }
    }

    std::atomic<bool> m_Quit{false};
    std::mutex m_Lock;
    std::vector<std::string> m_Logs, m_Statuses;
    std::thread m_Pump;
};

std::string Joined(const ReceiverTexts& t) {
    return t.model + "|" + t.version + "|" + t.options + "|" + t.serial;
}

} // namespace

TEST(ComJob, ReceiverIsIdentifiedThenUpdated) {
    CTestDir dir;
    dir.Write("tz5_sfl.hex", SfldFile("SFLD wine job 1.0", 3000));
    CHarness h(dir.Path());
    const int slot = ComPortSlot();
    ASSERT_GT(slot, 0) << g_ComPort;
    ASSERT_TRUE(h.Open(slot));
    CSystem& s = h.m_System;
    ASSERT_TRUE(WaitUntil([&] { return s.m_Check.m_Identified.Get() == 1; })) << h.LogText();
    EXPECT_EQ(Joined(s.m_Check.Texts()), "TZ5N|0102|GPS-GLO|KV000001");

    const Bytes image = UnionImage(0xC000, "W800", 5);
    ASSERT_TRUE(LoadImage(s.m_Image, dir.Write("union.bin", image), s.m_Channel));
    s.m_Job.m_ConnectBudget.store(10);
    // What the upload command does once the receiver is identified.
    s.m_PortWorker.m_Port->SendString("$PQELS,PFL,UPL\r\n");
    s.m_Job.StartUpload();
    ASSERT_TRUE(WaitUntil([&] { return s.m_Job.m_Start.Get() == 0; }, 60000)) << h.LogText();
    EXPECT_EQ(s.m_Job.m_Result.Get(), 1) << h.LogText();
    EXPECT_EQ(s.m_Job.m_Progress.Get(), 1000);
    EXPECT_EQ(h.Statuses(), (std::vector<std::string>{"Erasing FLASH memory", "Programming",
                                                      "Wait for upload to complete.", "Upload complete"}));
    // The restarted receiver reads its version from the flash the job wrote.
    ASSERT_TRUE(WaitUntil([&] { return s.m_Check.m_Identified.Get() == 1; })) << h.LogText();
    EXPECT_EQ(s.m_Check.Texts().version, "W800") << h.LogText();
}
