// The upload worker end to end against the simulated receiver: a whole job, the line kept for the job alone
// while a dialog keeps asking for checks, failures that must be published, cancels and shutdowns in each
// waiting phase, and the completion mark.

#include "TestImages.h"
#include "UploadFixture.h"

#include "image/LoadImage.h"

#include <filesystem>
#include <iostream>

using namespace upt;

namespace {

const std::string STARS = "**********************";

class Job : public ::testing::Test {
protected:
    void SetUp() override { WriteSfldFile(m_Dir + "/tz5_sfl.hex", "SFLD upload 1.0", 3000); }
    void TearDown() override { std::filesystem::remove_all(m_Dir); }
    std::vector<uint8_t> LoadUnion(CHarness& h, uint32_t total) {
        auto bytes = WriteUnionImage(m_Dir + "/union.bin", total, "T100", 1, 5);
        EXPECT_TRUE(LoadImage(h.m_System.m_Image, m_Dir + "/union.bin", h.m_System.m_Channel));
        return bytes;
    }
    // What the upload command does once the receiver is identified.
    void StartLikeTheDialog(CHarness& h) {
        ASSERT_TRUE(WaitUntil([&] { return h.m_System.m_Check.m_Identified.Get() == 1; })) << h.LogText();
        h.Port().SendString("$PQELS,PFL,UPL\r\n");
        h.m_System.m_Job.StartUpload();
    }
    static bool WaitJobEnd(CHarness& h) {
        return WaitUntil([&] { return h.m_System.m_Job.m_Start.Get() == 0; }, 60000);
    }
    // The result was published: the dialog reacts to the cell's change, an unattended run ends on it.
    static void ExpectResult(CHarness& h, int want) {
        EXPECT_NE(h.m_System.m_Job.m_Result.Changed(), 0) << h.LogText();
        EXPECT_EQ(h.m_System.m_Job.m_Result.Get(), want) << h.LogText();
    }
    static bool FlashHolds(CSim& sim, const std::vector<uint8_t>& image) {
        const std::vector<uint8_t> flash = sim.rx.FlashCopy();
        return flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin());
    }

    std::string m_Dir = MakeTempDir("upload");
};

} // namespace

TEST_F(Job, WholeJobFromAnIdentifiedReceiver) {
    SimOptions o = CSim::Fast();
    o.fwBaud = 0; // the firmware follows the host's speed
    CSim sim(o);
    CHarness h(m_Dir, Dialog::Checks);
    ASSERT_TRUE(h.Open(sim.rx.SlavePath()));
    h.Port().SetBaudIndex(5);
    h.m_System.m_Check.RequestCheck();
    const auto image = LoadUnion(h, 0xC000);
    StartLikeTheDialog(h);
    ASSERT_TRUE(WaitJobEnd(h)) << h.LogText();

    CUploadJob& job = h.m_System.m_Job;
    ExpectResult(h, 1);
    EXPECT_EQ(job.m_Progress.Get(), 1000);
    EXPECT_EQ(job.m_FlashWriting.Get(), 0);
    EXPECT_EQ(job.m_PfldVersion.Get(), "");
    EXPECT_TRUE(FlashHolds(sim, image));
    EXPECT_EQ(sim.rx.UploadsCompleted(), 1);
    // The loader link ran at 115200; the port's speed is back to 9600 after the job.
    EXPECT_EQ(h.Port().GetBaudIndex(), 5);
    EXPECT_EQ(h.m_System.m_PortWorker.m_SerialPort.BaudRate(), 9600);
    // The restarted receiver identified itself again within the restart phase.
    EXPECT_EQ(h.m_System.m_Check.m_Identified.Get(), 1);
    EXPECT_EQ(h.Logs(true), (std::vector<std::string>{"Erasing FLASH memory", "Programming",
                                                      "Wait for upload to complete.", "Upload complete"}));
    EXPECT_TRUE(
        h.InOrder({STARS, "*** FLASH Upload ****", STARS, "delay before upload", "Wait for receiver check",
                   "Check receiver", "Baud rate - 115200", "wait for upload to complete",
                   "UU\r\n", // the first two marks are collected, the third ends the wait
                   "upload complete", "delay after upload", "Wait for receiver check", "continue", STARS}))
        << h.LogText();
}

TEST_F(Job, UploadOwnsTheLineWhileTheDialogKeepsAskingForChecks) {
    // The receiver goes mute to queries after the upload sentence, so the receiver wait runs out its budget
    // (or is skipped) while checks run; the dialog asks for a check on every tick. From the end of the
    // receiver wait to the restart, no check may write into the loader link.
    {
        SimOptions o = CSim::Fast();
        o.fault = SimFault::MuteAfterUpl;
        o.strict = true;
        CSim sim(o);
        CHarness h(m_Dir, Dialog::Hostile);
        ASSERT_TRUE(h.Open(sim.rx.SlavePath()));
        const auto image = LoadUnion(h, 0x9000);
        h.m_System.m_Job.m_ConnectBudget.store(5);
        const uint32_t start = TickMs();
        StartLikeTheDialog(h);
        ASSERT_TRUE(WaitJobEnd(h)) << h.LogText();
        EXPECT_GE(ElapsedMs(start), 1000u); // the whole budget was waited

        // From the loader link's first line to the restart (or the job's closing line when it failed).
        const int begin = h.Find("Baud rate - 115200"),
                  closing = h.Find(STARS, h.Find("*** FLASH Upload") + 2);
        const int end = h.Find("delay after upload") >= 0 ? h.Find("delay after upload") : closing;
        ASSERT_TRUE(begin >= 0 && end > begin) << h.LogText();
        const int checks = h.Count("Check receiver", begin, end);
        std::cout << "checks during the upload: " << checks << "\n";
        EXPECT_EQ(checks + h.Count("send command", begin, end) + h.Count("2", begin, end), 0) << h.LogText();
        EXPECT_EQ(sim.rx.ViolationCount(), 0u) << sim.rx.StatsText();
        ExpectResult(h, 1);
        EXPECT_TRUE(FlashHolds(sim, image));
    }
}

TEST_F(Job, FailuresArePublished) {
    struct Row {
        const char* name;
        SimFault fault;
        int budget; // below 0: the receiver is identified first, and the job waits for it not at all
        std::vector<std::string> statuses, logs;
    } rows[] = {
        {"no completion mark",
         SimFault::NoComplete,
         3,
         {"Erasing FLASH memory", "Programming", "Wait for upload to complete.", "ERROR: upload failed"},
         {"wait for upload to complete", "ERROR: upload failed", STARS}},
        {"silent receiver",
         SimFault::Silent,
         3,
         {"ERROR: upload failed"},
         {"TZ5 PFL - not connected", "ERROR: upload failed", STARS}},
        {"negative budget",
         SimFault::MuteAfterUpl,
         -1,
         {"ERROR: upload failed"},
         {"Wait for receiver check", "Baud rate - 115200", "TZ5 PFL - not connected",
          "ERROR: upload failed"}},
        {"no port",
         SimFault::None,
         3,
         {"ERROR: upload failed"},
         {STARS, "*** FLASH Upload ****", STARS, "ERROR: no port available", "ERROR: upload failed", STARS}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool port = std::string(row.name) != "no port";
        SimOptions o = CSim::Fast();
        o.fault = row.fault;
        CSim sim(o);
        CHarness h(m_Dir, Dialog::Checks);
        h.m_System.m_Job.m_JobTiming.completionWaitMs = 1500;
        h.m_System.m_Job.m_ConnectBudget.store(row.budget);
        h.m_System.m_Job.m_Timings.pfldVersionMs = 200;
        h.m_System.m_Check.m_Timing.checkLimitMs = 800;
        ASSERT_EQ(h.Open(port ? sim.rx.SlavePath() : ""), port);
        const auto image = LoadUnion(h, 0x9000);
        EXPECT_TRUE(port || h.RunCheck()); // a check on a closed port never queries
        if (row.budget < 0)
            StartLikeTheDialog(h);
        else
            h.m_System.m_Job.StartUpload();
        ASSERT_TRUE(WaitJobEnd(h)) << h.LogText();
        ExpectResult(h, 0);
        EXPECT_EQ(h.Logs(true), row.statuses);
        EXPECT_TRUE(h.InOrder(row.logs)) << h.LogText();
        EXPECT_EQ(h.Count("upload complete") + h.Count("continue"), 0);
        EXPECT_EQ(FlashHolds(sim, image), row.fault == SimFault::NoComplete); // written, but never confirmed
        EXPECT_EQ(h.Count("fOpen sleep") > 0 && h.Count("send command") == 0, !port);
    }
}

TEST_F(Job, CancelAndShutdownInEachWait) {
    for (const char* row :
         {"cancel waiting for the receiver", "cancel programming", "shutdown programming"}) {
        SCOPED_TRACE(row);
        const bool waiting = row[7] == 'w', shutdown = row[0] == 's';
        SimOptions o = CSim::Fast();
        o.programMs = 40;
        o.fault = waiting ? SimFault::MuteAfterUpl : SimFault::None;
        CSim sim(o);
        auto h = std::make_unique<CHarness>(m_Dir, Dialog::Checks);
        CUploadJob& job = h->m_System.m_Job;
        job.m_ConnectBudget.store(150); // 30 s
        ASSERT_TRUE(h->Open(sim.rx.SlavePath()));
        LoadUnion(*h, 0x40000);
        if (waiting) {
            StartLikeTheDialog(*h);
            ASSERT_TRUE(WaitUntil([&] { return h->Count("Wait for receiver check") == 1; }));
        } else {
            job.StartUpload();
            ASSERT_TRUE(WaitUntil([&] { return job.m_Phase.Get() == 3 && job.m_Progress.Get() > 0; }, 60000));
            EXPECT_EQ(job.m_FlashWriting.Get(), 1);
        }
        const uint32_t at = TickMs();
        if (shutdown) {
            h.reset();
            EXPECT_LT(ElapsedMs(at), 5000u);
            continue;
        }
        job.CancelUpload();
        ASSERT_TRUE(WaitJobEnd(*h));
        EXPECT_LT(ElapsedMs(at), 5000u);
        ExpectResult(*h, 0);
        EXPECT_TRUE(h->InOrder({"ERROR: upload failed", "Upload canceled"}, true));
        EXPECT_TRUE(h->InOrder({"ERROR: upload failed", "Upload cancel", STARS}));
        EXPECT_EQ(h->Count("wait for upload to complete") + h->Count("Upload complete"), 0);
        const auto events = sim.rx.Events(); // the target upload ended at its first look, before any sentence
        EXPECT_EQ(std::count(events.begin(), events.end(), "loader-mode request accepted"), waiting ? 0 : 1);
        EXPECT_EQ(job.m_FlashWriting.Get(), 0);
        EXPECT_EQ(sim.rx.UploadsCompleted(), 0);
    }
}

TEST(Completion, MarkPatternsAndThePortLetGo) {
    CPty pty;
    {
        CHarness h;
        h.m_System.m_Job.m_JobTiming.completionWaitMs = 600;
        h.m_System.m_Job.m_JobTiming.completionPollMs = 20;
        ASSERT_TRUE(h.Open(pty.name));
        const struct {
            std::string bytes;
            bool done;
            const char* logged;
            uint32_t atLeastMs; // one byte per pause, or the whole limit when the wait runs out
        } rows[] = {{"xUyUzUt", true, "xUyUz\r\n", 5 * 20}, // the third mark ends the wait
                    {"U", true, "U\r\n", 600},              // a single mark, then silence, counts as done
                    {"UUx", false, "UUx\r\n", 0},
                    {"", false, "\r\n", 600}};
        for (const auto& row : rows) {
            SCOPED_TRACE(row.bytes);
            pty.Write(row.bytes);
            ASSERT_TRUE(row.bytes.empty() || h.m_System.m_PortWorker.m_SerialPort.WaitRx(5000));
            const uint32_t start = TickMs();
            EXPECT_EQ(h.m_System.m_Job.WaitCompletionMark(), row.done);
            EXPECT_GE(ElapsedMs(start), row.atLeastMs);
            EXPECT_EQ(h.Count(row.logged), 1) << h.LogText();
            uint8_t b = 0; // what followed the third mark is still waiting
            EXPECT_EQ(h.Port().ReadByte(b) && b == 't', row.done && row.bytes.size() > 1);
        }
        EXPECT_EQ(h.m_System.m_Check.Port(), h.m_System.m_Job.GetPort());
    }
    // The system let go of the port when it went: a new one takes it at once.
    CHarness again;
    EXPECT_TRUE(again.Open(pty.name));
}
