// The upload worker end to end over a pseudo-terminal: whole jobs against the simulated receiver, cancels in
// each waiting phase, the completion mark and the port speed put back after the job.

#include "TestImages.h"
#include "UploadHarness.h"

#include "image/LoadImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

using namespace upt;

namespace {

const std::string RID = "$PQELQ,RID\r\n";
const std::string RIO = "$PQELQ,RIO\r\n";
const std::string STARS = "**********************";

// True when want appears in have in this order (other lines may come between).
bool InOrder(const std::vector<std::string>& have, const std::vector<std::string>& want) {
    size_t at = 0;
    for (const auto& line : have)
        if (at < want.size() && line == want[at])
            ++at;
    return at == want.size();
}

bool Contains(const std::vector<std::string>& have, const std::string& line) {
    return std::find(have.begin(), have.end(), line) != have.end();
}

} // namespace

class UploadJobTest : public ::testing::Test {
protected:
    void SetUp() override { WriteSfldFile(m_Dir + "/tz5_sfl.hex", "SFLD upload 1.0", 3000); }
    void TearDown() override {
        m_Harness.reset();
        std::filesystem::remove_all(m_Dir);
    }

    std::vector<uint8_t> LoadUnion(uint32_t total) {
        const std::string path = m_Dir + "/union.bin";
        auto bytes = WriteUnionImage(path, total, "T100", 1, 5);
        EXPECT_TRUE(LoadImage(h.m_System.m_Image, path, h.m_System.m_Channel));
        return bytes;
    }
    void Connect(const std::string& path, bool requestChecks) {
        h.Start(requestChecks);
        ASSERT_TRUE(h.OpenPort(path));
    }
    void ConnectSim(const SimOptions& o = FastSim(), bool requestChecks = false) {
        sim = std::make_unique<CSim>(o);
        ASSERT_TRUE(sim->Ok());
        Connect(sim->Path(), requestChecks);
    }
    // A far end identified once by the check the dialog asks for, silent afterwards.
    void ConnectIdentifiedThenSilent() {
        peer = std::make_unique<CScriptedPeer>([](const std::string& s, int n) -> std::string {
            if (n > 2)
                return {};
            return s == RID ? Nmea("PQELR,RID,TZ5N,0102") : s == RIO ? Nmea("PQELR,NAK") : std::string();
        });
        ASSERT_TRUE(peer->Ok());
        h.m_System.m_Check.m_Timing.checkLimitMs = 300;
        h.m_System.m_Check.m_Timing.sentenceLimitMs = 100;
        Connect(peer->Path(), true);
        ASSERT_TRUE(WaitUntil([&] { return h.m_System.m_Check.m_Identified.Get() == 1; }));
        LoadUnion(0x9000);
    }
    bool FlashHolds(const std::vector<uint8_t>& image) {
        const std::vector<uint8_t> flash = sim->Receiver().FlashCopy();
        return flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin());
    }
    // What the upload command does before it starts the job.
    void StartLikeTheDialog() {
        h.Port().SendString("$PQELS,PFL,UPL\r\n");
        job.StartUpload();
    }
    bool WaitJobEnd(uint32_t ms = 60000) {
        return WaitUntil([&] { return job.m_Start.Get() == 0; }, ms);
    }
    // The job ended in failure: shows the failure, never the success, and tells a cancel by its status.
    void ExpectFailed(bool canceled) {
        EXPECT_EQ(job.m_Result.Get(), 0);
        const auto statuses = h.Statuses();
        EXPECT_TRUE(Contains(statuses, "ERROR: upload failed"));
        EXPECT_FALSE(Contains(statuses, "Upload complete"));
        if (canceled)
            EXPECT_TRUE(InOrder(statuses, {"ERROR: upload failed", "Upload canceled"}));
        else
            EXPECT_FALSE(Contains(statuses, "Upload canceled"));
    }

    std::string m_Dir = MakeTempDir("upload");
    std::unique_ptr<CSim> sim;
    std::unique_ptr<CScriptedPeer> peer;
    std::unique_ptr<CHarness> m_Harness = std::make_unique<CHarness>(m_Dir);
    CHarness& h = *m_Harness;
    CUploadJob& job = h.m_System.m_Job;
};

TEST_F(UploadJobTest, WholeJobFromAnIdentifiedReceiver) {
    // The port open raises the cell; the stand-in dialog answers with a check.
    ConnectSim(FastSim(), true);
    ASSERT_TRUE(WaitUntil([&] { return h.m_System.m_Check.m_Identified.Get() == 1; }));
    const auto image = LoadUnion(0xC000);
    const int baudBefore = h.Port().GetBaudIndex();

    StartLikeTheDialog();
    ASSERT_TRUE(
        WaitUntil([&] { return job.m_Start.Get() == 1 || h.LogCount("*** FLASH Upload ****") == 1; }));
    ASSERT_TRUE(WaitJobEnd()) << h.LogText();

    EXPECT_EQ(job.m_Result.Get(), 1) << h.LogText();
    EXPECT_EQ(job.m_Progress.Get(), 1000);
    EXPECT_EQ(job.m_FlashWriting.Get(), 0);
    EXPECT_EQ(job.m_PfldVersion.Get(), "");
    EXPECT_TRUE(FlashHolds(image));
    EXPECT_EQ(sim->Receiver().UploadsCompleted(), 1);
    EXPECT_EQ(h.Port().GetBaudIndex(), baudBefore);
    // The restarted receiver identified itself again within the restart phase.
    EXPECT_EQ(h.m_System.m_Check.m_Identified.Get(), 1);

    const auto statuses = h.Statuses();
    EXPECT_TRUE(InOrder(statuses, {"Wait for upload to complete.", "Upload complete"}));
    EXPECT_FALSE(Contains(statuses, "ERROR: upload failed"));
    EXPECT_FALSE(Contains(statuses, "Upload canceled"));
    const auto logs = h.Logs();
    EXPECT_TRUE(InOrder(logs, {STARS, "*** FLASH Upload ****", STARS, "delay before upload",
                               "Wait for receiver check", "Check receiver", "SFLD upload is successful",
                               "wait for upload to complete", "upload complete", "delay after upload",
                               "Wait for receiver check", "continue", STARS}))
        << h.LogText();
    // Only the marks came: the first two are collected, the third ended the wait.
    const int wait = h.LogIndex("wait for upload to complete");
    ASSERT_GE(wait, 0);
    EXPECT_EQ(logs[wait + 1], "UU\r\n") << h.LogText();
}

TEST_F(UploadJobTest, PortSpeedIsRestoredAfterTheJob) {
    job.m_JobTiming.restartIdentifyMs = 300;
    ConnectSim();
    const auto image = LoadUnion(0x9000);
    h.Port().SetBaudIndex(5);
    ASSERT_EQ(h.Port().GetBaudIndex(), 5);

    // Nobody identified the receiver: the job goes straight to the target upload.
    job.StartUpload();
    ASSERT_TRUE(WaitJobEnd()) << h.LogText();
    EXPECT_EQ(job.m_Result.Get(), 1) << h.LogText();
    EXPECT_TRUE(FlashHolds(image));
    EXPECT_EQ(h.Port().GetBaudIndex(), 5);
    EXPECT_EQ(h.m_System.m_PortWorker.m_SerialPort.BaudRate(), 9600);
    EXPECT_EQ(h.Port().m_SavedBaud.load(), 5);
    EXPECT_EQ(h.LogCount("delay before upload"), 0);
    EXPECT_EQ(h.LogCount("Baud rate - 9"), 1); // the loader link ran at 115200 in between
    EXPECT_GE(h.LogIndex("continue"), 0);
}

TEST_F(UploadJobTest, ReceiverNeverBackWaitsTheWholeBudget) {
    // Identified once, then silent: the wait lasts the budget, asking for a check on every pass.
    job.m_ConnectBudget.store(5); // 5 units of 200 ms
    job.m_Timings.pfldVersionMs = 200;
    ConnectIdentifiedThenSilent();

    const uint32_t start = TickMs();
    StartLikeTheDialog();
    ASSERT_TRUE(WaitJobEnd()) << h.LogText();
    EXPECT_GE(ElapsedMs(start), 1000u);
    ExpectFailed(false);
    // The first check plus the requests while waiting.
    EXPECT_GE(h.LogCount("Check receiver"), 3) << h.LogText();
    EXPECT_TRUE(
        InOrder(h.Logs(), {"Wait for receiver check", "Upload SFLD From file - " + m_Dir + "/tz5_sfl.hex",
                           "ERROR: upload failed"}));
    EXPECT_GE(peer->Count("$PQELS,PFL,LOA\r\n"), 1);
}

TEST_F(UploadJobTest, NegativeBudgetSkipsTheReceiverWait) {
    job.m_ConnectBudget.store(-1);
    job.m_Timings.pfldVersionMs = 200;
    ConnectIdentifiedThenSilent();

    StartLikeTheDialog();
    ASSERT_TRUE(WaitJobEnd(10000)) << h.LogText();
    ExpectFailed(false);
    EXPECT_TRUE(InOrder(h.Logs(), {"Wait for receiver check", "Baud rate - 115200", "get PFL version"}));
    EXPECT_EQ(peer->Count("$PQELS,PFL,LOA\r\n"), 0); // no loader-mode attempt either
}

TEST_F(UploadJobTest, CancelDuringTheReceiverWait) {
    job.m_ConnectBudget.store(150); // 30 s
    job.m_JobTiming.recheckPauseMs = 1000;
    ConnectIdentifiedThenSilent();

    StartLikeTheDialog();
    ASSERT_TRUE(WaitUntil([&] { return h.LogCount("Wait for receiver check") == 1; }));
    const uint32_t cancelAt = TickMs();
    job.CancelUpload();
    ASSERT_TRUE(WaitJobEnd());
    EXPECT_LT(ElapsedMs(cancelAt), 5000u);
    ExpectFailed(true);
    // The loader-mode sentences were never sent: the target upload ended at its first abort test.
    EXPECT_EQ(peer->Count("$PQELS,PFL,LOA\r\n"), 0);
    EXPECT_TRUE(
        InOrder(h.Logs(), {"Wait for receiver check", "ERROR: upload failed", "Upload cancel", STARS}));
    EXPECT_EQ(h.LogCount("wait for upload to complete"), 0);
}

TEST_F(UploadJobTest, CancelDuringProgramming) {
    SimOptions o = FastSim();
    o.programMs = 40;
    ConnectSim(o);
    LoadUnion(0x40000);
    const int baudBefore = h.Port().GetBaudIndex();

    job.StartUpload();
    ASSERT_TRUE(WaitUntil([&] { return job.m_Phase.Get() == 3 && job.m_Progress.Get() > 0; }, 60000))
        << h.LogText();
    EXPECT_EQ(job.m_FlashWriting.Get(), 1);
    const uint32_t cancelAt = TickMs();
    job.CancelUpload();
    ASSERT_TRUE(WaitJobEnd());
    EXPECT_LT(ElapsedMs(cancelAt), 5000u);
    ExpectFailed(true);
    EXPECT_EQ(job.m_FlashWriting.Get(), 0);
    EXPECT_LT(job.m_Progress.Get(), 1000);
    EXPECT_EQ(sim->Receiver().UploadsCompleted(), 0);
    EXPECT_EQ(h.Port().GetBaudIndex(), baudBefore);
    EXPECT_EQ(h.LogCount("Upload cancel"), 1);
}

TEST_F(UploadJobTest, MissingCompletionMarkFailsTheJob) {
    SimOptions o = FastSim();
    o.fault = SimFault::NoComplete;
    job.m_JobTiming.completionWaitMs = 1500;
    ConnectSim(o);
    const auto image = LoadUnion(0x9000);

    job.StartUpload();
    ASSERT_TRUE(WaitJobEnd()) << h.LogText();
    ExpectFailed(false);
    EXPECT_TRUE(FlashHolds(image)); // programmed, but the receiver never said so
    EXPECT_TRUE(InOrder(h.Statuses(), {"Wait for upload to complete.", "ERROR: upload failed"}));
    EXPECT_EQ(h.LogCount("upload complete"), 0);
    EXPECT_EQ(h.LogCount("continue"), 0);
}

TEST_F(UploadJobTest, SilentReceiverFailsWithoutCompletionWait) {
    SimOptions o = FastSim();
    o.fault = SimFault::Silent;
    job.m_ConnectBudget.store(3);
    job.m_Timings.pfldVersionMs = 200;
    ConnectSim(o);
    LoadUnion(0x9000);

    job.StartUpload();
    ASSERT_TRUE(WaitJobEnd()) << h.LogText();
    EXPECT_EQ(job.m_Result.Get(), 0);
    EXPECT_EQ(h.Statuses(), std::vector<std::string>{"ERROR: upload failed"});
    EXPECT_EQ(h.LogCount("wait for upload to complete"), 0);
    EXPECT_TRUE(InOrder(h.Logs(), {"TZ5 PFL - not connected", "ERROR: upload failed", STARS}));
}

TEST_F(UploadJobTest, ShutdownDuringAJobEndsPromptly) {
    SimOptions o = FastSim();
    o.programMs = 40;
    ConnectSim(o);
    LoadUnion(0x40000);
    job.StartUpload();
    ASSERT_TRUE(WaitUntil([&] { return job.m_Phase.Get() == 3; }, 60000));
    const uint32_t start = TickMs();
    m_Harness.reset();
    EXPECT_LT(ElapsedMs(start), 5000u);
}

// ---------------------------------------------------------------------------------------------------------
// The completion mark: byte patterns written by a scripted far end, read by the job's wait.

class CompletionMarkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        h.m_System.m_Job.m_JobTiming.completionWaitMs = 600;
        h.m_System.m_Job.m_JobTiming.completionPollMs = 20;
        h.Start(false);
        ASSERT_TRUE(h.OpenPort(peer.Path()));
    }
    // Writes bytes, runs the wait on this thread (the upload worker is idle) and returns its answer.
    bool Run(const std::string& bytes) {
        peer.Write(bytes);
        // The bytes are in the receive ring before the wait starts looking.
        WaitUntil([&] {
            auto& port = h.m_System.m_PortWorker.m_SerialPort;
            return bytes.empty() || port.WaitRx(10);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return h.m_System.m_Job.WaitCompletionMark();
    }

    CScriptedPeer peer{[](const std::string&, int) { return std::string(); }};
    CHarness h;
};

TEST_F(CompletionMarkTest, ThirdMarkEndsTheWaitAndTheRestIsLogged) {
    const uint32_t start = TickMs();
    EXPECT_TRUE(Run("xUyUzUtail"));
    // One byte per pause: six bytes, five pauses, well inside the 600 ms limit.
    EXPECT_GE(ElapsedMs(start), 5u * 20u);
    EXPECT_GE(h.LogIndex("xUyUz\r\n"), 0) << h.LogText();
    // The wait stopped at the third mark; what followed is still waiting in the port.
    uint8_t b = 0;
    ASSERT_TRUE(h.Port().ReadByte(b));
    EXPECT_EQ(b, 't');
}

TEST_F(CompletionMarkTest, OtherPatterns) {
    struct Case {
        const char* bytes;
        bool done;
        const char* logged;
        uint32_t atLeastMs; // the whole limit when the wait ran out
    } cases[] = {
        {"U", true, "U\r\n", 600},    // a single mark, then silence, counts as done
        {"UUx", false, "UUx\r\n", 0}, // a byte after the marks fails
        {"", false, "\r\n", 600},     // nothing at all fails
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        const uint32_t start = TickMs();
        EXPECT_EQ(Run(c.bytes), c.done);
        EXPECT_GE(ElapsedMs(start), c.atLeastMs);
        EXPECT_GE(h.LogIndex(c.logged), 0) << h.LogText();
    }
}
