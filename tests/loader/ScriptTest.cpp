// Protocol steps against a scripted port, for receiver behaviour the simulator does not produce: stray and
// parameter bytes inside waits, greeting and version-line oddities, every flash-id reply form, erase
// reports and frame refusals one by one.

#include "LoaderFixture.h"
#include "image/ProgramRecord.h"
#include "loader/FlashCatalogue.h"

#include <cstring>
#include <functional>

using B = std::vector<uint8_t>;
using L = std::vector<std::string>;

TEST_F(LoaderFixture, AcknowledgeWaitsTakeTheirByteSkipParametersAndTimeOut) {
    const struct {
        bool recWait;
        B bytes;
        bool result;
        L logs;
        size_t left;
    } cases[] = {
        {false, {0x12, REC_WAIT_CODE, OK_CODE, 0x99}, true, {}, 1},
        {false, {PARAM_CODE, ERASE_CODE, OK_CODE, OK_CODE}, true, {}, 0}, // the value 0x55 is no acknowledge
        {false, {PROGRAM_FAIL, PROGRAM_FAIL, OK_CODE}, true, L(2, "'PROGRAM_FAIL' msg received."), 0},
        {false, {PARAM_CODE, 1}, false, {"'OK_CODE' waiting time out."}, 0},
        {true, {PARAM_CODE, ERASE_CODE, REC_WAIT_CODE, PROGRAM_FAIL, REC_WAIT_CODE}, true, {}, 0},
        {true, {OK_CODE}, false, {"'REC_WAIT_CODE' waiting time out."}, 0},
    };
    for (const auto& c : cases) {
        port.Inject(c.bytes);
        EXPECT_EQ(c.recWait ? job.WaitRecWait() : job.WaitOk(), c.result);
        EXPECT_EQ(Logs(), c.logs);
        EXPECT_EQ(port.Waiting(), c.left);
        port.Purge();
        ClearLogs();
    }
    // Waiting blocks on the data-arrival wait: a handful of reads, not a spin.
    EXPECT_LT(port.m_ReadCalls.load(), 100u);
    uint8_t value = 7;
    port.Inject({0x01, 0x40, ERASE_CODE, 0x40});
    EXPECT_FALSE(job.ReadParam(value));
    EXPECT_TRUE(job.ReadParam(value));
    EXPECT_EQ(value, 0x40);
    job.m_Timings.okWaitMs = job.m_Timings.handshakeMs = job.m_Timings.helloMs = 10000;
    ExpectCancelled([this] { return job.WaitOk(); });
    job.m_Cancel.Set(0);
    ExpectCancelled([this] { return job.ConnectSfld(); });
    job.m_Cancel.Set(0);
    ExpectCancelled([this] { return job.WaitErase(); });
}

TEST_F(LoaderFixture, GreetingAgreesTheSpeedOnlyInTheProtocolsOrder) {
    const struct {
        B afterFirstOk, afterSecondOk, afterBaud;
        bool result;
        size_t sent;
    } cases[] = {
        {{HELLO_CODE}, {BAUD_CODE}, {OK_CODE, OK_CODE, 9}, true, 5},
        // A baud request before the second hello is ignored; a third hello is not answered.
        {{BAUD_CODE, HELLO_CODE, HELLO_CODE}, {BAUD_CODE}, {OK_CODE, OK_CODE, 9}, true, 5},
        // The index echoed after one "SFLD ok" does not count; the later echo does.
        {{HELLO_CODE}, {BAUD_CODE}, {OK_CODE, 9, 0x33, OK_CODE, 9}, true, 5},
        {{HELLO_CODE}, {}, {}, false, 2}, // never asks for the speed
    };
    for (const auto& c : cases) {
        int oks = 0;
        port.SetResponder([&](CScriptPort& p, uint8_t b) {
            if (b == OK_CODE)
                p.Inject(++oks == 1 ? c.afterFirstOk : oks == 2 ? c.afterSecondOk : B{});
            else if (b == BAUD_CLOSE)
                p.Inject(c.afterBaud);
        });
        const size_t before = port.Sent().size();
        port.Inject({HELLO_CODE});
        EXPECT_EQ(job.ConnectSfld(), c.result);
        const B sent = port.Sent();
        EXPECT_EQ(B(sent.begin() + static_cast<long>(before), sent.end()),
                  B({OK_CODE, OK_CODE, BAUD_OPEN, 9, BAUD_CLOSE}).size() == c.sent
                      ? B({OK_CODE, OK_CODE, BAUD_OPEN, 9, BAUD_CLOSE})
                      : B({OK_CODE, OK_CODE}));
        EXPECT_EQ(LogCount("SFLD Connected"), c.result ? 1 : 0);
        EXPECT_EQ(port.Waiting(), 0u); // the speed switched only after the echo that counts
        ClearLogs();
    }
    EXPECT_EQ(port.Bauds(), std::vector<int>(3, 9));
    port.SetResponder(nullptr);
    EXPECT_FALSE(job.ConnectSfld()); // no hello at all
    EXPECT_EQ(Logs(), L{"Connect SFLD"});
}

TEST_F(LoaderFixture, VersionLines) {
    port.InjectText("$STALE\r\n"); // purged before the question
    AnswerText(VERSION_CODE, "xx$VER,SFLD 2.0\r\n$more");
    job.ReadSfldVersion();
    EXPECT_EQ(Logs(), L{"SFLD Version ID: $VER,SFLD 2.0"});
    // Interrupted by the loader's greeting: asked again, and the 0xAA after '$' stays in the text.
    int asked = 0;
    port.SetResponder([&asked](CScriptPort& p, uint8_t b) {
        if (b == VERSION_CODE && ++asked == 1)
            p.Inject({HELLO_CODE, '$', 'V', HELLO_CODE});
        else if (b == VERSION_CODE && asked == 3)
            p.InjectText("ER\n");
    });
    job.ReadSfldVersion();
    EXPECT_EQ(job.m_SfldVersion.Get(), "$V\xAA"
                                       "ER");
    Answer(VERSION_CODE, B(2000, '$'));
    job.ReadSfldVersion();
    EXPECT_EQ(job.m_SfldVersion.Get().size(), CLoaderProtocol::VERSION_TEXT_MAX);
    port.SetResponder(nullptr);
    ClearLogs();
    job.ReadSfldVersion();
    EXPECT_EQ(Logs(), L{"SFLD Version ID: "});

    // The resident loader's banner: other lines are skipped, the version is compared with the image's.
    const struct {
        const char* imageVersion;
        std::string reply;
        bool result, bootCurrent;
    } banners[] = {
        {"1.5", "noise$VER,PFLD_Pellar2v1.5 build\r\n", true, true},
        {"1.4", "$GPGGA,1,2\r\n$VER,PFLD_Pellar2v1.5\n", true, false},
        {"", "$VER,PFLD_Pellar2v9\r", true, true},
        {"1.5", "$VER,PFLD_Pellar2v1.5", false, false}, // never ended
    };
    for (const auto& c : banners) {
        ClearLogs();
        std::strcpy(image.Section(0).version, c.imageVersion);
        image.Section(0).bootCurrent = false;
        AnswerText(PFL_VERSION_CODE, c.reply);
        EXPECT_EQ(job.ReadPfldVersion(), c.result) << c.reply;
        EXPECT_EQ(image.Section(0).bootCurrent, c.bootCurrent) << c.reply;
        EXPECT_EQ(Logs().size(), c.result ? 2u : 1u) << LogText();
    }
}

TEST_F(LoaderFixture, FlashIdentificationOfEveryReplyForm) {
    const struct {
        B reply;
        const char* desc;
        uint32_t lateMs = 0; // the reply comes this late, in a limit of 400 ms that it must not extend
    } cases[] = {
        {{HELLO_CODE, 0x91, 0x01, 0x01, 0x22, 0x7E, 0x01, 0x00, 0x00, 0x00}, "AM29LV128MH/L"},
        {{0x91, 0x01, 0x1F, 0x00, 0xC0, 0x00, 0x40, 0x00, 0x00},
         "CFI,mfg 0x1F,id 0x00C0, sz 4096Kb"}, // past Atmel's end
        {{0x91, 0x00, 0x37, 0x12, 0x34, 0x00, 0x20, 0x00, 0x00}, ",mfg 0x37,id 0x1234, sz 2048Kb"},
        {{0x91, 0x00, 0xB0, 0x00, 0xAA, 0x00, 0x08, 0x00, 0x00},
         "LH28F016SCT-L/SCH-L"}, // Intel code in Sharp's list
        {{0x91, 0x08}, "Flash: TC58FVB321FT"},
        {{0x91, 17}, "Flash: AT29LV32X"},
        {{0x91, 18, 1, 2}, "Flash: UNKNOWN"},
        {{0x08, 0x08}, "Flash: UNKNOWN"}, // no header: nothing is data
        {B(800, 0x33), "Flash: UNKNOWN"}, // babble cannot hold the reading
        {{0x33}, "Flash: UNKNOWN", 300},  // nor can a late stray byte
    };
    for (const auto& c : cases) {
        Answer(FLASH_ID_CODE, c.reply);
        port.m_LatencyMs.store(c.lateMs);
        job.m_Timings.flashIdMs = c.lateMs ? 400 : 100;
        char desc[CLoaderProtocol::FLASH_DESC_SIZE];
        std::memset(desc, 'x', sizeof desc);
        const uint32_t start = TickMs();
        EXPECT_TRUE(job.IdentifyFlash(desc, sizeof desc));
        EXPECT_LT(ElapsedMs(start), c.lateMs ? 600u : 2000u);
        EXPECT_STREQ(desc, c.desc);
    }
    port.m_LatencyMs.store(0);
    EXPECT_TRUE(HasLog("VENDOR: Advanced Micro Devices"));
    EXPECT_TRUE(HasLog("VENDOR: Unknown Vendor ID"));
    EXPECT_TRUE(HasLog("ChipSize = 16384Kb"));
    char small[6];
    ASSERT_TRUE(FindChipName(0x01, 0x227E, small, sizeof small));
    EXPECT_STREQ(small, "AM29L");
}

TEST_F(LoaderFixture, BootReloadAndEraseReports) {
    const std::pair<B, L> boots[] = {
        {{0x11, BOOT_RELOAD}, {"BOOT Reload enabled."}},
        {{BAD_COMMAND}, {"BOOT Reload command unsupported by this swload revision"}},
        {{},
         {"'BOOT_RELOAD' waiting time out.", "BOOT Reload command are unsupported by this swload revision"}},
    };
    port.m_TimeFactor = 2; // scales the answer's limit
    for (const auto& [reply, logs] : boots) {
        Answer(BOOT_RELOAD, reply);
        const uint32_t start = TickMs();
        EXPECT_EQ(job.BootReload(), logs.size() == 1 && logs[0] == "BOOT Reload enabled.");
        EXPECT_GE(ElapsedMs(start), reply.empty() ? 2 * job.m_Timings.bootReloadMs : 0);
        EXPECT_EQ(Logs(), logs);
        ClearLogs();
    }
    const struct {
        B reports;
        int progress; // after the reports, before the end
        B end;
        L logs;
    } erases[] = {
        // clang-format off
        {{PARAM_CODE, ERASE_CODE, 0x40, SECTOR_ERASED, SECTOR_ERASED, SECTOR_ERASED}, 47, {OK_CODE},
         {"Sectors to erase N = 64.", "1 sectors erased.", "2 sectors erased.", "3 sectors erased.",
          "FLASH erasing complete."}},
        {{PARAM_CODE, 0x01, 0x40, SECTOR_ERASED}, 50, {OK_CODE}, {"1 sectors erased.", "FLASH erasing complete."}},
        {{PARAM_CODE, ERASE_CODE, 0, SECTOR_ERASED}, 0, {OK_CODE},
         {"Sectors to erase N = 0.", "1 sectors erased.", "FLASH erasing complete."}},
        // clang-format on
        {{SECTOR_ERASED}, 50, {0x93}, {"1 sectors erased.", "Unknown command 0x93.", "FLASH erase failure."}},
        {{}, 0, {SIZE_EXCEEDED}, {"Image size exceed FLASH space.", "FLASH erase failure."}},
        {{}, 0, {PROGRAM_FAIL}, {"FLASH erase failure."}},
        {{SECTOR_ERASED}, 50, {}, {"1 sectors erased.", "'SECTOR_ERASED' waiting time out."}},
    };
    for (const auto& c : erases) {
        // The last case's report comes late: the limit counts from it, not from the start.
        port.m_LatencyMs.store(c.end.empty() ? 150 : 0);
        const uint32_t start = TickMs();
        port.Inject(c.reports);
        std::atomic<int> result{-1};
        std::thread eraser([&] { result.store(job.WaitErase() ? 1 : 0); });
        EXPECT_TRUE(
            test::WaitUntil([&] { return port.Waiting() == 0 && job.m_Progress.Get() == c.progress; }));
        EXPECT_EQ(job.m_Phase.Get(), 2);
        port.Inject(c.end);
        eraser.join();
        EXPECT_EQ(result.load(), c.end == B{OK_CODE} ? 1 : 0);
        EXPECT_GE(ElapsedMs(start), c.end.empty() ? 150 + job.m_Timings.sectorEraseMs : 0);
        EXPECT_EQ(Logs(), c.logs);
        ClearLogs();
    }
    port.m_LatencyMs.store(0);
}

TEST_F(LoaderFixture, RefusedFramesAreSentAgainWithinTheirLimit) {
    ProgramRecord record;
    record.SetCommand(0x10000000, 0x10010000);
    const std::pair<uint8_t, const char*> refusals[] = {{BAD_CSUM, "ERROR: BAD_CSUM"},
                                                        {BAD_LENGTH, "ERROR: BAD_LENGTH"},
                                                        {BAD_COMMAND, "ERROR: BAD_COMMAND"},
                                                        {RECORD_TIMEOUT, "ERROR: RECORD_TIMEOUT"},
                                                        {NO_REC_END, "ERROR: NO_REC_END"}};
    for (const auto& [code, line] : refusals) {
        int frames = 0;
        port.SetResponder([&frames, code = code](CScriptPort& p, uint8_t b) {
            if (b == ']')
                p.Inject(++frames == 1 ? B{code} : B{PARAM_CODE, 0x10, OK_CODE, OK_CODE});
        });
        EXPECT_TRUE(job.SendRecord(record));
        EXPECT_EQ(Logs(), (L{line, "Record write succesfull (A=0x10000000,SZ=0x0008)."}));
        EXPECT_EQ(port.Waiting(), 0u); // the parameter's 0x55 was its value, the next one the acknowledge
        ClearLogs();
    }
    const B frame = port.Sent();
    EXPECT_EQ(B(frame.end() - 15, frame.end()),
              B({OK_CODE, '[', 0, 4, 0x10, 0, 0, 0, 0x10, 1, 0, 0, 0, 1, ']'}));
    port.m_LatencyMs.store(2); // a line paces the attempts
    Answer(']', {BAD_LENGTH});
    EXPECT_FALSE(job.SendRecord(record));
    EXPECT_GT(LogCount("ERROR: BAD_LENGTH"), 2);
    EXPECT_EQ(Logs().back(), "ERROR: Send Record TIMEOUT.");
    // In record-wait mode the frame waits for the loader's REC_WAIT_CODE.
    job.m_RecordWait.store(1);
    ClearLogs();
    EXPECT_FALSE(job.SendRecordOnce(record));
    EXPECT_EQ(Logs(), L{"'REC_WAIT_CODE' waiting time out."});
    // Cancel between attempts.
    job.m_RecordWait.store(0);
    port.m_LatencyMs.store(0);
    port.SetResponder([this](CScriptPort& p, uint8_t b) {
        if (b == ']') {
            job.m_Cancel.Set(1);
            p.Inject({BAD_CSUM});
        }
    });
    ClearLogs();
    EXPECT_FALSE(job.SendRecord(record));
    EXPECT_EQ(Logs(), L{"ERROR: BAD_CSUM"});
}

TEST_F(LoaderFixture, UploadRefusedBeforeTheLineIsUsed) {
    LoadOptions(0x400);
    const std::string dir = Dir() + "/loader";
    std::filesystem::create_directory(dir);
    job.SetProgramDir(dir);
    EXPECT_FALSE(job.UploadTarget()); // no loader file
    // Paths as the platform writes them.
    const std::string beside = NativePath(dir + "/tz5_sfl.hex");
    const std::string shared = NativePath(Dir() + "/share/kavrel/tz5_sfl.hex");
    const std::string looked = beside + " or " + shared;
    EXPECT_EQ(Logs(), (L{"Upload SFLD From file - " + beside, "ERROR: SFLD file open failed",
                         "looked for the loader file in " + looked}));
    EXPECT_EQ(Statuses(), L{"ERROR: failed to open SFL file: " + looked});
    // Installed, the loader file lies in ../share/kavrel; one beside the program (the build folder) wins.
    std::filesystem::create_directories(Dir() + "/share/kavrel");
    std::fclose(std::fopen((Dir() + "/share/kavrel/tz5_sfl.hex").c_str(), "wb"));
    EXPECT_EQ(job.SfldPath(), shared);
    std::FILE* f = std::fopen((dir + "/tz5_sfl.hex").c_str(), "wb");
    std::fputs("tiny", f);
    std::fclose(f);
    EXPECT_FALSE(job.UploadTarget());
    EXPECT_EQ(Logs().back(), "ERROR: wrong SFLD resource format");
    EXPECT_TRUE(port.Sent().empty());
    port.m_Open.store(0);
    EXPECT_FALSE(job.UploadTarget());
    EXPECT_EQ(Logs().back(), "ERROR: no port available");
    // The run command, then the purge.
    port.m_Open.store(1);
    EXPECT_TRUE(job.RunImage(0x8000));
    const B sent = port.Sent();
    EXPECT_EQ(std::string(sent.begin(), sent.end()), "G8000#");
    EXPECT_EQ(port.m_Purges.load(), 1);
}
