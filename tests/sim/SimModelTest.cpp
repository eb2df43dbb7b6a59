// The pieces under the receiver that the tool's code cannot see one by one: flash layout and rules, frame
// reception, sentences and option parsing.

#include "sim/SimFlash.h"
#include "sim/SimFrame.h"
#include "sim/SimNmea.h"
#include "sim/SimOptions.h"
#include "sim/SimSfld.h"

#include <gtest/gtest.h>

TEST(SimModel, FlashSectorsEraseAndProgrammingRules) {
    CSimFlash flash(0x10000, 8);
    std::vector<uint32_t> s;
    ASSERT_TRUE(flash.SectorsFor(0x10000000, 0x10400000, s));
    EXPECT_EQ(s.size(), 8u + 63u);
    EXPECT_EQ(s[1], 0x2000u);
    EXPECT_EQ(s[8], 0x10000u);
    ASSERT_TRUE(flash.SectorsFor(0x10001FFF, 0x10002001, s)); // two bytes across a boot-sector edge
    EXPECT_EQ(s, (std::vector<uint32_t>{0x0000, 0x2000}));
    ASSERT_TRUE(flash.SectorsFor(0x10002000, 0x10004000, s)); // exactly one boot sector, end exclusive
    EXPECT_EQ(s, (std::vector<uint32_t>{0x2000}));
    ASSERT_TRUE(flash.SectorsFor(0x1000FFFF, 0x10010001, s));
    EXPECT_EQ(s, (std::vector<uint32_t>{0xE000, 0x10000}));
    EXPECT_FALSE(flash.SectorsFor(0x10000010, 0x10000000, s));
    EXPECT_FALSE(flash.SectorsFor(0x0FFFFFFF, 0x10000001, s)); // refused with SIZE_EXCEEDED
    EXPECT_FALSE(flash.SectorsFor(0x10000000, 0x10400001, s));

    uint8_t d[4] = {1, 2, 3, 4};
    EXPECT_EQ(flash.At(0x10000000), 0xFF);
    EXPECT_EQ(flash.Program(0x10000000, d, 4), FlashResult::Ok);
    EXPECT_EQ(flash.Program(0x10000003, d, 2), FlashResult::NotErased); // PROGRAM_FAIL
    EXPECT_EQ(flash.At(0x10000003), 4);
    EXPECT_EQ(flash.Program(0x103FFFFD, d, 4), FlashResult::OutOfRange); // one byte past the end
    EXPECT_EQ(flash.Program(0x103FFFFC, d, 4), FlashResult::Ok);
    EXPECT_EQ(flash.Program(0xFFFFFFFF, d, 4), FlashResult::OutOfRange);
    EXPECT_EQ(flash.Program(0x10002000, d, 4), FlashResult::Ok);
    EXPECT_EQ(flash.Program(0x10001FFF, d, 1), FlashResult::Ok);
    flash.EraseSector(0);
    EXPECT_EQ(flash.At(0x10000003), 0xFF);
    EXPECT_EQ(flash.At(0x10001FFF), 0xFF);
    EXPECT_EQ(flash.At(0x10002000), 1) << "the next sector keeps its bytes";
    EXPECT_EQ(flash.Program(0x10000003, d, 2), FlashResult::Ok);
}

TEST(SimModel, FrameReaderChecksLengthChecksumAndEnd) {
    // Address 0x10008000 and three data bytes padded to four words, XOR-16 checksum 0xF6BB.
    const uint8_t good[] = {0x5B, 0x00, 0x04, 0x10, 0x00, 0x80, 0x00,
                            0xAA, 0xBB, 0xCC, 0x00, 0xF6, 0xBB, 0x5D};
    struct Case {
        size_t at;
        uint8_t replace;
        FrameStatus end;
    };
    for (Case c : {Case{99, 0, FrameStatus::Done}, Case{13, 0x5E, FrameStatus::NoEnd},
                   Case{11, 0xF7, FrameStatus::BadCsum}, Case{1, 0x04, FrameStatus::BadLength}}) {
        SCOPED_TRACE(c.at);
        CFrameReader r;
        EXPECT_EQ(r.Feed(0x55), FrameStatus::Idle);
        FrameStatus st = FrameStatus::Idle;
        for (size_t i = 0; i < sizeof good && st != FrameStatus::BadLength; ++i)
            st = r.Feed(i == c.at ? c.replace : good[i]);
        EXPECT_EQ(st, c.end);
    }
    EXPECT_EQ(NmeaSentence("PQELR,NAK"), "$PQELR,NAK*32\r\n");
}

TEST(SimModel, OptionsParseRefuseAndAreDocumented) {
    const std::string help = SimHelpText();
    for (int i = 1; i <= static_cast<int>(SimFault::MarkUux); ++i)
        EXPECT_NE(help.find(std::string("     ") + SimFaultName(static_cast<SimFault>(i))), std::string::npos)
            << i;
    for (const char* opt : {"--strict", "--count", "--flash-id-bytes", "--reboot-version", "--reboot-serial",
                            "--reboot-options", "--swap-to", "--swap-at"})
        EXPECT_NE(help.find(opt), std::string::npos) << opt;
    SimOptions o;
    SimParse p =
        ParseSimOptions({"--strict", "--fault", "late-hello:0", "--count", "3", "--flash-id-bytes", "5",
                         "--reboot-version", "B200", "--reboot-serial", "S9", "--reboot-options", "X",
                         "--swap-to", "TZ5X:STRANGER9:A123", "--swap-at", "frame:7"},
                        o);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(o.strict);
    EXPECT_EQ(o.fault, SimFault::LateHello);
    EXPECT_EQ(o.faultArg, 0u);
    EXPECT_EQ(o.count, 3u);
    EXPECT_EQ(o.flashIdBytes, 5u);
    EXPECT_EQ(o.rebootVersion + o.rebootSerial + o.rebootOptions, "B200S9X");
    EXPECT_EQ(o.swapModel + "|" + o.swapSerial + "|" + o.swapVersion, "TZ5X|STRANGER9|A123");
    EXPECT_TRUE(o.swapAt == SimSwapAt::Frame && o.swapFrame == 7u);
    const std::vector<std::vector<std::string>> bad = {
        {"--fault", "bad-csum"},     {"--fault", "silent", "--fault", "stall"},
        {"--sector-size", "0x3000"}, {"--count", "0"},
        {"--flash-id-bytes", "9"},   {"--reboot-version", "a*b"},
        {"--swap-to", "TZ5X"},       {"--swap-to", "TZ5X:S:V:W"},
        {"--swap-to", "TZ5X::A123"}, {"--swap-at", "frame:0"},
        {"--swap-at", "erase"},
    };
    for (const auto& args : bad) {
        SimOptions x;
        EXPECT_FALSE(ParseSimOptions(args, x).ok) << args[0] << (args.size() > 1 ? " " + args[1] : "");
    }
}

// The side of the line the first-stage loader writes to, kept for the test to read.
struct CHostRecord : ISimHost {
    void Send(const uint8_t* data, size_t count) override { sent.append(data, data + count); }
    void SetRate(uint32_t r) override { rate = r; }
    uint32_t Rate() const override { return rate; }
    bool OutputIdle() const override { return true; }
    void DiscardInput() override {}
    void Event(const std::string&) override {}
    void Unexpected(const std::string& state, int) override { unexpected.push_back(state); }
    void HangUp() override {}

    std::basic_string<uint8_t> sent;
    uint32_t rate = 0;
    std::vector<std::string> unexpected;
};

// The speed answer takes indices 0..9 as the tool's loader does; and after programming has closed, every host
// byte starts the quiet wait before the completion mark again, so the mark never comes while the host talks.
TEST(SimModel, SfldSpeedAnswerAndTheQuietBeforeTheMark) {
    SimOptions o;
    o.finishDelayMs = 300;
    const SimTime t0 = SimClock::now();
    CSimFlash flash(o.sectorSize, o.bootSectors);
    CHostRecord host;
    CSimSfld sfld(o, host, flash);
    sfld.Enter(t0, "SFLD sim");
    const auto feed = [&](const std::vector<uint8_t>& bytes, SimTime at) {
        for (uint8_t b : bytes)
            sfld.OnByte(b, false, at);
    };
    feed({0x55, 0x55, '[', 10, ']', '[', 255, ']'}, t0); // greeting with two speed answers the loader refuses
    EXPECT_EQ(host.rate, 0u);
    EXPECT_EQ(host.unexpected, std::vector<std::string>(2, "SFLD greeting: speed answer refused"));
    // Speed index 9, erase of the first boot sector (0x10000000..0x10002000), then the empty closing frame.
    feed({'[', 9, ']', 0x6A, 0x55, '[', 0, 4, 0x10, 0, 0, 0, 0x10, 0, 0x20, 0, 0x20, 0, ']'}, t0);
    EXPECT_EQ(host.rate, 115200u);
    SimTime t = SimAfterMs(t0, o.eraseMs);
    sfld.OnTick(t);
    feed({0x55, '[', 0, 0, 0, 0, ']'}, t);
    ASSERT_EQ(host.unexpected.size(), 2u);
    for (int i = 0; i < 4; ++i) {
        t = SimAfterMs(t, 200);
        EXPECT_EQ(sfld.OnTick(t), CSimSfld::Action::None) << i;
        sfld.OnByte(0x55, false, t);
    }
    EXPECT_EQ(sfld.OnTick(SimAfterMs(t, 299)), CSimSfld::Action::None);
    EXPECT_EQ(sfld.OnTick(SimAfterMs(t, 300)), CSimSfld::Action::Reboot);
    EXPECT_EQ(host.sent.substr(host.sent.size() - 3), (std::basic_string<uint8_t>{0x55, 0x55, 0x55}));
}
