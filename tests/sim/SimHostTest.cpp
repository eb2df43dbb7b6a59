// The simulator driven by the tool's own loader and serial code over a real pseudo-terminal, in strict mode:
// each receiver behaviour does what it claims, and a correct host records no violation.

#include "LoaderFixture.h"
#include "SimSession.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

const uint32_t OPTIONS_AT = 0x10005800u;

SimOptions Strict() {
    SimOptions o;
    o.raw = true;
    o.strict = true;
    o.eraseMs = 5;
    o.programMs = 1;
    o.finishDelayMs = 300;
    o.rebootMs = 50;
    o.helloIntervalMs = 20;
    return o;
}

struct HostCase {
    const char* name;
    std::function<void(SimOptions&)> set;
    bool unionImage;                // else an Options image
    std::vector<std::string> lines; // logged in this order by the host
    std::string mark;               // what follows the upload (after any answer to poke)
    std::vector<uint8_t> poke = {}; // sent by the host right after the upload
};

void PrintTo(const HostCase& c, std::ostream* os) {
    *os << c.name;
}

} // namespace

class SimHost : public ImageFixture {
protected:
    void SetUp() override { WriteSfldFile(Dir() + "/tz5_sfl.hex", "SFLD sim 1.0", 2500); }
    void TearDown() override {
        job.reset();
        session.reset();
        ImageFixture::TearDown();
    }
    void Begin(const SimOptions& o) {
        session = std::make_unique<CSimSession>(o);
        std::string error;
        ASSERT_TRUE(session->Start(error)) << error;
        job = std::make_unique<CLoaderProtocol>(channel, &session->m_Port, image, Dir());
        job->m_ConnectBudget.store(2);
        job->m_Timings.bootReloadMs = 200;
    }
    CSimReceiver& Rx() { return *session->m_Sim; }
    void Write(const std::vector<uint8_t>& b) {
        session->m_Port.Send(b.data(), static_cast<uint32_t>(b.size()));
    }
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

class SimHostCases : public SimHost, public ::testing::WithParamInterface<HostCase> {};

TEST_P(SimHostCases, UploadThroughTheToolsLoaderCode) {
    const HostCase& c = GetParam();
    SimOptions o = Strict();
    c.set(o);
    Begin(o);
    // A union image with PFL 1.4 against the receiver's 1.5 asks for BOOT_RELOAD.
    std::vector<uint8_t> bytes = c.unionImage ? LoadUnion(0x8000 + 0x3000, 4, 3) : LoadOptions(0x1800, 5);
    ASSERT_TRUE(job->UploadTarget()) << LogText();
    ExpectLogOrder(c.lines);
    EXPECT_EQ(Flash(c.unionImage ? SIM_FLASH_BASE : OPTIONS_AT, bytes.size()), bytes);
    Write(c.poke);
    std::string after = Received();
    EXPECT_EQ(after.substr(after.size() - std::min(after.size(), c.mark.size())), c.mark) << after;
    if (c.mark.empty()) {
        EXPECT_EQ(after, "");
    }
    EXPECT_EQ(Rx().ViolationCount(), 0u) << ViolationList();
}

INSTANTIATE_TEST_SUITE_P(
    Behaviours, SimHostCases,
    ::testing::Values(
        HostCase{
            "Plain", [](SimOptions&) {}, true, {"BOOT Reload enabled.", "FLASH Programing Complete."}, "UUU"},
        // A stray command after the last frame only delays the completion mark.
        HostCase{"MarkAfterAStrayCommand", [](SimOptions&) {}, false, {}, "\r\nUUU", {0x90}},
        HostCase{"ParamOutsideErase",
                 [](SimOptions& o) { o.fault = SimFault::ParamOutsideErase; },
                 true,
                 {"BOOT Reload enabled.", "FLASH erasing complete.", "FLASH Programing Complete."},
                 "UUU"},
        HostCase{"LateHello",
                 [](SimOptions& o) {
                     o.fault = SimFault::LateHello;
                     o.faultArg = 5;
                 },
                 false,
                 {"SFLD Version ID: $VER,\xAASFLD sim 1.0", "FLASH Type: AM29LV320DB"},
                 "UUU"},
        HostCase{"NoBootReload",
                 [](SimOptions& o) { o.fault = SimFault::NoBootReload; },
                 true,
                 {"'BOOT_RELOAD' waiting time out.", "FLASH Programing Complete."},
                 "UUU"},
        HostCase{"ProgramFailThenOk",
                 [](SimOptions& o) {
                     o.fault = SimFault::ProgramFailOk;
                     o.faultArg = 2;
                 },
                 false,
                 {"'PROGRAM_FAIL' msg received.", "FLASH Programing Complete."},
                 "UUU"},
        HostCase{"ShortFlashIdOfTwoBytes",
                 [](SimOptions& o) {
                     o.flashShortType = 8;
                     o.flashIdBytes = 2;
                 },
                 false,
                 {"FLASH Type: Flash: TC58FVB321FT"},
                 "UUU"},
        HostCase{"ShortFlashIdOfSevenBytes",
                 [](SimOptions& o) { o.flashIdBytes = 7; },
                 false,
                 {"FLASH Type: Flash: AMD29LV200B"},
                 "UUU"},
        HostCase{"MarkU", [](SimOptions& o) { o.fault = SimFault::MarkU; }, false, {}, "U"},
        HostCase{"MarkUux", [](SimOptions& o) { o.fault = SimFault::MarkUux; }, false, {}, "UUx"},
        HostCase{"NoComplete", [](SimOptions& o) { o.fault = SimFault::NoComplete; }, false, {}, ""}),
    [](const ::testing::TestParamInfo<HostCase>& info) { return std::string(info.param.name); });

TEST_F(SimHost, MuteAfterUplStillObeysTheLoaderSentences) {
    SimOptions o = Strict();
    o.fault = SimFault::MuteAfterUpl;
    Begin(o);
    std::vector<uint8_t> bytes = LoadOptions(0x800, 9);
    session->m_Port.SendString("$PQELQ,RID\r\n");
    EXPECT_NE(Received().find("$PQELR,RID,TZ5N,0102*"), std::string::npos);
    session->m_Port.SendString("$PQELS,PFL,UPL\r\n$PQELQ,RID\r\n$PQELQ,RIO\r\n");
    EXPECT_EQ(Received(), "");
    ASSERT_TRUE(job->UploadTarget()) << LogText();
    EXPECT_EQ(Flash(OPTIONS_AT, bytes.size()), bytes);
    EXPECT_EQ(Rx().ViolationCount(), 0u) << ViolationList();
    // The restarted firmware answers again.
    ASSERT_TRUE(Eventually([this] { return Rx().Stage() == SimStage::Firmware; }));
    Received();
    session->m_Port.SendString("$PQELQ,RID\r\n");
    EXPECT_NE(Received().find("$PQELR,RID,"), std::string::npos);
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
        ASSERT_TRUE(Eventually([this] { return Rx().ViolationCount() > 0; }));
        SimViolation v = Rx().Violations().front();
        EXPECT_EQ(v.state, c.state);
        EXPECT_EQ(v.byte, c.byte);
        EXPECT_GT(v.position, c.lead.size());
        job.reset();
        session.reset();
    }
}

TEST_F(SimHost, NoiseAnyCarriesMeaningfulBytesAlsoInsideSentences) {
    SimOptions o = Strict();
    o.fault = SimFault::NoiseAny;
    o.faultArg = 2;
    o.nmeaNoiseMs = 3;
    Begin(o);
    std::string heard;
    ASSERT_TRUE(Eventually(
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
