// The simulator driven by the tool's own loader and serial code over a real pseudo-terminal, in strict mode:
// each receiver behaviour does what it claims, and a correct host records no violation.

#include "LoaderFixture.h"
#include "SimSession.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

const uint32_t OPTIONS_AT = 0x10005800u;

SimOptions Strict() {
    SimOptions o = FastSimOptions(true);
    o.finishDelayMs = 300;
    o.rebootMs = 50;
    return o;
}

} // namespace

class SimHost : public ImageFixture {
protected:
    void SetUp() override { m_Dir.Write("tz5_sfl.hex", SfldFile("SFLD sim 1.0", 2500)); }
    // A fresh receiver (the previous one, if any, goes first) and the tool's loader on its terminal.
    void Begin(const SimOptions& o) {
        job.reset();
        session.reset();
        session = std::make_unique<CSimSession>(o);
        std::string error;
        ASSERT_TRUE(session->Start(error)) << error;
        job = std::make_unique<CLoaderProtocol>(channel, &session->m_Port, image, Dir());
        job->m_ConnectBudget.store(2);
        job->m_Timings.bootReloadMs = 200;
    }
    CSimReceiver& Rx() { return *session->m_Sim; }
    // Every byte that arrives until quietMs pass without one (at most 5 s).
    std::string Received(uint32_t quietMs = 600) {
        std::string s;
        uint8_t b = 0;
        const uint32_t start = TickMs();
        while (ElapsedMs(start) < 5000 && session->m_Port.WaitRx(quietMs) && session->m_Port.ReadByte(b))
            s.push_back(static_cast<char>(b));
        return s;
    }
    std::vector<uint8_t> Flash(uint32_t address, size_t count) {
        std::vector<uint8_t> all = Rx().FlashCopy();
        auto from = all.begin() + (address - SIM_FLASH_BASE);
        return std::vector<uint8_t>(from, from + static_cast<long>(count));
    }
    std::string ViolationList() {
        std::string s;
        for (const SimViolation& v : Rx().Violations())
            s += ViolationText(v) + "\n";
        return s;
    }

    std::unique_ptr<CSimSession> session;
    std::unique_ptr<CLoaderProtocol> job;
};

// Each receiver behaviour against the tool's loader code: the upload succeeds, the host logs what the
// behaviour makes it log, the flash holds the image, the completion mark is what the behaviour sends, and a
// correct host records no violation.
TEST_F(SimHost, BehavioursThroughTheToolsLoaderCode) {
    struct Case {
        SimFault fault;
        uint32_t arg, idBytes;
        bool unionImage; // PFL 1.4 against the receiver's 1.5: BOOT_RELOAD first
        std::vector<std::string> lines;
        std::string mark;
        uint32_t idleRebootMs = 0; // a loader restarts the receiver after this much silence
    };
    // clang-format off
    const Case cases[] = {
        {SimFault::None, 0, 8, true, {"BOOT Reload enabled.", "Sectors to erase N = 6.", "6 sectors erased.",
                                      "FLASH Programing Complete."}, "UUU"},
        {SimFault::ParamOutsideErase, 0, 8, true, {"BOOT Reload enabled.", "FLASH Programing Complete."}, "UUU"},
        {SimFault::LateHello, 5, 8, false, {"SFLD Version ID: $VER,\xAASFLD sim 1.0", "FLASH Type: AM29LV320DB"}, "UUU"},
        {SimFault::NoBootReload, 0, 8, true, {"'BOOT_RELOAD' waiting time out.", "FLASH Programing Complete."}, "UUU"},
        {SimFault::ProgramFailOk, 2, 8, false, {"'PROGRAM_FAIL' msg received.", "FLASH Programing Complete."}, "UUU"},
        {SimFault::None, 0, 2, false, {"FLASH Type: Flash: AMD29LV200B"}, "UUU"}, // CFI flag 1 read as the type
        {SimFault::None, 0, 7, false, {"FLASH Type: Flash: AMD29LV200B"}, "UUU"},
        {SimFault::MarkU, 0, 8, false, {}, "U"},
        {SimFault::MarkUux, 0, 8, false, {}, "UUx"},
        {SimFault::NoComplete, 0, 8, false, {}, ""},
        {SimFault::SlowErase, 500, 8, false, {"FLASH Programing Complete."}, "UUU", 350}, // erasing is not silence
    };
    // clang-format on
    uint64_t plainBytes = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(SimFaultName(c.fault)) + " id bytes " + std::to_string(c.idBytes) + " " +
                     c.mark);
        SimOptions o = Strict();
        o.fault = c.fault;
        o.faultArg = c.arg;
        o.flashIdBytes = c.idBytes;
        o.loaderIdleRebootMs = c.idleRebootMs;
        Begin(o);
        std::vector<uint8_t> bytes = c.unionImage ? LoadUnion(0x8000 + 0x3000, 4, 3) : LoadOptions(0x1800, 5);
        ASSERT_TRUE(job->UploadTarget()) << LogText();
        ExpectLogOrder(c.lines);
        EXPECT_EQ(Flash(c.unionImage ? SIM_FLASH_BASE : OPTIONS_AT, bytes.size()), bytes);
        std::string after = Received();
        EXPECT_EQ(after.substr(after.size() - std::min(after.size(), c.mark.size())), c.mark) << after;
        EXPECT_TRUE(!c.mark.empty() || after.empty()) << after;
        EXPECT_EQ(Rx().ViolationCount(), 0u) << ViolationList();
        // The parameters leave no trace in the host's log; they show in the bytes sent.
        if (c.fault == SimFault::None && c.unionImage)
            plainBytes = Rx().Stats().bytesToHost;
        if (c.fault == SimFault::ParamOutsideErase) {
            EXPECT_GT(Rx().Stats().bytesToHost, plainBytes + 100);
        }
        ClearLogs();
    }
}

TEST_F(SimHost, MuteAfterUplStillObeysTheLoaderSentencesAndTheRestartReportsTheNewFirmware) {
    SimOptions o = Strict();
    o.fault = SimFault::MuteAfterUpl;
    o.rebootSerial = "S9";
    Begin(o);
    LoadUnion(0x8000 + 0x2000, 5, 9);
    session->m_Port.SendString("$PQELQ,RID\r\n");
    EXPECT_EQ(Received(), "$PQELR,RID,TZ5N,0102*5F\r\n");
    session->m_Port.SendString("$PQELS,PFL,UPL\r\n$PQELQ,RID\r\n$PQELQ,RIO\r\n");
    EXPECT_EQ(Received(), "");
    ASSERT_TRUE(job->UploadTarget()) << LogText();
    EXPECT_EQ(Rx().ViolationCount(), 0u) << ViolationList();
    ASSERT_TRUE(test::WaitUntil([this] { return Rx().Stage() == SimStage::Firmware; }));
    Received();
    session->m_Port.SendString("$PQELQ,RIO\r\n");
    EXPECT_EQ(Received().substr(0, 33), "$PQELR,RIO,TZ5N,T200,0,GPS-GLO,S9");
}

// A byte the receiver does not expect where it is becomes a violation with its state and byte.
TEST_F(SimHost, StrayBytesAreViolations) {
    struct Stray {
        SimStartStage start;
        bool upload; // after a whole upload, with the SFLD waiting to send its mark
        std::string lead, stray, state;
        int byte;
    };
    const Stray cases[] = {
        {SimStartStage::Firmware, false, "", "\x55", "firmware: byte outside a sentence", 0x55},
        {SimStartStage::Firmware, false, "", "$PQELQ,XYZ\r\n", "firmware: unknown sentence $PQELQ,XYZ", '\n'},
        {SimStartStage::Pfld, false, "$PQELS,PFL,LOA\r\n\x55", "$PQELQ,RID\r\n",
         "PFLD link: sentence $PQELQ,RID", '\n'},
        {SimStartStage::Firmware, false, "$PQELS,PFL,LDR\r\n\x55", "$PQELQ,RIO\r\n",
         "PFLD link: sentence $PQELQ,RIO", '\n'},
        {SimStartStage::Firmware, true, "", "$PQELQ,RID\r\n", "SFLD: unknown command", '$'},
    };
    for (const Stray& c : cases) {
        SCOPED_TRACE(c.state);
        SimOptions o = Strict();
        o.start = c.start;
        o.finishDelayMs = 10000; // the SFLD keeps waiting for quiet
        Begin(o);
        if (c.upload) {
            LoadOptions(0x800, 4);
            ASSERT_TRUE(job->UploadTarget()) << LogText();
        }
        session->m_Port.SendString(c.lead.c_str());
        if (!c.lead.empty())
            Received();
        EXPECT_EQ(Rx().ViolationCount(), 0u) << ViolationList();
        session->m_Port.SendString(c.stray.c_str());
        ASSERT_TRUE(test::WaitUntil([this] { return Rx().ViolationCount() > 0; }));
        SimViolation v = Rx().Violations().front();
        EXPECT_EQ(v.state, c.state);
        EXPECT_EQ(v.byte, c.byte);
        EXPECT_GT(v.position, c.lead.size());
    }
}

TEST_F(SimHost, NoiseAnyCarriesMeaningfulBytesAlsoInsideSentences) {
    SimOptions o = Strict();
    o.fault = SimFault::NoiseAny;
    o.faultArg = 2;
    o.nmeaNoiseMs = 3;
    Begin(o);
    std::string heard;
    ASSERT_TRUE(test::WaitUntil(
        [&] {
            heard += Received(20);
            return heard.size() > 4000;
        },
        20000));
    for (char c : std::string("$DU\r\n"))
        EXPECT_NE(heard.find(c), std::string::npos) << int(c);
    // Some sentence has noise between its '$' and its '*': a byte no GGA body holds.
    bool broken = false;
    for (size_t at = heard.find("$GPGGA"); at != std::string::npos; at = heard.find("$GPGGA", at + 1)) {
        std::string body = heard.substr(at + 1, heard.find('*', at) - at - 1);
        broken |= body.find_first_of("$DU\r\n") != std::string::npos;
    }
    EXPECT_TRUE(broken);
}
