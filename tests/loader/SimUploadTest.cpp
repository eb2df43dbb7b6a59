// Whole uploads over a pseudo-terminal against the receiver simulator, through the real serial port.

#include "LoaderFixture.h"
#include "SimSession.h"
#include "UartPort.h"
#include "image/ProgramRecord.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

constexpr uint32_t FLASH = 0x10000000u;
constexpr uint32_t OPTIONS = 0x10005800u;

SimOptions FastOptions() {
    SimOptions o = FastSimOptions();
    o.eraseMs = 10;
    o.finishDelayMs = 50;
    return o;
}

} // namespace

class SimUploadTest : public ImageFixture {
protected:
    void SetUp() override { m_Dir.Write("tz5_sfl.hex", SfldFile("SFLD sim test 1.0", 2500)); }
    void TearDown() override {
        m_Job.reset();
        m_Session.reset();
        ImageFixture::TearDown();
    }

    void Begin(const SimOptions& options) {
        m_Session = std::make_unique<CSimSession>(options);
        std::string error;
        ASSERT_TRUE(m_Session->Start(error)) << error;
        m_Job = std::make_unique<CLoaderProtocol>(channel, &m_Session->m_Port, image, Dir());
        m_Job->m_ConnectBudget.store(5);
    }
    std::vector<uint8_t> Flash(uint32_t address, size_t count) {
        std::vector<uint8_t> all = m_Session->m_Sim->FlashCopy();
        const size_t from = address - FLASH;
        if (from + count > all.size())
            return {};
        return std::vector<uint8_t>(all.begin() + static_cast<long>(from),
                                    all.begin() + static_cast<long>(from + count));
    }
    // Runs one upload and returns its result and its duration.
    // Runs one upload; its result, and its duration in tookMs when asked for.
    bool Upload(uint32_t* tookMs = nullptr) {
        const uint32_t start = TickMs();
        const bool ok = m_Job->UploadTarget();
        if (tookMs)
            *tookMs = ElapsedMs(start);
        return ok;
    }

    std::unique_ptr<CSimSession> m_Session;
    std::unique_ptr<CLoaderProtocol> m_Job;
};

TEST_F(SimUploadTest, OptionsImageLandsAtItsAddress) {
    Begin(FastOptions());
    auto bytes = LoadOptions(0x1800, 3);
    ASSERT_TRUE(Upload()) << LogText();
    EXPECT_EQ(Flash(OPTIONS, bytes.size()), bytes);
    // The bytes around it stay erased.
    EXPECT_EQ(Flash(OPTIONS - 16, 16), std::vector<uint8_t>(16, 0xFF));
    EXPECT_EQ(m_Job->m_Progress.Get(), 1000);
    EXPECT_EQ(m_Job->m_Phase.Get(), 3);
    EXPECT_EQ(m_Session->m_Port.GetBaudIndex(), 9);
    EXPECT_EQ(m_Job->m_SfldVersion.Get(), "$VER,SFLD sim test 1.0");
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"Erasing FLASH memory", "Programming"}));
    ExpectLogOrder(
        {"Upload SFLD From file - " + Dir() + "/tz5_sfl.hex", "Baud rate - 115200", "get PFL version",
         "PFLD Version ID: $VER,PFLD_Pellar2v1.5", "TZ5 PFL - connected", "Run image at address 0x201000",
         "SFLD upload is successful", "Connect SFLD", "SFLD Connected",
         "SFLD Version ID: $VER,SFLD sim test 1.0",
         "=============== Upload section N0 ===============", "ERASE From 0x10005800 to 0x10007000",
         "FLASH erasing complete.", "Programing.", "Record write succesfull (A=0x10006800,SZ=0x0804).",
         "Record write succesfull (A=0x00000000,SZ=0x0000).", "FLASH Programing Complete."});
}

TEST_F(SimUploadTest, OlderBootLoaderIsReplacedAfterBootReloadOrGoesOnWhenRefused) {
    for (bool grant : {true, false}) {
        SimOptions options = FastOptions();
        options.bootReloadGrant = grant;
        Begin(options);
        auto bytes = LoadUnion(0x8000 + 0x2000, 4, 12);
        ASSERT_TRUE(Upload()) << LogText();
        EXPECT_EQ(LogCount(grant ? "BOOT Reload enabled."
                                 : "BOOT Reload command unsupported by this swload revision"),
                  1);
        if (grant) {
            EXPECT_EQ(Flash(FLASH, bytes.size()), bytes);
        }
        m_Job.reset();
        m_Session.reset();
    }
}

TEST_F(SimUploadTest, CancelInEachPhaseEndsAtTheNextAbortCheck) {
    const std::pair<const char*, std::function<bool(CLoaderProtocol&)>> phases[] = {
        {"loader mode", [](CLoaderProtocol& j) { return j.m_Phase.Get() == 1; }},
        {"loader into RAM",
         [](CLoaderProtocol& j) { return j.m_Phase.Get() == 1 && j.m_Progress.Get() > 0; }},
        {"greeting", [](CLoaderProtocol&) { return false; }},
        {"erase", [](CLoaderProtocol& j) { return j.m_Phase.Get() == 2; }},
        {"programming", [](CLoaderProtocol& j) { return j.m_Phase.Get() == 3 && j.m_Progress.Get() > 0; }},
    };
    for (const auto& [name, when] : phases) {
        SimOptions options = FastOptions();
        options.raw = false; // a paced line, so every phase lasts long enough to be caught in
        // A slow erase: the cancel must not wait for it (nor for its limit).
        options.eraseMs = std::string(name) == "erase" ? 4000 : 300;
        Begin(options);
        LoadOptions(0x1800, 41);
        std::atomic<bool> done{false};
        std::atomic<uint32_t> cancelledAt{0};
        // Only this thread reads the log until it has been joined.
        std::thread canceller([&, &when = when, &name = name] {
            const bool greeting = std::string(name) == "greeting";
            while (!done.load() && !(greeting ? HasLog("Connect SFLD") : when(*m_Job)))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            cancelledAt.store(TickMs());
            m_Job->m_Cancel.Set(1);
            m_Session->m_Port.WakeWaiters();
        });
        EXPECT_FALSE(m_Job->UploadTarget()) << name;
        const uint32_t took = ElapsedMs(cancelledAt.load());
        done.store(true);
        canceller.join();
        EXPECT_LT(took, 3000u) << name;
        EXPECT_FALSE(HasLog("FLASH Programing Complete.")) << name;
        m_Job.reset();
        m_Session.reset();
        ClearLogs();
    }
}

TEST_F(SimUploadTest, SecondUploadInTheSameProcess) {
    SimOptions options = FastOptions();
    options.pfldRecordWait = false; // a resident loader that never announces a frame
    Begin(options);
    // A union image whose loader is as new as the receiver's (PFL 1.5) lands at the flash base, no reload.
    auto first = LoadUnion(0x8000 + 0x2000, 5, 21);
    ASSERT_TRUE(Upload()) << LogText();
    EXPECT_EQ(Flash(FLASH, first.size()), first);
    EXPECT_EQ(LogCount("FLASH Programing Complete."), 1);
    EXPECT_EQ(LogCount("BOOT Reload enabled."), 0);
    EXPECT_EQ(LogCount("PFLD Version ID: $VER,PFLD_Pellar2v1.5"), 1);

    ASSERT_TRUE(test::WaitUntil([this] { return m_Session->m_Sim->Stage() == SimStage::Firmware; }, 15000));
    auto second = LoadOptions(0x1000, 22); // drops the first upload's log lines
    ASSERT_TRUE(Upload()) << LogText();
    EXPECT_EQ(Flash(OPTIONS, second.size()), second);
    EXPECT_EQ(LogCount("FLASH Programing Complete."), 1);
    EXPECT_GE(m_Session->m_Sim->UploadsCompleted(), 1);
}

TEST_F(SimUploadTest, PacedLineAtFullSpeed) {
    SimOptions options = FastOptions();
    options.raw = false;
    Begin(options);
    auto bytes = LoadOptions(0x1800, 31);
    uint32_t took = 0;
    ASSERT_TRUE(Upload(&took)) << LogText();
    EXPECT_EQ(Flash(OPTIONS, bytes.size()), bytes);
    // Over 10 bits per byte at 115200 bit/s the image alone needs about half a second.
    EXPECT_GE(took, 500u);
}

TEST_F(SimUploadTest, BuiltLoaderFileBesideTheProgram) {
    Begin(FastOptions());
    m_Job->SetProgramDir(""); // the folder of this executable, where the build puts the loader file
    const std::string path = m_Job->SfldPath();
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "no loader file at " << path;
    auto bytes = LoadOptions(0x1000, 51);
    ASSERT_TRUE(Upload()) << LogText();
    EXPECT_EQ(Flash(OPTIONS, bytes.size()), bytes);
    EXPECT_EQ(LogCount("Upload SFLD From file - " + path), 1);
}

TEST_F(SimUploadTest, UartDrainWaitsTheLineTimeAndGivesUpOnAStuckAdapter) {
    Begin(FastOptions());
    CUartPort uart(m_Session->m_Port);
    m_Job->SetPort(&uart);
    auto bytes = LoadOptions(0x1800, 61);
    ASSERT_TRUE(Upload()) << LogText();
    EXPECT_EQ(Flash(OPTIONS, bytes.size()), bytes);
    int frames = 0;
    for (const std::string& line : Logs())
        frames += line.rfind("Record write", 0) == 0 ? 1 : 0;
    // A few looks per frame, not one per transmit pass for as long as the frame is on the line.
    EXPECT_LE(uart.m_TxPolls.load(), 4u * frames + 8) << frames << " frames";

    // At 300 bit/s a frame is on the line for longer than the margin: that is no fault of the adapter.
    m_Job->m_Timings.txDrainMs = 200;
    m_Job->m_Timings.recordAckMs = 50;
    m_Job->m_Timings.sendRecordMs = 50;
    m_Job->m_RecordWait.store(0);
    ProgramRecord record;
    record.SetCommand(OPTIONS, OPTIONS + 0x100);
    m_Session->m_Port.SetBaudSetting(0);
    ClearLogs();
    m_Job->SendRecord(record); // nobody acknowledges it
    m_Session->m_Port.SetBaudSetting(9);
    for (const std::string& line : Logs())
        EXPECT_EQ(line.find("not drained"), std::string::npos) << line;
    // An adapter that stops draining without hanging up fails the frame once, within its limit.
    uart.Stall();
    ClearLogs();
    record.SetEmpty();
    EXPECT_FALSE(m_Job->SendRecord(record));
    ASSERT_EQ(Logs().size(), 1u) << LogText();
    EXPECT_EQ(Logs()[0].rfind("ERROR: serial output not drained", 0), 0u) << Logs()[0];
}

// Receiver behaviours the process-level fault matrix leaves out: a firmware that takes only the LDR sentence,
// and a sector erase just inside and just outside the erase limit.
TEST_F(SimUploadTest, LdrOnlyFirmwareAndTheSectorEraseLimit) {
    const struct {
        SimFault fault;
        uint32_t eraseMs;
        bool result;
        std::vector<std::string> lines; // in this order; for a failure the last one ends the log
    } rows[] = {
        {SimFault::LdrOnly, 10, true, {"TZ5 PFL - connected", "FLASH Programing Complete."}},
        {SimFault::SlowErase, 450, true, {"FLASH erasing complete.", "FLASH Programing Complete."}},
        {SimFault::SlowErase, 750, false, {"'SECTOR_ERASED' waiting time out."}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.eraseMs);
        SimOptions options = FastOptions();
        options.fault = row.fault;
        options.eraseMs = options.faultArg = row.eraseMs;
        Begin(options);
        m_Job->m_ConnectBudget.store(1);
        m_Job->m_Timings.sectorEraseMs = 600;
        LoadOptions(0x1800, 41);
        EXPECT_EQ(Upload(), row.result) << LogText();
        ExpectLogOrder(row.lines);
        EXPECT_TRUE(row.result || Logs().back() == row.lines.back()) << LogText();
        m_Job.reset();
        m_Session.reset();
        ClearLogs();
    }
}

// Only bytes that passed the image check, and only inside the erased range, reach the flash: the file
// changed while it is programmed, lines after the bad line that ended an S-record check, and a frame outside
// the erase range however it came about (here the section's range is shrunk after the load).
TEST_F(SimUploadTest, OnlyCheckedBytesInsideTheEraseReachTheFlash) {
    const Bytes firmware = UnionImage(0x8000 + 0x10000, "T200", 5, 71),
                other = UnionImage(0x18000, "T200", 5, 72);
    OptionsParams params;
    params.size = 0x900; // the bad line comes inside a frame, not at its start
    params.checksum = false;
    const Bytes options = Built(BuildOptionsImage, params);
    const std::string records = ToSRecords(options, OPTIONS, 0, "o");
    const std::string after =
        records + "S3 bad\r\n" + SRecordLineText(3, 0x10300000, options.data(), 16) + "\r\n";
    const std::string whole(firmware.begin(), firmware.end());
    const auto truncated = [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 0x9000), 0); };
    const auto rewritten = [&other](const std::string& path) { OverwriteInPlace(path, other); };
    const struct {
        const char* name;
        std::string file;
        std::function<void(const std::string& path)> change; // once programming has begun
        uint32_t shrinkTo;                                   // the section's size after the load; 0 keeps it
        bool result;
        Bytes programmed; // from the section's start
    } rows[] = {
        {"truncated during programming", whole, truncated, 0, true, firmware},
        {"rewritten in place during programming", whole, rewritten, 0, true, firmware},
        {"S-records after the entry and a bad line", after, nullptr, 0, true, options},
        {"frame outside the erased range", records, nullptr, 0x800, false,
         Bytes(options.begin(), options.begin() + 0x800)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SimOptions o = FastOptions();
        o.programMs = 20; // programming lasts long enough to change the file while it runs
        Begin(o);
        const std::string path = m_Dir.Write("changing", row.file);
        ASSERT_TRUE(LoadImage(image, path, channel));
        if (row.shrinkTo != 0)
            image.Section(0).size = row.shrinkTo;
        const uint32_t start = image.Section(0).start, end = start + image.Section(0).size;
        ClearLogs();
        std::atomic<bool> done{false};
        std::thread changer([&] {
            if (row.change &&
                test::WaitUntil(
                    [&] { return done.load() || (m_Job->m_Phase.Get() == 3 && m_Job->m_Progress.Get() > 0); },
                    60000) &&
                !done.load())
                row.change(path);
        });
        const bool ok = Upload();
        done.store(true);
        changer.join();
        EXPECT_EQ(ok, row.result) << LogText();
        if (!row.result) {
            EXPECT_EQ(
                Logs().back().rfind("ERROR: frame outside the erased range (A=0x10006000,SZ=0x0100;", 0), 0u)
                << LogText();
            const auto statuses = Statuses();
            EXPECT_EQ(statuses.back(), "ERROR: frame outside the erased range");
        }
        // What was programmed, and erased flash everywhere outside the erase range.
        EXPECT_EQ(Flash(start, row.programmed.size()), row.programmed);
        const std::vector<uint8_t> all = m_Session->m_Sim->FlashCopy();
        size_t outside = 0;
        for (size_t i = 0; i < all.size(); ++i)
            outside += (i < start - FLASH || i >= end - FLASH) && all[i] != 0xFF ? 1 : 0;
        EXPECT_EQ(outside, 0u);
        m_Job.reset();
        m_Session.reset();
        image.Close();
        ClearLogs();
    }
}
