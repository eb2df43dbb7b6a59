// The whole target upload against the scripted receiver: loader mode, the loader file into RAM, the
// first-stage loader session; failures of each step and a cancel in each phase.

#include "LoaderFixture.h"
#include "ScriptReceiver.h"
#include "loader/LoaderCodes.h"

#include <filesystem>

class TargetTest : public LoaderFixture {
protected:
    void SetUp() override {
        LoaderFixture::SetUp();
        WriteSfldFile(Dir() + "/tz5_sfl.hex", "SFLD target 3.1", 3000);
        job.SetProgramDir(Dir());
        job.m_ConnectBudget.store(5);
    }
    // Text the tool sent, for counting sentences.
    std::string SentText() {
        auto sent = port.Sent();
        return std::string(sent.begin(), sent.end());
    }
    static int Count(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }
};

TEST_F(TargetTest, ClosedPortSendsNothing) {
    LoadOptions(0x400);
    port.m_Open.store(0);
    EXPECT_FALSE(job.UploadTarget());
    EXPECT_EQ(Logs(), std::vector<std::string>{"ERROR: no port available"});
    EXPECT_TRUE(port.Sent().empty());
    EXPECT_EQ(job.m_Phase.Get(), 0);

    CLoaderProtocol portless(channel, nullptr, image);
    EXPECT_FALSE(portless.UploadTarget());
    EXPECT_EQ(Logs().back(), "ERROR: no port available");
}

TEST_F(TargetTest, MissingLoaderFileNamesThePath) {
    LoadOptions(0x400);
    const std::string empty = Dir() + "/nothing";
    std::filesystem::create_directory(empty);
    job.SetProgramDir(empty);
    EXPECT_FALSE(job.UploadTarget());
    const std::string path = empty + "/tz5_sfl.hex";
    const std::string looked = path + " or " + Dir() + "/share/kavrel/tz5_sfl.hex";
    EXPECT_EQ(Logs(),
              (std::vector<std::string>{"Upload SFLD From file - " + path, "ERROR: SFLD file open failed",
                                        "looked for the loader file in " + looked}));
    EXPECT_EQ(Statuses(), std::vector<std::string>{"ERROR: failed to open SFL file: " + looked});
    EXPECT_TRUE(port.Sent().empty());
    EXPECT_EQ(job.m_Phase.Get(), 1);
}

TEST_F(TargetTest, InstalledProgramFindsItsLoaderFileInTheDataFolder) {
    const std::string bin = Dir() + "/usr/bin", data = Dir() + "/usr/share/kavrel";
    std::filesystem::create_directories(bin);
    std::filesystem::create_directories(data);
    WriteSfldFile(data + "/tz5_sfl.hex", "SFLD installed 1.0", 3000);
    job.SetProgramDir(bin);
    auto bytes = LoadOptions(0x400);
    CScriptReceiver receiver(port);
    EXPECT_TRUE(job.UploadTarget()) << LogText();
    EXPECT_TRUE(HasLog("Upload SFLD From file - " + data + "/tz5_sfl.hex")) << LogText();
    EXPECT_EQ(receiver.FlashBytes(0x10005800, bytes.size()), bytes);

    // A loader file beside the program (the build folder) comes first.
    WriteSfldFile(bin + "/tz5_sfl.hex", "SFLD beside 1.0", 3000);
    EXPECT_EQ(job.SfldPath(), bin + "/tz5_sfl.hex");
}

TEST_F(TargetTest, UnreadableLoaderFile) {
    LoadOptions(0x400);
    std::FILE* f = std::fopen((Dir() + "/tz5_sfl.hex").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("tiny", f);
    std::fclose(f);
    EXPECT_FALSE(job.UploadTarget());
    EXPECT_EQ(Logs().back(), "ERROR: wrong SFLD resource format");
    EXPECT_TRUE(port.Sent().empty());
}

TEST_F(TargetTest, DefaultFolderIsTheProgramsOwn) {
    job.SetProgramDir("");
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(job.SfldPath(), std::filesystem::path(exe).parent_path().string() + "/tz5_sfl.hex");
}

TEST_F(TargetTest, OptionsImageIsProgrammed) {
    auto bytes = LoadOptions(0x1800);
    CScriptReceiver receiver(port);
    EXPECT_TRUE(job.UploadTarget()) << LogText();
    EXPECT_EQ(receiver.FlashBytes(0x10005800, bytes.size()), bytes);
    EXPECT_EQ(receiver.runAddress, 0x201000u);
    EXPECT_EQ(receiver.ram.size(), 3000u);
    EXPECT_EQ(receiver.loaSeen, 1);
    EXPECT_EQ(receiver.ldrSeen, 0);
    EXPECT_EQ(job.m_Phase.Get(), 3);
    EXPECT_EQ(job.m_Progress.Get(), 1000);
    EXPECT_EQ(job.m_FlashWriting.Get(), 1);
    EXPECT_EQ(job.m_SfldVersion.Get(), "$VER,SFLD script 2.0");
    EXPECT_EQ(job.m_PfldVersion.Get(), "$VER,PFLD_Pellar2v1.5");
    EXPECT_EQ(job.m_RecordWait.load(), 1);
    EXPECT_EQ(port.m_Baud.load(), 9);

    // The main milestones, in order.
    ExpectLogOrder({"Upload SFLD From file - " + Dir() + "/tz5_sfl.hex", "*Load image*", "Target - TZ5 PFL",
                    "> Try to connnect target", "Baud rate - 115200", "get PFL version",
                    "PFLD Version ID: $VER,PFLD_Pellar2v1.5", "TZ5 PFL - connected",
                    "Section upload is successful", "Run image at address 0x201000",
                    "SFLD upload is successful", "Connect SFLD", "SFLD Connected",
                    "SFLD Version ID: $VER,SFLD script 2.0", "FLASH Type: AM29LV128MH/L",
                    "=============== Upload section N0 ===============", "FLASH erasing complete.",
                    "Programing.", "FLASH Programing Complete."});
    // The line starts with the loader-mode sentence and its go-ahead, then the version question.
    const std::string sent = SentText();
    EXPECT_EQ(sent.substr(0, 18), std::string("$PQELS,PFL,LOA\r\n\x55") + "E");
    EXPECT_EQ(sent[18], 'D');
}

TEST_F(TargetTest, SecondUploadInTheSameRun) {
    LoadOptions(0x800, 1);
    {
        CScriptReceiver first(port);
        ASSERT_TRUE(job.UploadTarget()) << LogText();
    }
    // The resident loader never sends REC_WAIT_CODE: the second upload must not wait for one.
    auto bytes = LoadOptions(0x1000, 2);
    CScriptReceiver second(port);
    EXPECT_TRUE(job.UploadTarget()) << LogText();
    EXPECT_EQ(second.FlashBytes(0x10005800, bytes.size()), bytes);
    EXPECT_EQ(second.ram.size(), 3000u);
}

TEST_F(TargetTest, UnionImageBootReloadFollowsThePfldVersion) {
    // The receiver's loader reports 1.5; an image carrying PFL 1.4 needs the boot area reopened.
    auto bytes = LoadUnion(0x8000 + 0x2000, 4);
    ASSERT_EQ(image.Count(), 1);
    CScriptReceiver receiver(port);
    EXPECT_TRUE(job.UploadTarget()) << LogText();
    EXPECT_EQ(receiver.bootRequests, 1);
    EXPECT_EQ(receiver.FlashBytes(0x10000000, bytes.size()), bytes);
    EXPECT_EQ(receiver.eraseTo - receiver.eraseFrom, bytes.size());

    // Same PFL version as the receiver's: no boot reload.
    LoadUnion(0x8000 + 0x1000, 5);
    CScriptReceiver current(port);
    EXPECT_TRUE(job.UploadTarget()) << LogText();
    EXPECT_EQ(current.bootRequests, 0);
}

TEST_F(TargetTest, LoaderModeOnTheSecondSentence) {
    LoadOptions(0x400);
    CScriptReceiver receiver(port);
    receiver.answerLoa = false;
    EXPECT_TRUE(job.EnterLoaderMode());
    EXPECT_EQ(receiver.loaSeen, 1);
    EXPECT_EQ(receiver.ldrSeen, 1);
    const std::string sent = SentText();
    EXPECT_EQ(sent.find("$PQELS,PFL,LDR\r\n"), 17u);
    EXPECT_EQ(sent.back(), 'D');
}

TEST_F(TargetTest, LoaderReachedThroughTheVersionQueryAlone) {
    // A loader that ignores the sentences but answers the version query.
    bool inSentence = false;
    port.SetResponder([&inSentence](CScriptPort& p, uint8_t b) {
        if (b == '$')
            inSentence = true;
        else if (b == '\n')
            inSentence = false;
        else if (b == PFL_VERSION_CODE && !inSentence)
            p.InjectText("$VER,PFLD_Pellar2v1.5\r\n");
    });
    job.m_ConnectBudget.store(2);
    uint32_t start = TickMs();
    EXPECT_TRUE(job.EnterLoaderMode());
    EXPECT_GE(ElapsedMs(start), 200u);
    EXPECT_GE(Count(SentText(), "$PQELS,PFL,"), 2);
    EXPECT_TRUE(HasLog("PFLD Version ID: $VER,PFLD_Pellar2v1.5"));
}

TEST_F(TargetTest, LoaderUnreachable) {
    LoadOptions(0x400);
    CScriptReceiver receiver(port);
    receiver.answerLoa = receiver.answerLdr = false;
    job.m_ConnectBudget.store(2);
    uint32_t start = TickMs();
    EXPECT_FALSE(job.UploadTarget());
    EXPECT_LT(ElapsedMs(start), 3000u);
    const auto& logs = Logs();
    ASSERT_GE(logs.size(), 2u);
    EXPECT_EQ(logs[logs.size() - 2], "get PFL version");
    EXPECT_EQ(logs.back(), "TZ5 PFL - not connected");
    const std::string sent = SentText();
    EXPECT_GE(Count(sent, "$PQELS,PFL,LOA\r\n\x55"), 1);
    EXPECT_GE(Count(sent, "$PQELS,PFL,LDR\r\n\x55"), 1);
}

TEST_F(TargetTest, NoiseDuringListeningStillFindsTheAnswer) {
    int sentences = 0;
    port.SetResponder([&sentences](CScriptPort& p, uint8_t b) {
        if (b == OK_CODE && ++sentences == 1) {
            std::vector<uint8_t> noise(2500, 0x41);
            noise[1800] = LOAD_CODE;
            p.Inject(noise);
        } else if (b == PFL_VERSION_CODE) {
            p.InjectText("$VER,PFLD_Pellar2v2.0\r\n");
        }
    });
    EXPECT_TRUE(job.EnterLoaderMode());
    EXPECT_EQ(sentences, 1);
}

TEST_F(TargetTest, CancelBeforeLoaderModeSendsOnlyTheQuestion) {
    job.m_Cancel.Set(1);
    EXPECT_FALSE(job.EnterLoaderMode());
    EXPECT_EQ(port.Sent(), std::vector<uint8_t>{PFL_VERSION_CODE});
}

class TargetCancelTest : public TargetTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(TargetCancelTest, EndsAtTheNextAbortCheck) {
    const std::string phase = GetParam();
    LoadOptions(0x1800);
    port.m_LatencyMs.store(2);
    CScriptReceiver receiver(port);
    receiver.answerLoa = phase != "sentence";
    int hits = 0;
    receiver.onEvent = [&](const std::string& event) {
        if (event == phase && ++hits == 1)
            Cancel();
    };
    job.m_Timings = CLoaderTimings{}; // full limits: only the cancel may end the run quickly
    uint32_t start = TickMs();
    EXPECT_FALSE(job.UploadTarget());
    EXPECT_LT(ElapsedMs(start), 3000u) << LogText();
    EXPECT_EQ(hits, 1);
    EXPECT_FALSE(HasLog("FLASH Programing Complete."));
    if (phase == "pfld-frame") {
        EXPECT_EQ(receiver.pfldFrames, 1);
    }
    if (phase == "sfld-frame") {
        EXPECT_EQ(receiver.sfldDataFrames, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Phases, TargetCancelTest,
                         ::testing::Values("sentence", "pfld-frame", "run", "hello", "erase", "sfld-frame"));
