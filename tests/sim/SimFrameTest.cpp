// Frames that the loaders refuse, and the flash rules behind erase and programming.

#include "SimDriver.h"

#include "sim/SimLoaderCodes.h"

#include <gtest/gtest.h>

namespace {

const uint32_t FLASH_BASE = 0x10000000;

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 13);
    return b;
}

struct Bad {
    const char* what;
    Bytes frame;
    uint8_t reply;
};

std::vector<Bad> BadFrames(uint32_t address) {
    Bytes good = DataFrame(address, Pattern(64, 1));
    Bytes csum = good;
    csum[csum.size() - 2] ^= 0x01;
    // Built rather than patched in place: GCC 12 at -O3 cannot see that the copy is not empty and warns
    // on a subscript of -1.
    Bytes end(good.begin(), good.end() - 1);
    end.push_back('}');
    Bytes huge = good;
    huge[1] = 0x04; // 0x0420 words: more than an address and 2048 bytes
    huge[2] = 0x20;
    Bytes oneWord = MakeFrame({0x12, 0x34});
    Bytes shorter = good;
    shorter[2] = static_cast<uint8_t>(shorter[2] - 1); // claims one word less: the end mark is not where
                                                       // the loader expects it
    return {{"checksum", csum, BAD_CSUM},
            {"end mark", end, NO_REC_END},
            {"too long", huge, BAD_LENGTH},
            {"one word", oneWord, BAD_LENGTH},
            {"length short by a word", shorter, NO_REC_END}};
}

} // namespace

using SimFrames = SimTest;

TEST_F(SimFrames, ResidentLoaderRefusesBrokenFramesAndTakesTheRetry) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(d.EnterLoader()) << d.Note();
    port.Write(LOAD_CODE);
    for (const Bad& bad : BadFrames(0x201000)) {
        EXPECT_EQ(d.SendFrame(bad.frame, true), bad.reply) << bad.what;
        EXPECT_EQ(d.SendFrame(DataFrame(0x201000, Pattern(64, 1)), true), OK_CODE)
            << "retry after " << bad.what;
    }
    // Outside RAM.
    EXPECT_EQ(d.SendFrame(DataFrame(0x10000000, Pattern(16, 1)), true), BAD_COMMAND);
}

TEST_F(SimFrames, UnfinishedFrameEndsWithRecordTimeout) {
    SimOptions o = FastOptions();
    o.recordTimeoutMs = 100;
    ASSERT_TRUE(Start(o));
    ASSERT_TRUE(d.EnterLoader()) << d.Note();
    port.Write(LOAD_CODE);
    Bytes f = DataFrame(0x201000, Pattern(64, 2));
    f.resize(f.size() - 10);
    EXPECT_EQ(d.SendFrame(f, true), RECORD_TIMEOUT);
    EXPECT_EQ(d.SendFrame(DataFrame(0x201000, Pattern(64, 2)), true), OK_CODE);
}

TEST_F(SimFrames, FirstStageLoaderRefusesBrokenFramesWhileProgramming) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(d.ReachSfld()) << d.Note();
    // The erase range must be two words.
    ASSERT_TRUE(d.EraseCommand()) << d.Note();
    EXPECT_EQ(d.SendFrame(DataFrame(FLASH_BASE, Pattern(8, 3))), BAD_LENGTH);
    ASSERT_EQ(d.SendFrame(CommandFrame(FLASH_BASE, FLASH_BASE + 0x4000)), OK_CODE);
    ASSERT_EQ(port.Read(5), (Bytes{PARAM_CODE, ERASE_CODE, 2, SECTOR_ERASED, SECTOR_ERASED}));
    ASSERT_EQ(port.ReadByte(), OK_CODE);

    uint32_t addr = FLASH_BASE;
    for (const Bad& bad : BadFrames(addr)) {
        EXPECT_EQ(d.SendFrame(bad.frame), bad.reply) << bad.what;
        EXPECT_EQ(d.WriteFrame(addr, Pattern(64, 1)), (Bytes{OK_CODE, OK_CODE}))
            << "retry after " << bad.what;
        addr += 64;
    }
    Bytes flash = Rx().FlashCopy();
    for (uint32_t a = 0; a < addr - FLASH_BASE; a += 64)
        EXPECT_TRUE(std::equal(flash.begin() + a, flash.begin() + a + 64, Pattern(64, 1).begin()));
    EXPECT_EQ(flash[addr - FLASH_BASE], 0xFF);
}

TEST_F(SimFrames, ProgrammingOverWrittenFlashFailsAndRangesBeyondTheFlashAreRefused) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(d.ReachSfld()) << d.Note();

    // Beyond the end of the flash, and below it.
    for (auto range : {std::pair<uint32_t, uint32_t>{0x103F0000, 0x10400001}, {0x0FFFF000, 0x10001000}}) {
        ASSERT_TRUE(d.EraseCommand()) << d.Note();
        EXPECT_EQ(d.SendFrame(CommandFrame(range.first, range.second)), OK_CODE);
        EXPECT_EQ(port.ReadByte(), SIZE_EXCEEDED);
    }
    // The last 64 KiB sector exactly.
    int sectors = 0;
    ASSERT_TRUE(d.Erase(0x103F0000, 0x10400000, &sectors)) << d.Note();
    EXPECT_EQ(sectors, 1);
    EXPECT_EQ(d.WriteFrame(0x103FFFF0, Pattern(16, 4)), (Bytes{OK_CODE, OK_CODE}));
    // Again over the same bytes: not erased.
    EXPECT_EQ(d.WriteFrame(0x103FFFF8, Pattern(8, 5)), (Bytes{OK_CODE, PROGRAM_FAIL}));
    // Running off the end of the flash.
    EXPECT_EQ(d.WriteFrame(0x103FFFFC, Pattern(16, 6)), (Bytes{OK_CODE, PROGRAM_FAIL}));
    // Outside the erased range: the flash there is still erased from the start, so it takes the data.
    EXPECT_EQ(d.WriteFrame(0x10200000, Pattern(4, 7)), (Bytes{OK_CODE, OK_CODE}));
    EXPECT_EQ(Rx().FlashCopy()[0x200000], Pattern(4, 7)[0]);
}

TEST_F(SimFrames, IdentificationVariantsAndBootReloadRefusal) {
    SimOptions o = FastOptions();
    o.flashShortType = 8;
    o.bootReloadGrant = false;
    ASSERT_TRUE(Start(o));
    ASSERT_TRUE(d.ReachSfld()) << d.Note();
    EXPECT_EQ(d.FlashId(1), (Bytes{FLASH_ID_CODE, 8}));
    EXPECT_TRUE(port.ReadFor(100).empty()) << "a short reply is short";
    port.Write(BOOT_RELOAD);
    EXPECT_EQ(port.ReadByte(), BAD_COMMAND);
    port.Write(uint8_t{0x93});
    EXPECT_EQ(port.ReadByte(), BAD_COMMAND);
    EXPECT_EQ(d.SfldVersion(), "$VER,SFLD_T1");
}

TEST_F(SimFrames, FullIdentificationIsSettable) {
    SimOptions o = FastOptions();
    o.flashCfi = 0;
    o.flashMaker = 0x89;
    o.flashDevice = 0x88C5;
    o.flashSizeReport = 0x00400000;
    ASSERT_TRUE(Start(o));
    ASSERT_TRUE(d.ReachSfld()) << d.Note();
    EXPECT_EQ(d.FlashId(), (Bytes{FLASH_ID_CODE, 0, 0x89, 0x88, 0xC5, 0x00, 0x40, 0x00, 0x00}));
}

TEST_F(SimFrames, ResidentLoaderStartsOnlyAFirstStageLoaderImage) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(d.EnterLoader()) << d.Note();
    // "$VER," only after the first 4096 bytes: not a loader.
    Bytes image = Pattern(5000, 9);
    const std::string late = "$VER,LATE\r\n";
    std::copy(late.begin(), late.end(), image.begin() + 4200);
    ASSERT_TRUE(d.LoadSfld(image, 0x201000, false)) << d.Note();
    EXPECT_TRUE(port.ReadFor(150).empty()) << "nothing started, no greeting";
    EXPECT_EQ(Rx().Stage(), SimStage::Pfld);
    // The proper image then starts.
    ASSERT_TRUE(d.LoadSfld(LoaderImage("$VER,SFLD_OK"), 0x201000, false)) << d.Note();
    EXPECT_EQ(port.ReadByte(), HELLO_CODE);
    EXPECT_EQ(Rx().Stage(), SimStage::Sfld);
}
