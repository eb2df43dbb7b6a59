// A whole upload as the host runs it, against the simulated receiver over a pseudo-terminal.

#include "SimDriver.h"

#include "sim/SimLoaderCodes.h"

#include <fstream>
#include <gtest/gtest.h>

namespace {

const uint32_t SFL_BASE = 0x201000;
const uint32_t FLASH_BASE = 0x10000000;

struct UploadResult {
    bool ok = false;
    std::string pfld, sfld, note;
    Bytes flashId;
    int sectors = -1;
};

// Loader mode, RAM load of the first-stage loader, greeting, identification, erase and programming.
UploadResult RunUpload(CHostPort& port, const Bytes& image, uint32_t start, bool bootReload = true,
                       bool pfldRecordWait = false) {
    UploadResult r;
    CUploadDriver d(port);
    if (!d.EnterLoader()) {
        r.note = d.Note();
        return r;
    }
    r.pfld = d.PfldVersion();
    if (!d.LoadSfld(LoaderImage("$VER,SFLD_TEST_7"), SFL_BASE, pfldRecordWait) || !d.Greet() ||
        (r.sfld = d.SfldVersion()).empty()) {
        r.note = d.Note().empty() ? "no SFLD version" : d.Note();
        return r;
    }
    r.flashId = d.FlashId();
    if (bootReload) {
        port.Write(BOOT_RELOAD);
        if (port.ReadByte() != BOOT_RELOAD) {
            r.note = "BOOT_RELOAD not granted";
            return r;
        }
    }
    if (!d.Erase(start, start + static_cast<uint32_t>(image.size()), &r.sectors) ||
        !d.Program(start, image)) {
        r.note = d.Note();
        return r;
    }
    r.ok = true;
    return r;
}

bool FlashHolds(const Bytes& flash, uint32_t start, const Bytes& image) {
    size_t off = start - FLASH_BASE;
    return flash.size() >= off + image.size() && std::equal(image.begin(), image.end(), flash.begin() + off);
}

} // namespace

class SimUpload : public SimTest {
protected:
    // The completion mark after the last frame, then the restart into the firmware.
    ::testing::AssertionResult Completed() {
        Bytes mark = port.Read(3);
        if (mark != Bytes{0x55, 0x55, 0x55})
            return ::testing::AssertionFailure() << "no completion mark, " << mark.size() << " bytes";
        if (!StageIs(SimStage::Firmware))
            return ::testing::AssertionFailure() << "no restart into the firmware";
        return ::testing::AssertionSuccess();
    }
};

TEST_F(SimUpload, WholeUploadLeavesTheImageInFlashAndRestartsWithItsVersion) {
    ASSERT_TRUE(Start());

    Bytes image = FirmwareImage(0x8000 + 5000 + 1, "B207", 2, 3); // odd size: the last frame is padded
    UploadResult r = RunUpload(port, image, FLASH_BASE);
    ASSERT_TRUE(r.ok) << r.note;
    EXPECT_EQ(r.pfld, "$VER,PFLD_Pellar2v1.5");
    EXPECT_EQ(r.sfld, "$VER,SFLD_TEST_7");
    EXPECT_EQ(r.flashId, (Bytes{FLASH_ID_CODE, 1, 0x01, 0x00, 0xF9, 0x00, 0x40, 0x00, 0x00}));
    // 0x8000 + 5001 bytes: eight 8 KiB boot sectors cover the first 64 KiB.
    EXPECT_EQ(r.sectors, 5);

    ASSERT_TRUE(Completed());
    EXPECT_EQ(Rx().UploadsCompleted(), 1);

    Bytes flash = Rx().FlashCopy();
    EXPECT_TRUE(FlashHolds(flash, FLASH_BASE, image));
    // The pad byte of the odd last frame is programmed too: the loader cannot tell it from data.
    EXPECT_EQ(flash[image.size()], 0x00);
    EXPECT_EQ(flash[image.size() + 1], 0xFF);

    // The firmware now reports what it found in flash; so does the resident loader.
    port.Write(std::string("$PQELQ,RID\r\n"));
    EXPECT_EQ(port.ReadSentence(), Checksummed("PQELR,RID,TZ5N,B207"));
    ASSERT_TRUE(d.EnterLoader("$PQELS,PFL,LDR\r\n"));
    EXPECT_EQ(d.PfldVersion(), "$VER,PFLD_Pellar2v2.3");
}

TEST_F(SimUpload, SecondUploadOverProgrammedFlashAndRecordWaitForRamFrames) {
    ASSERT_TRUE(Start());
    Bytes first = FirmwareImage(0x9000, "A100", 1, 0);
    ASSERT_TRUE(RunUpload(port, first, FLASH_BASE).ok);
    ASSERT_TRUE(Completed());

    // The second run waits for 'w' before every RAM frame as well; the erase makes room again.
    Bytes second = FirmwareImage(0x8800, "A101", 1, 1);
    UploadResult r = RunUpload(port, second, FLASH_BASE, false, true);
    ASSERT_TRUE(r.ok) << r.note;
    EXPECT_EQ(r.pfld, "$VER,PFLD_Pellar2v1.0");
    ASSERT_TRUE(Completed());
    ASSERT_TRUE(CSimRunner::WaitFor([&] { return Rx().UploadsCompleted() == 2; }));
    Bytes flash = Rx().FlashCopy();
    EXPECT_TRUE(FlashHolds(flash, FLASH_BASE, second));
    // Bytes of the first image beyond the second one's range but inside an erased sector are gone.
    EXPECT_EQ(flash[0x8800 + 16], 0xFF);
}

TEST_F(SimUpload, OptionsSectionInTheMiddleOfTheFlash) {
    ASSERT_TRUE(Start());
    Bytes options(0x1800);
    for (size_t i = 0; i < options.size(); ++i)
        options[i] = static_cast<uint8_t>(0xA0 ^ i);
    UploadResult r = RunUpload(port, options, 0x10005800, false);
    ASSERT_TRUE(r.ok) << r.note;
    EXPECT_EQ(r.sectors, 2); // 0x5800..0x7000 touches the boot sectors at 0x4000 and 0x6000
    Bytes flash = Rx().FlashCopy();
    EXPECT_TRUE(FlashHolds(flash, 0x10005800, options));
    EXPECT_EQ(flash[0x57FF], 0xFF);
}

TEST_F(SimUpload, PacedLineTakesAtLeastTheCharacterTimesAndCountsThem) {
    SimOptions o = FastOptions();
    o.raw = false;
    o.fwBaud = 9600;
    o.pfldBaud = 9600;
    std::string transcript = TempPath("sim_paced_transcript.txt");
    o.transcriptPath = transcript;
    ASSERT_TRUE(Start(o, 9600));

    // 12 bytes in and a 25-byte reply at 9600 bit/s: at least 37 character times of 1.04 ms.
    auto t0 = std::chrono::steady_clock::now();
    port.Write(std::string("$PQELQ,RID\r\n"));
    std::string reply = port.ReadSentence();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(reply, Checksummed("PQELR,RID,TZ5N,0102"));
    EXPECT_GE(ms, 37 * 1.04 - 1);

    // The loader is reached at 9600 as configured, and its greeting moves the line to 115200.
    ASSERT_TRUE(d.EnterLoader()) << d.Note();
    ASSERT_TRUE(d.LoadSfld(LoaderImage("$VER,SFLD_PACED", 700), SFL_BASE, false)) << d.Note();
    ASSERT_TRUE(d.Greet(9)) << d.Note();
    port.SetRate(115200);
    EXPECT_EQ(d.SfldVersion(), "$VER,SFLD_PACED");

    SimStats s = Rx().Stats();
    EXPECT_GT(s.bytesFromHost, 700u);
    EXPECT_EQ(s.garbledFromHost, 0u);
    EXPECT_GE(s.busyFromHostMs, 700 * 1.04);
    EXPECT_GE(s.reactions, 5u);
    EXPECT_GE(s.reactionMaxMs, s.reactionP99Ms);
    EXPECT_GE(s.reactionP99Ms, s.reactionMedianMs);
    EXPECT_GE(s.reactionMedianMs, 0.0);
    sim->Finish();

    std::ifstream in(transcript);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(all.find("RX  24 50 51 45 4C 51 2C 52 49 44 0D 0A |$PQELQ,RID..|"), std::string::npos);
    EXPECT_NE(all.find("-- SFLD speed 115200"), std::string::npos);
    EXPECT_NE(all.find("TX  AA |.|"), std::string::npos);
    std::remove(transcript.c_str());
}

TEST_F(SimUpload, OnceEndsAfterTheUploadWhenTheHostCloses) {
    SimOptions o = FastOptions();
    o.once = true;
    ASSERT_TRUE(Start(o));
    ASSERT_TRUE(RunUpload(port, FirmwareImage(0x8100, "C300", 3, 0), FLASH_BASE).ok);
    ASSERT_TRUE(Completed());
    EXPECT_FALSE(sim->Finished()) << "still serving while the host has the port open";
    port.Close();
    EXPECT_TRUE(CSimRunner::WaitFor([&] { return sim->Finished(); }));
    EXPECT_EQ(sim->Finish(), SimEnd::Once);
}
