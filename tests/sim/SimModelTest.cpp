// The pieces under the receiver: option parsing, flash layout and rules, frame reception.

#include "SimDriver.h"
#include "sim/SimFlash.h"
#include "sim/SimFrame.h"
#include "sim/SimNmea.h"
#include "sim/SimOptions.h"
#include "sim/SimPfld.h"

#include <cstdio>
#include <gtest/gtest.h>

TEST(SimModel, FlashLayoutHasBootSectorsAtTheBottom) {
    CSimFlash flash(0x10000, 8);
    std::vector<uint32_t> s;
    ASSERT_TRUE(flash.SectorsFor(0x10000000, 0x10400000, s));
    EXPECT_EQ(s.size(), 8u + 63u);
    EXPECT_EQ(s[1], 0x2000u);
    EXPECT_EQ(s[8], 0x10000u);
    ASSERT_TRUE(flash.SectorsFor(0x10001FFF, 0x10002001, s));
    EXPECT_EQ(s, (std::vector<uint32_t>{0x0000, 0x2000}));
    ASSERT_TRUE(flash.SectorsFor(0x10010000, 0x10010000, s));
    EXPECT_TRUE(s.empty());
    EXPECT_FALSE(flash.SectorsFor(0x10000010, 0x10000000, s));
    EXPECT_FALSE(flash.SectorsFor(0x0FFFFFFF, 0x10000001, s));
    EXPECT_FALSE(flash.SectorsFor(0x10000000, 0x10400001, s));

    CSimFlash uniform(0x10000, 1);
    ASSERT_TRUE(uniform.SectorsFor(0x10000000, 0x10400000, s));
    EXPECT_EQ(s.size(), 64u);
}

TEST(SimModel, FlashProgramsOnlyErasedBytesInside) {
    CSimFlash flash(0x10000, 8);
    uint8_t d[4] = {1, 2, 3, 4};
    EXPECT_EQ(flash.Program(0x10000000, d, 4), FlashResult::Ok);
    EXPECT_EQ(flash.Program(0x10000003, d, 2), FlashResult::NotErased);
    EXPECT_EQ(flash.At(0x10000003), 4);
    EXPECT_EQ(flash.Program(0x103FFFFE, d, 4), FlashResult::OutOfRange);
    EXPECT_EQ(flash.Program(0x0FFFFFFF, d, 1), FlashResult::OutOfRange);
    EXPECT_EQ(flash.Program(0xFFFFFFFF, d, 4), FlashResult::OutOfRange);
    flash.EraseSector(0);
    EXPECT_EQ(flash.At(0x10000000), 0xFF);
    EXPECT_EQ(flash.Program(0x10000003, d, 2), FlashResult::Ok);

    std::string path = TempPath("sim_model_flash.bin");
    std::string err;
    ASSERT_TRUE(flash.Save(path, err)) << err;
    CSimFlash back(0x10000, 8);
    ASSERT_TRUE(back.Load(path, err)) << err;
    EXPECT_EQ(back.Snapshot(), flash.Snapshot());
    EXPECT_FALSE(back.Load(TempPath("no_such_flash.bin"), err));
    std::remove(path.c_str());
}

TEST(SimModel, FrameReaderChecksLengthChecksumAndEnd) {
    // 5B 00 04 10 00 80 00 AA BB CC 00 F6 BB 5D: three bytes padded to four words.
    const uint8_t good[] = {0x5B, 0x00, 0x04, 0x10, 0x00, 0x80, 0x00,
                            0xAA, 0xBB, 0xCC, 0x00, 0xF6, 0xBB, 0x5D};
    CFrameReader r;
    EXPECT_EQ(r.Feed(0x55), FrameStatus::Idle);
    FrameStatus st = FrameStatus::Idle;
    for (uint8_t b : good)
        st = r.Feed(b);
    EXPECT_EQ(st, FrameStatus::Done);
    EXPECT_EQ(r.PayloadLength(), 8u);
    EXPECT_EQ(r.Payload()[4], 0xAA);

    r.Reset();
    for (size_t i = 0; i + 1 < sizeof good; ++i)
        r.Feed(good[i]);
    EXPECT_EQ(r.Feed(0x5E), FrameStatus::NoEnd);
    r.Reset();
    for (size_t i = 0; i + 1 < sizeof good; ++i)
        r.Feed(i == 11 ? 0xF7 : good[i]);
    EXPECT_EQ(r.Feed(0x5D), FrameStatus::BadCsum);
    r.Reset();
    r.Feed(0x5B);
    r.Feed(0x04);
    EXPECT_EQ(r.Feed(0x03), FrameStatus::BadLength);
    // The command frame of the erase range.
    const uint8_t cmd[] = {0x5B, 0x00, 0x04, 0x10, 0x00, 0x00, 0x00,
                           0x10, 0x01, 0x00, 0x00, 0x00, 0x01, 0x5D};
    r.Reset();
    for (uint8_t b : cmd)
        st = r.Feed(b);
    EXPECT_EQ(st, FrameStatus::Done);
    // The empty frame.
    r.Reset();
    for (uint8_t b : {0x5B, 0x00, 0x00, 0x00, 0x00})
        EXPECT_EQ(r.Feed(static_cast<uint8_t>(b)), FrameStatus::Busy);
    EXPECT_EQ(r.Feed(0x5D), FrameStatus::Done);
    EXPECT_EQ(r.PayloadLength(), 0u);
}

TEST(SimModel, LoaderVersionIsTheFirstVerTextInTheFirst4096Bytes) {
    std::vector<uint8_t> img(5000, 0x11);
    EXPECT_EQ(FindLoaderVersion(img), "");
    const std::string t = "$VER,SFL 2.1\r\nrest";
    std::copy(t.begin(), t.end(), img.begin() + 4092); // the mark itself crosses the 4096-byte line
    EXPECT_EQ(FindLoaderVersion(img), "");
    std::copy(t.begin(), t.end(), img.begin() + 4091); // the mark fits, its text runs on past the line
    EXPECT_EQ(FindLoaderVersion(img), "$VER,SFL 2.1");
    std::copy(t.begin(), t.end(), img.begin() + 7);
    EXPECT_EQ(FindLoaderVersion(img), "$VER,SFL 2.1");
    std::vector<uint8_t> longText(600, 'x');
    std::copy(t.begin(), t.begin() + 5, longText.begin());
    EXPECT_EQ(FindLoaderVersion(longText).size(), 255u);
}

TEST(SimModel, NmeaSentencesAndCollector) {
    EXPECT_EQ(NmeaSentence("PQELR,NAK"), "$PQELR,NAK*32\r\n");
    CSentenceCollector c;
    std::string in = "xx$AB$PQELQ,RID\r\n";
    int done = 0;
    for (char ch : in)
        done += c.Feed(static_cast<uint8_t>(ch));
    EXPECT_EQ(done, 1);
    EXPECT_EQ(c.Text(), "$PQELQ,RID\r\n");
    for (int i = 0; i < 200; ++i)
        c.Feed('A');
    EXPECT_FALSE(c.Active()) << "an overlong sentence is dropped";
}

TEST(SimModel, OptionsParseAndRefuse) {
    SimOptions o;
    SimParse p = ParseSimOptions({"--raw", "--fault", "bad-csum:3", "--fw-baud", "9600", "--flash-device",
                                  "0x22F9", "--boot-reload", "refuse", "--start", "pfld", "--erase-ms", "0"},
                                 o);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(o.raw);
    EXPECT_EQ(o.fault, SimFault::BadCsum);
    EXPECT_EQ(o.faultArg, 3u);
    EXPECT_EQ(o.fwBaud, 9600u);
    EXPECT_EQ(o.flashDevice, 0x22F9);
    EXPECT_FALSE(o.bootReloadGrant);
    EXPECT_EQ(o.start, SimStartStage::Pfld);
    EXPECT_EQ(o.eraseMs, 0u);

    const std::vector<std::vector<std::string>> bad = {
        {"--fault", "bad-csum"},
        {"--fault", "no-such"},
        {"--fault", "silent", "--fault", "stall"},
        {"--fw-baud", "1234"},
        {"--type", "LONGER"},
        {"--model", "a,b"},
        {"--sector-size", "0x3000"},
        {"--sector-size", "0x1000"},
        {"--erase-ms", "-1"},
        {"--flash-maker", "256"},
        {"--link"},
        {"stray"},
        {"--fault", "slow-erase:0"},
        {"--boot-sectors", "3"},
    };
    for (const auto& args : bad) {
        SimOptions x;
        SimParse q = ParseSimOptions(args, x);
        EXPECT_FALSE(q.ok) << args[0] << (args.size() > 1 ? " " + args[1] : "");
        EXPECT_FALSE(q.error.empty());
    }
    SimOptions h;
    EXPECT_TRUE(ParseSimOptions({"--help"}, h).help);
}
