// The dialog core through a recording view, without a display: the refresh steps against their cells, the
// image field, and the upload's questions against a simulated receiver, asked of a user and of nobody.

#include "dialog/DialogCore.h"
#include "DialogSystem.h"
#include "RecordingView.h"
#include "Support.h"
#include "TestDir.h"
#include "TestImages.h"
#include "dialog/Profile.h"
#include "dialog/StateColors.h"
#include "dialog/SystemAccess.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <tuple>

class DialogCoreTest : public CDialogSystem {
protected:
    void SetUp() override {
        SetMessageBoxesOff(true);
        SetQuestionsRefused(false);
        CDialogSystem::SetUp();
        m_Profile = std::make_unique<CIniProfile>(m_Dir.File("settings.ini"));
        m_View = std::make_unique<CRecordingView>();
        m_Core = std::make_unique<CDialogCore>(*m_System, *m_Profile, *m_View);
    }
    void TearDown() override {
        SetMessageBoxesOff(true);
        SetQuestionsRefused(false);
        if (m_Core)
            m_Core->DrainLogQueue();
        m_System->Shutdown();
        m_Core.reset();
        CDialogSystem::TearDown();
    }

    CRecordingView& V() { return *m_View; }
    CDialogCore& C() { return *m_Core; }
    void Tick() { m_Core->OnRefreshTimer(); }
    bool TickUntil(const std::function<bool()>& done, uint32_t limitMs = 15000) {
        return test::WaitUntil(
            [&] {
                Tick();
                m_View->RunPosted();
                return done();
            },
            limitMs);
    }
    bool LogHas(const std::string& text) { return m_View->m_Log.find(text) != std::string::npos; }

    std::unique_ptr<CIniProfile> m_Profile;
    std::unique_ptr<CRecordingView> m_View;
    std::unique_ptr<CDialogCore> m_Core;
};

// The start state, then each step against the cells it reads, one tick at a time.
TEST_F(DialogCoreTest, RefreshStepsFollowTheirCells) {
    m_Profile->WriteString("m_FLog", m_Dir.File("off.log"));
    ASSERT_TRUE(C().OnInitDialog());
    EXPECT_EQ(V().m_Texts[IDC_WINDOW], "Kavrel");
    EXPECT_EQ(V().m_Texts[IDC_VERSION], "Ver. 2.06");
    EXPECT_EQ(V().m_Tips[IDC_UPLOAD], "Press here to start uploading");
    EXPECT_EQ(V().m_TimerMs, CDialogCore::REFRESH_MS);
    EXPECT_TRUE(V().m_Watching);
    for (int id : {IDC_CONN_BAR, IDC_FILE_BAR}) {
        EXPECT_EQ(V().m_Colors[id].first, COLOR_ORANGE) << id;
        EXPECT_EQ(V().m_Progress[id], 1.0) << id;
    }
    EXPECT_EQ(V().m_Texts[IDC_IMAGE_TYPE], "Unavailable");
    EXPECT_EQ(V().m_Items[IDC_PORT_LIST].at(0), "OFF");
    // 1: status lines; 2: log lines dropped while logging is off; 3 and 12: progress and phase colours;
    // 4: busy.
    m_System->m_Channel.PushStatus("first");
    m_System->m_Channel.Log("dropped");
    Job().m_Progress.Set(500);
    Job().m_Phase.Set(3);
    C().m_Idle.Set(0);
    Job().m_Start.Set(1);
    Tick();
    EXPECT_TRUE(LogHas("ERROR: image file name field empty\nfirst\n")) << V().m_Log;
    EXPECT_FALSE(std::filesystem::exists(m_Dir.File("off.log")));
    EXPECT_EQ(V().m_Progress[IDC_UPLOAD_BAR], 0.5);
    EXPECT_EQ(V().m_Colors[IDC_UPLOAD_BAR], std::make_pair(COLOR_BLUE, COLOR_ORANGE));
    EXPECT_EQ(V().m_Texts[IDC_UPLOAD], "Cancel");
    EXPECT_EQ(V().m_Tips[IDC_UPLOAD], "Press here to cancel uploading");
    for (int id : {IDC_BROWSE, IDC_CONNECT, IDC_REFRESH, IDC_EXIT, IDC_IMAGE_COMBO, IDC_PORT_LIST})
        EXPECT_FALSE(V().m_Enabled[id]) << id;
    EXPECT_EQ(C().Busy(), 1);
    // A phase beyond the colour table shows blank and is never used as an index.
    for (auto [phase, barColor, restColor] :
         {std::tuple{2, COLOR_ORANGE, COLOR_WHITE}, std::tuple{9, COLOR_WHITE, COLOR_WHITE}}) {
        Job().m_Phase.Set(phase);
        Tick();
        EXPECT_EQ(V().m_Colors[IDC_UPLOAD_BAR], std::make_pair(barColor, restColor)) << phase;
    }
    // 8: a loader banner during a job shows, but the identified mark stays the receiver check's.
    Check().m_Identified.Set(0);
    Job().m_PfldVersion.Set("$VER,PFLD_Pellar2v2.5");
    Tick();
    EXPECT_EQ(Check().m_Identified.Get(), 0);
    EXPECT_EQ(Check().m_CheckRunning.Changed(), 0);
    // 10: the job ends, the next tick restores idle, the one after shows it.
    Job().m_Start.Set(0);
    Tick();
    EXPECT_EQ(C().m_Idle.Get(), 1);
    C().m_Idle.Set(1);
    Tick();
    EXPECT_EQ(V().m_Texts[IDC_UPLOAD], "Upload");
    EXPECT_EQ(C().Busy(), 0);
    // 8 when idle: the banner stands for the receiver; a banner of another form changes nothing.
    Tick();
    EXPECT_EQ(Check().m_Identified.Get(), 1);
    for (int id : {IDC_OPTIONS_LABEL, IDC_OPTIONS, IDC_SERIAL_LABEL, IDC_SERIAL})
        EXPECT_FALSE(V().m_Shown.at(id)) << id;
    Check().m_Identified.Set(0);
    C().ShowLoaderVersion("$VER,SFLD_TZ5_v1.00");
    EXPECT_EQ(Check().m_Identified.Get(), 0);
    C().ShowLoaderVersion("$VER,PFLD_Pellar2v1.5");
    EXPECT_EQ(C().TextOf(IDC_RECEIVER), "PFLD Ver. 1.50");
    // 5 and 13: flash writing ends but the states are not ready: enabled, then disabled in the same tick.
    Job().m_FlashWriting.Set(0);
    Tick();
    EXPECT_FALSE(V().m_Enabled[IDC_UPLOAD]);
    EXPECT_EQ(V().m_Focus, IDC_BROWSE);
    // The log view drops its older half past the limit.
    std::string marker(10241, 'b');
    V().m_Log = std::string(10240, 'a') + marker;
    C().AppendLogView("next line\r\n");
    EXPECT_EQ(V().m_Log, marker + "next line\n");
}

// A path typed into the image field loads when the user presses Enter or leaves the field; the one already
// shown is not read again, nor anything while an upload runs.
TEST_F(DialogCoreTest, ImageFieldLoadsOnEnterOrLeaving) {
    const std::string fw = WriteUnion("fw.bin", "G777"), other = WriteUnion("other.bin", "H300");
    ASSERT_TRUE(C().OnInitDialog());
    struct Row {
        std::string typed;
        bool busy;
        bool read;                 // a "Check image file name" line for it
        std::string type, version; // the panel afterwards
    };
    const Row rows[] = {
        {fw, false, true, "Firmware", "G777"},
        {fw, false, false, "Firmware", "G777"},
        {other, true, false, "Firmware", "G777"},
        {other, false, true, "Firmware", "H300"},
        {m_Dir.File("missing.bin"), false, true, "Unavailable", "Unavailable"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.typed + (row.busy ? " busy" : ""));
        C().m_Idle.Set(row.busy ? 0 : 1);
        Tick();
        V().m_Log.clear();
        V().m_Texts[IDC_IMAGE_COMBO] = row.typed;
        C().OnImageFieldDone();
        Tick();
        EXPECT_EQ(LogHas("Check image file name - " + row.typed), row.read) << V().m_Log;
        EXPECT_EQ(C().TextOf(IDC_IMAGE_TYPE), row.type);
        EXPECT_EQ(C().TextOf(IDC_IMAGE_VERSION), row.version);
    }
    // The bad file left the field and the list; the good ones stay in it, the latest first.
    EXPECT_EQ(V().m_Texts[IDC_IMAGE_COMBO], "");
    EXPECT_EQ(V().m_Items[IDC_IMAGE_COMBO], (std::vector<std::string>{other, fw}));
}

// The upload's questions, asked of a user who answers Cancel: the receiver is never flashed on a no. (Nobody
// to ask in an unattended run: the end-to-end table.)
TEST_F(DialogCoreTest, UploadQuestions) {
    struct Row {
        const char* name;
        std::string receiverVersion; // "" for a receiver in its loader
        bool optionsImage;
        std::string asked; // "" when nothing is asked
        int code;          // 1 when the upload started
    };
    const std::string differs = "Warning: You are trying to upload firmware from different GNSS receiver.";
    const std::string undetected =
        "Warning: GNSS receiver type undetected.\nProceed with image uploading for VX20 receiver?";
    const Row rows[] = {
        {"another type, Cancel", "H300", false, differs, 0},
        {"in its loader, Cancel", "", false, undetected, 0},
        {"same family", "G205", false, "", 1},
        {"options image", "H300", true, "", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        OptionsParams optParams;
        std::string image = row.optionsImage ? m_Dir.Write("opt.bin", Built(BuildOptionsImage, optParams))
                                             : WriteUnion("fw.bin", "G100");
        SimOptions options = FastSimOptions();
        if (row.receiverVersion.empty())
            options.start = SimStartStage::Pfld;
        else
            options.version = row.receiverVersion;
        ASSERT_TRUE(C().OnInitDialog());
        int slot = AddSim(options);
        C().FillPortList();
        m_System->StartWorkers();
        V().m_Texts[IDC_IMAGE_COMBO] = image;
        ASSERT_EQ(C().RefreshImageInfo(), 1);
        C().OnPortSelChange(slot);
        ASSERT_TRUE(
            TickUntil([&] { return Check().m_Identified.Get() == 1 && Check().m_CheckRunning.Get() == 0; }));
        SetMessageBoxesOff(false);
        V().m_Answers = {IDCANCEL};
        bool started = C().OnUpload();
        EXPECT_EQ(started, row.code == 1);
        if (row.asked.empty()) {
            EXPECT_TRUE(V().m_Boxes.empty()) << V().m_Boxes.front();
        } else if (V().m_Boxes.size() != 1u) {
            ADD_FAILURE() << V().m_Boxes.size() << " questions asked";
        } else {
            EXPECT_EQ(V().m_Boxes[0].rfind(row.asked, 0), 0u) << V().m_Boxes[0];
            Tick();
            EXPECT_TRUE(LogHas("Upload canceled\n"));
        }
        if (started) {
            C().OnUpload();
            EXPECT_TRUE(TickUntil([&] { return Job().m_Start.Get() == 0; }, 30000));
        }
    }
}
