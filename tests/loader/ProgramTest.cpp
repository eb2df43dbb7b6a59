// Erase and programming: boot reload, the erase wait, the frame sender with its retries, one whole section
// against the scripted first-stage loader, the RAM load of a loader file and the run command.

#include "LoaderFixture.h"
#include "ScriptReceiver.h"
#include "loader/LoaderCodes.h"

#include <memory>

class ProgramTest : public LoaderFixture {
protected:
    // Runs WaitErase on a thread so the test can look at the progress between the loader's reports.
    struct EraseRun {
        std::thread thread;
        std::atomic<int> result{-1};
    };
    void StartErase(EraseRun& run) {
        run.thread = std::thread([this, &run] { run.result.store(job.WaitErase() ? 1 : 0); });
    }
    // A scripted first-stage loader past its greeting, with the tool in record-wait mode.
    std::unique_ptr<CScriptReceiver> AtSfld() {
        auto receiver = std::make_unique<CScriptReceiver>(port);
        receiver->StartAtSfld();
        job.m_RecordWait.store(1);
        return receiver;
    }
};

TEST_F(ProgramTest, BootReloadAnswers) {
    Answer(BOOT_RELOAD, {0x11, BOOT_RELOAD});
    EXPECT_TRUE(job.BootReload());
    EXPECT_EQ(Logs(), std::vector<std::string>{"BOOT Reload enabled."});

    Answer(BOOT_RELOAD, {BAD_COMMAND});
    EXPECT_FALSE(job.BootReload());
    EXPECT_EQ(Logs().back(), "BOOT Reload command unsupported by this swload revision");

    port.SetResponder(nullptr);
    port.m_TimeFactor = 2;
    ClearLogs();
    uint32_t start = TickMs();
    EXPECT_FALSE(job.BootReload());
    EXPECT_GE(ElapsedMs(start), 200u); // the port's factor scales the limit
    EXPECT_EQ(Logs(),
              (std::vector<std::string>{"'BOOT_RELOAD' waiting time out.",
                                        "BOOT Reload command are unsupported by this swload revision"}));
}

TEST_F(ProgramTest, EraseProgressFollowsTheSectorCount) {
    EraseRun run;
    port.Inject({PARAM_CODE, ERASE_CODE, 0x40, SECTOR_ERASED});
    StartErase(run);
    EXPECT_TRUE(Eventually([&] { return job.m_Progress.Get() == 16; })); // 1000/64 rounded
    EXPECT_EQ(job.m_Phase.Get(), 2);
    port.Inject({SECTOR_ERASED, SECTOR_ERASED});
    EXPECT_TRUE(Eventually([&] { return job.m_Progress.Get() == 47; })); // 3000/64 rounded
    port.Inject({OK_CODE});
    run.thread.join();
    EXPECT_EQ(run.result.load(), 1);
    EXPECT_EQ(job.m_Progress.Get(), 1000);
    EXPECT_EQ(Logs(),
              (std::vector<std::string>{"Sectors to erase N = 64.", "1 sectors erased.", "2 sectors erased.",
                                        "3 sectors erased.", "FLASH erasing complete."}));
}

TEST_F(ProgramTest, EraseCountsAgainstTwentyUntilTold) {
    EraseRun run;
    // A parameter with another tag changes nothing and is not logged.
    port.Inject({PARAM_CODE, 0x01, 0x40, SECTOR_ERASED});
    StartErase(run);
    EXPECT_TRUE(Eventually([&] { return job.m_Progress.Get() == 50; }));
    port.Inject({OK_CODE});
    run.thread.join();
    EXPECT_EQ(run.result.load(), 1);
    EXPECT_EQ(Logs(), (std::vector<std::string>{"1 sectors erased.", "FLASH erasing complete."}));
}

TEST_F(ProgramTest, EraseWithZeroSectorsShowsNothingUntilDone) {
    EraseRun run;
    port.Inject({PARAM_CODE, ERASE_CODE, 0x00, SECTOR_ERASED, SECTOR_ERASED});
    StartErase(run);
    EXPECT_TRUE(Eventually([&] { return LogCount("2 sectors erased.") == 1; }));
    EXPECT_EQ(job.m_Progress.Get(), 0);
    port.Inject({OK_CODE});
    run.thread.join();
    EXPECT_EQ(run.result.load(), 1);
    EXPECT_EQ(job.m_Progress.Get(), 1000);
    EXPECT_TRUE(HasLog("Sectors to erase N = 0."));
}

TEST_F(ProgramTest, EraseFailures) {
    struct Case {
        std::vector<uint8_t> reply;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{SECTOR_ERASED, 0x93}, {"1 sectors erased.", "Unknown command 0x93.", "FLASH erase failure."}},
        {{SIZE_EXCEEDED}, {"Image size exceed FLASH space.", "FLASH erase failure."}},
        {{PARAM_CODE, ERASE_CODE, 3, PROGRAM_FAIL}, {"Sectors to erase N = 3.", "FLASH erase failure."}},
        {{REC_WAIT_CODE}, {"Unknown command 0x77.", "FLASH erase failure."}},
    };
    for (const Case& c : cases) {
        ClearLogs();
        port.Inject(c.reply);
        EXPECT_FALSE(job.WaitErase());
        EXPECT_EQ(Logs(), c.lines);
        port.Purge();
    }
}

TEST_F(ProgramTest, EraseTimesOutFromTheLastSectorReport) {
    port.InjectAfter(120, {SECTOR_ERASED});
    port.InjectAfter(240, {SECTOR_ERASED});
    uint32_t start = TickMs();
    EXPECT_FALSE(job.WaitErase());
    uint32_t took = ElapsedMs(start);
    EXPECT_GE(took, 430u); // 240 + 200
    EXPECT_LT(took, 2000u);
    EXPECT_EQ(Logs(), (std::vector<std::string>{"1 sectors erased.", "2 sectors erased.",
                                                "'SECTOR_ERASED' waiting time out."}));
}

TEST_F(ProgramTest, EraseEndsOnCancel) {
    job.m_Timings.sectorEraseMs = 10000;
    EraseRun run;
    StartErase(run);
    EXPECT_TRUE(Eventually([&] { return job.m_Phase.Get() == 2; }));
    Cancel();
    run.thread.join();
    EXPECT_EQ(run.result.load(), 0);
    EXPECT_TRUE(Logs().empty());
}

TEST_F(ProgramTest, RejectedFrameIsSentAgain) {
    const std::pair<uint8_t, const char*> rejections[] = {
        {BAD_CSUM, "ERROR: BAD_CSUM"},       {BAD_LENGTH, "ERROR: BAD_LENGTH"},
        {BAD_COMMAND, "ERROR: BAD_COMMAND"}, {RECORD_TIMEOUT, "ERROR: RECORD_TIMEOUT"},
        {NO_REC_END, "ERROR: NO_REC_END"},
    };
    ProgramRecord record;
    record.SetCommand(0x10000000, 0x10010000);
    for (const auto& [code, line] : rejections) {
        ClearLogs();
        int frames = 0;
        port.SetResponder([&frames, code = code](CScriptPort& p, uint8_t b) {
            if (b == ']')
                p.Inject({++frames == 1 ? code : OK_CODE});
        });
        EXPECT_TRUE(job.SendRecord(record));
        EXPECT_EQ(frames, 2);
        EXPECT_EQ(Logs(),
                  (std::vector<std::string>{line, "Record write succesfull (A=0x10000000,SZ=0x0008)."}));
    }
}

TEST_F(ProgramTest, FrameGoesOutAfterItsGoAhead) {
    ProgramRecord record;
    record.SetEmpty();
    Answer(']', {PARAM_CODE, 0x10, OK_CODE, OK_CODE});
    EXPECT_TRUE(job.SendRecordOnce(record));
    EXPECT_EQ(port.Sent(), (std::vector<uint8_t>{OK_CODE, 0x5B, 0, 0, 0, 0, 0x5D}));
    EXPECT_EQ(port.Waiting(), 0u); // the parameter's 0x55 was its value, the next one the acknowledge
    EXPECT_EQ(Logs(), std::vector<std::string>{"Record write succesfull (A=0x00000000,SZ=0x0000)."});

    // In record-wait mode the frame waits for the loader's REC_WAIT_CODE.
    job.m_RecordWait.store(1);
    port.SetResponder(nullptr);
    ClearLogs();
    const size_t before = port.SentCount();
    EXPECT_FALSE(job.SendRecordOnce(record));
    EXPECT_EQ(port.SentCount(), before + 1);
    EXPECT_EQ(Logs(), std::vector<std::string>{"'REC_WAIT_CODE' waiting time out."});
}

TEST_F(ProgramTest, FrameRetriesEndAfterTheirLimit) {
    ProgramRecord record;
    record.SetEmpty();
    port.m_LatencyMs.store(2); // a line paces the attempts
    Answer(']', {BAD_LENGTH});
    uint32_t start = TickMs();
    EXPECT_FALSE(job.SendRecord(record));
    EXPECT_GE(ElapsedMs(start), 500u);
    EXPECT_GT(LogCount("ERROR: BAD_LENGTH"), 2);
    EXPECT_EQ(Logs().back(), "ERROR: Send Record TIMEOUT.");

    // A loader that never answers: each attempt times out on its own.
    port.SetResponder(nullptr);
    ClearLogs();
    EXPECT_FALSE(job.SendRecord(record));
    EXPECT_GE(LogCount("ERROR: Record acknowledge TIMEOUT."), 3);
    EXPECT_EQ(Logs().back(), "ERROR: Send Record TIMEOUT.");

    // Cancel between attempts.
    port.m_LatencyMs.store(0);
    ClearLogs();
    port.SetResponder([this](CScriptPort& p, uint8_t b) {
        if (b == ']') {
            job.m_Cancel.Set(1);
            p.Inject({BAD_CSUM});
        }
    });
    EXPECT_FALSE(job.SendRecord(record));
    EXPECT_EQ(Logs(), std::vector<std::string>{"ERROR: BAD_CSUM"});
}

TEST_F(ProgramTest, SectionIsErasedAndProgrammed) {
    auto bytes = LoadOptions(0x1800);
    auto receiver = AtSfld();
    receiver->sectors = 2;
    image.Section(0).bootCurrent = false;

    EXPECT_TRUE(job.UploadSection(image, 0));
    EXPECT_EQ(receiver->FlashBytes(0x10005800, bytes.size()), bytes);
    EXPECT_EQ(receiver->eraseFrom, 0x10005800u);
    EXPECT_EQ(receiver->eraseTo, 0x10005800u + 0x1800u);
    EXPECT_EQ(receiver->sfldDataFrames, 3);
    EXPECT_EQ(receiver->emptyFrames, 1);
    EXPECT_EQ(receiver->bootRequests, 1);
    EXPECT_EQ(job.m_Phase.Get(), 3);
    EXPECT_EQ(job.m_Progress.Get(), 1000);
    EXPECT_EQ(Statuses(), (std::vector<std::string>{"Erasing FLASH memory", "Programming"}));

    const std::vector<std::string> order = {"=============== Upload section N0 ===============",
                                            "BOOT Reload enabled.",
                                            "ERASE From 0x10005800 to 0x10007000",
                                            "Erasing FLASH.",
                                            "Record write succesfull (A=0x10005800,SZ=0x0008).",
                                            "Sectors to erase N = 2.",
                                            "1 sectors erased.",
                                            "2 sectors erased.",
                                            "FLASH erasing complete.",
                                            "Programing.",
                                            "Record write succesfull (A=0x10005800,SZ=0x0804).",
                                            "Record write succesfull (A=0x10006000,SZ=0x0804).",
                                            "Record write succesfull (A=0x10006800,SZ=0x0804).",
                                            "Record write succesfull (A=0x00000000,SZ=0x0000).",
                                            "FLASH Programing Complete."};
    EXPECT_EQ(Logs(), order) << LogText();
}

TEST_F(ProgramTest, SectionGoesOnWhenBootReloadIsRefused) {
    auto bytes = LoadOptions(0x400);
    auto receiver = AtSfld();
    receiver->bootReply = BAD_COMMAND;
    receiver->rejectFrame = 1;
    receiver->rejectCode = BAD_CSUM;
    image.Section(0).bootCurrent = false;
    EXPECT_TRUE(job.UploadSection(image, 0));
    EXPECT_TRUE(HasLog("BOOT Reload command unsupported by this swload revision"));
    EXPECT_EQ(receiver->eraseCommands, 1);
    EXPECT_EQ(LogCount("ERROR: BAD_CSUM"), 1);
    EXPECT_EQ(receiver->FlashBytes(0x10005800, bytes.size()), bytes);

    // A section whose boot area is current skips the exchange.
    auto again = AtSfld();
    image.Section(0).bootCurrent = true;
    EXPECT_TRUE(job.UploadSection(image, 0));
    EXPECT_EQ(again->bootRequests, 0);
}

TEST_F(ProgramTest, SectionSurvivesAMissingAcknowledge) {
    auto bytes = LoadOptions(0x1000);
    auto receiver = AtSfld();
    receiver->silentFrame = 2;
    EXPECT_TRUE(job.UploadSection(image, 0));
    EXPECT_EQ(LogCount("ERROR: Record acknowledge TIMEOUT."), 1);
    EXPECT_EQ(receiver->FlashBytes(0x10005800, bytes.size()), bytes);
}

TEST_F(ProgramTest, SectionStopsOnEraseFailure) {
    LoadOptions(0x1000);
    auto receiver = AtSfld();
    receiver->eraseReply = {PARAM_CODE, ERASE_CODE, 4, SECTOR_ERASED, SIZE_EXCEEDED};
    EXPECT_FALSE(job.UploadSection(image, 0));
    EXPECT_EQ(receiver->sfldDataFrames, 0);
    EXPECT_EQ(Logs().back(), "FLASH erase failure.");
    EXPECT_EQ(job.m_Phase.Get(), 2);

    // No acknowledge for the erase command itself.
    Answer(OK_CODE, {OK_CODE});
    ClearLogs();
    EXPECT_FALSE(job.UploadSection(image, 0));
    EXPECT_EQ(Logs().back(), "ERROR: ERASE_CODE acknowledge losed");
    EXPECT_EQ(LogCount("'OK_CODE' waiting time out."), 1);
}

TEST_F(ProgramTest, EmptySectionClosesAtOnce) {
    LoadOptions(0x400);
    image.Section(0).size = 0;
    auto receiver = AtSfld();
    EXPECT_TRUE(job.UploadSection(image, 0));
    EXPECT_EQ(receiver->sfldDataFrames, 0);
    EXPECT_EQ(receiver->emptyFrames, 1);
    EXPECT_EQ(job.m_Progress.Get(), 1000);
    EXPECT_EQ(receiver->eraseFrom, receiver->eraseTo);
}

TEST_F(ProgramTest, CancelDuringProgrammingStopsAtTheNextCheck) {
    LoadOptions(0x1800);
    port.m_LatencyMs.store(2); // replies take a moment, as on a line, so the waits look at the cancel
    auto receiver = AtSfld();
    receiver->onEvent = [this, r = receiver.get()](const std::string& event) {
        if (event == "sfld-frame" && r->sfldDataFrames == 1)
            job.m_Cancel.Set(1);
    };
    uint32_t start = TickMs();
    EXPECT_FALSE(job.UploadSection(image, 0));
    EXPECT_LT(ElapsedMs(start), 2000u);
    EXPECT_EQ(receiver->sfldDataFrames, 1);
    EXPECT_FALSE(HasLog("FLASH Programing Complete."));
}

TEST_F(ProgramTest, LoaderFileGoesIntoRam) {
    const std::string path = Dir() + "/tz5_sfl.hex";
    WriteSfldFile(path, "SFLD ram 1.0", 5000);
    ImageStream stream;
    ImageSection section;
    ASSERT_TRUE(stream.Open(path, channel));
    ASSERT_TRUE(section.Open(stream, 0));
    CScriptReceiver receiver(port);
    receiver.stage = CScriptReceiver::Stage::Pfld;
    EXPECT_TRUE(job.SendSection(stream, section));
    EXPECT_EQ(job.m_Progress.Get(), 1000);
    EXPECT_EQ(receiver.pfldFrames, 3); // 2048 + 2048 + 904
    ASSERT_EQ(receiver.ram.size(), 5000u);
    EXPECT_EQ(receiver.ram.begin()->first, 0x201000u);

    // Cancel between frames.
    CScriptReceiver again(port);
    again.stage = CScriptReceiver::Stage::Pfld;
    again.onEvent = [this](const std::string& event) {
        if (event == "pfld-frame")
            job.m_Cancel.Set(1);
    };
    EXPECT_FALSE(job.SendSection(stream, section));
    EXPECT_EQ(again.pfldFrames, 1);
}

TEST_F(ProgramTest, RunCommand) {
    const int purges = port.m_Purges.load();
    EXPECT_TRUE(job.RunImage(0x8000));
    std::vector<uint8_t> sent = port.Sent();
    EXPECT_EQ(std::string(sent.begin(), sent.end()), "G8000#");
    EXPECT_EQ(port.m_Purges.load(), purges + 1);
    EXPECT_EQ(Logs(), std::vector<std::string>{"Run image at address 0x8000"});
    EXPECT_TRUE(job.RunImage(0x201000));
    sent = port.Sent();
    EXPECT_EQ(std::string(sent.begin() + 6, sent.end()), "G201000#");
}
