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

TEST_F(Job, WholeJobs) {
    // Second row: the receiver goes mute to queries after the upload sentence, so the receiver wait runs out
    // its budget while checks run, and the dialog asks for a check on every tick. From the end of the
    // receiver wait to the restart no check may write into the loader link.
    for (bool mute : {false, true}) {
        SCOPED_TRACE(mute);
        SimOptions o = CSim::Fast();
        o.fwBaud = 0; // the firmware follows the host's speed
        o.strict = true;
        o.fault = mute ? SimFault::MuteAfterUpl : SimFault::None;
        CSim sim(o);
        CHarness h(m_Dir, mute ? Dialog::Hostile : Dialog::Checks);
        CUploadJob& job = h.m_System.m_Job;
        job.m_ConnectBudget.store(5); // 1 s
        ASSERT_TRUE(h.Open(sim.rx.SlavePath()));
        h.Port().SetBaudIndex(5);
        h.m_System.m_Check.RequestCheck();
        const auto image = LoadUnion(h, 0xC000);
        const uint32_t start = TickMs();
        StartLikeTheDialog(h);
        ASSERT_TRUE(WaitJobEnd(h)) << h.LogText();
        EXPECT_TRUE(!mute || ElapsedMs(start) >= 1000u); // the mute receiver is awaited for the whole budget

        // From the loader link's first line to the restart (or the job's closing line when it failed).
        const int begin = h.Find("Baud rate - 115200"), restart = h.Find("delay after upload");
        const int end = restart >= 0 ? restart : h.Find(STARS, h.Find("*** FLASH Upload") + 2);
        ASSERT_TRUE(begin >= 0 && end > begin) << h.LogText();
        const int checks = h.Count("Check receiver", begin, end);
        std::cout << "checks during the upload: " << checks << "\n";
        EXPECT_EQ(checks + h.Count("send command", begin, end) + h.Count("2", begin, end), 0) << h.LogText();
        EXPECT_EQ(sim.rx.ViolationCount(), 0u) << sim.rx.StatsText();

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
        EXPECT_TRUE(mute || h.m_System.m_Check.m_Identified.Get() == 1);
        EXPECT_EQ(h.Logs(true),
                  (std::vector<std::string>{"Erasing FLASH memory", "Programming",
                                            "Wait for upload to complete.", "Upload complete"}));
        std::vector<std::string> order = {
            STARS,
            "*** FLASH Upload ****",
            STARS,
            "delay before upload",
            "Wait for receiver check",
            "Check receiver",
            "Baud rate - 115200",
            "wait for upload to complete",
            "UU\r\n", // the first two marks are collected, the third ends the wait
            "upload complete",
            "delay after upload",
            "Wait for receiver check",
            "continue",
            STARS};
        if (mute) // the check that runs through the wait began before it
            order.erase(order.begin() + 5);
        EXPECT_TRUE(h.InOrder(order)) << h.LogText();
    }
}

TEST_F(Job, EveryFailureIsPublished) {
    enum Act { NONE, CANCEL_WAITING, CANCEL_WRITING, SHUTDOWN };
    const std::string failed = "ERROR: upload failed";
    struct Row {
        const char* name;
        SimFault
            fault; // MuteAfterUpl: the receiver is identified first and the job started as the dialog does
        int budget;
        Act act;
        std::vector<std::string> statuses, logs;
    } rows[] = {
        {"no completion mark",
         SimFault::NoComplete,
         3,
         NONE,
         {"Erasing FLASH memory", "Programming", "Wait for upload to complete.", failed},
         {"wait for upload to complete", failed, STARS}},
        {"silent receiver", SimFault::Silent, 3, NONE, {failed}, {"TZ5 PFL - not connected", failed, STARS}},
        {"negative budget",
         SimFault::MuteAfterUpl,
         -1,
         NONE,
         {failed},
         {"Wait for receiver check", "Baud rate - 115200", "TZ5 PFL - not connected", failed}},
        {"no port",
         SimFault::None,
         3,
         NONE,
         {failed},
         {STARS, "*** FLASH Upload ****", STARS, "ERROR: no port available", failed, STARS}},
        {"cancel waiting",
         SimFault::MuteAfterUpl,
         150,
         CANCEL_WAITING,
         {failed, "Upload canceled"},
         {"Wait for receiver check", failed, "Upload cancel", STARS}},
        {"cancel writing",
         SimFault::None,
         3,
         CANCEL_WRITING,
         {"Erasing FLASH memory", "Programming", failed, "Upload canceled"},
         {failed, "Upload cancel", STARS}},
        {"shutdown writing", SimFault::None, 3, SHUTDOWN, {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool port = std::string(row.name) != "no port";
        SimOptions o = CSim::Fast();
        o.fault = row.fault;
        o.programMs = row.act == NONE ? 1 : 40;
        CSim sim(o);
        auto harness = std::make_unique<CHarness>(m_Dir, Dialog::Checks);
        CHarness& h = *harness;
        CUploadJob& job = h.m_System.m_Job;
        job.m_JobTiming.completionWaitMs = 1500;
        job.m_ConnectBudget.store(row.budget);
        job.m_Timings.pfldVersionMs = 200;
        h.m_System.m_Check.m_Timing.checkLimitMs = 800;
        ASSERT_EQ(h.Open(port ? sim.rx.SlavePath() : ""), port);
        const auto image = LoadUnion(h, row.act == NONE ? 0x9000 : 0x40000);
        EXPECT_TRUE(port || h.RunCheck()); // a check on a closed port never queries
        if (row.fault == SimFault::MuteAfterUpl)
            StartLikeTheDialog(h);
        else
            job.StartUpload();
        if (row.act == CANCEL_WAITING) {
            ASSERT_TRUE(WaitUntil([&] { return h.Count("Wait for receiver check") == 1; }));
        }
        if (row.act >= CANCEL_WRITING) {
            ASSERT_TRUE(WaitUntil([&] { return job.m_Phase.Get() == 3 && job.m_Progress.Get() > 0; }, 60000));
            EXPECT_EQ(job.m_FlashWriting.Get(), 1);
        }
        const uint32_t at = TickMs();
        if (row.act == SHUTDOWN) {
            harness.reset();
            EXPECT_LT(ElapsedMs(at), 5000u);
            continue;
        }
        if (row.act != NONE)
            job.CancelUpload();
        ASSERT_TRUE(WaitJobEnd(h)) << h.LogText();
        EXPECT_TRUE(row.act == NONE || ElapsedMs(at) < 5000u);
        ExpectResult(h, 0);
        EXPECT_EQ(h.Logs(true), row.statuses);
        EXPECT_TRUE(h.InOrder(row.logs)) << h.LogText();
        EXPECT_EQ(h.Count("upload complete") + h.Count("continue"), 0);
        EXPECT_EQ(job.m_FlashWriting.Get(), 0);
        EXPECT_EQ(FlashHolds(sim, image), row.fault == SimFault::NoComplete); // written, but never confirmed
        EXPECT_EQ(h.Count("fOpen sleep") > 0 && h.Count("send command") == 0, !port);
        // A cancel in the receiver wait ends the target upload at its first look, before any sentence.
        const auto events = sim.rx.Events();
        EXPECT_TRUE(row.act != CANCEL_WAITING ||
                    std::count(events.begin(), events.end(), "loader-mode request accepted") == 0);
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
