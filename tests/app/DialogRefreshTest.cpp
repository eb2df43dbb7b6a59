// The dialog with real widgets: start state and layout, the refresh step against cells and a simulated
// receiver, the commands, the port list, the log file and the end of automatic runs.

#include "DialogFixture.h"
#include "Process.h"
#include "app/HelpFile.h"
#include "app/StringTable.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QMessageBox>
#include <QStyle>
#include <QTimer>
#include <clocale>
#include <ctime>
#include <fstream>
#include <tuple>
#include <unistd.h>

namespace {

// Looks at every message box that opens; check says whether to close it now (Cancel when it has one).
class CBoxCloser {
public:
    CBoxCloser() {
        m_Timer.setInterval(50);
        QObject::connect(&m_Timer, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || (m_Check && !m_Check(box)))
                return;
            m_Texts.push_back(box->text());
            box->button(QMessageBox::Cancel) ? box->reject() : box->accept();
        });
        m_Timer.start();
    }
    std::vector<QString> m_Texts;
    std::function<bool(QMessageBox*)> m_Check;

private:
    QTimer m_Timer;
};

} // namespace

// Every caption and label shows whole, at the platform's font size and half as large again.
TEST_F(DialogTest, StartStateAndNoClippedTextAtTwoFontSizes) {
    Init();
    EXPECT_EQ(m_Dlg->windowTitle(), "Kavrel");
    EXPECT_EQ(Text(IDC_VERSION), "Ver. 2.06");
    EXPECT_EQ(Button(IDC_UPLOAD)->toolTip(), "Press here to start uploading");
    EXPECT_FALSE(m_Dlg->windowFlags() & Qt::WindowMaximizeButtonHint);
    for (int id : {IDC_CONN_BAR, IDC_FILE_BAR}) {
        CColorBar* bar = Widget<CColorBar>(id);
        EXPECT_EQ(bar->BarColor(), COLOR_ORANGE);
        EXPECT_EQ(bar->Fill(), bar->width() - 6);
    }
    EXPECT_EQ(Widget<CColorBar>(IDC_UPLOAD_BAR)->Fill(), 0);
    EXPECT_EQ(Text(IDC_IMAGE_TYPE), "Unavailable");
    Tick();
    EXPECT_TRUE(ViewHas("ERROR: image file name field empty"));
    EXPECT_FALSE(Button(IDC_UPLOAD)->isEnabled());
    EXPECT_EQ(Widget<QComboBox>(IDC_PORT_LIST)->itemText(0), "OFF");

    QFont normal = QApplication::font();
    for (double scale : {1.0, 1.5}) {
        QFont font = normal;
        font.setPointSizeF(normal.pointSizeF() * scale);
        QApplication::setFont(font);
        CLoaderDlg dlg(*m_System, *m_Profile);
        dlg.OnInitDialog();
        for (QWidget* w : dlg.findChildren<QWidget*>()) {
            QFontMetrics fm(w->font());
            int room = w->contentsRect().width();
            QString text;
            if (auto* l = qobject_cast<QLabel*>(w); l && l->isVisibleTo(&dlg))
                text = l->text();
            else if (auto* b = qobject_cast<QPushButton*>(w))
                text = b->text(), room -= 8;
            else if (auto* c = qobject_cast<QCheckBox*>(w))
                text = c->text(), room -= c->style()->pixelMetric(QStyle::PM_IndicatorWidth) + 6;
            else if (auto* g = qobject_cast<QGroupBox*>(w))
                text = g->title(), room -= 12;
            EXPECT_LE(fm.horizontalAdvance(text), room) << scale << " " << text.toStdString();
        }
        // The log file's label keeps its name and byte count whole.
        std::string folder =
            m_Dir.File("a-rather-long-folder-name/for-the-log-file/of-this-test/that-goes-on");
        std::filesystem::create_directories(folder);
        std::string log = folder + "/run.log";
        CLoaderDlgProbe(dlg).StartLogFile(log);
        auto* box = dlg.findChild<QCheckBox*>(QString::number(IDC_SAVE_LOG));
        EXPECT_TRUE(box->text().endsWith(QString("run.log (%1)").arg(ReadAll(log).size())))
            << box->text().toStdString();
        EXPECT_LE(QFontMetrics(box->font()).horizontalAdvance(box->text()),
                  box->width() - box->style()->pixelMetric(QStyle::PM_IndicatorWidth));
        CLoaderDlgProbe(dlg).Close(0);
    }
    QApplication::setFont(normal);
}

// Each step against the cells it reads, one tick at a time.
TEST_F(DialogTest, RefreshStepsFollowTheirCells) {
    m_Profile->WriteString("m_FLog", m_Dir.File("off.log"));
    Init();
    CColorBar* bar = Widget<CColorBar>(IDC_UPLOAD_BAR);
    // 1: status lines; 2: log lines dropped while logging is off.
    m_System->m_Channel.PushStatus("first");
    m_System->m_Channel.Log("dropped");
    // 3 and 12: progress and phase colours.
    Job().m_Progress.Set(500);
    Job().m_Phase.Set(3);
    // 4: busy.
    m_P->Idle().Set(0);
    Job().m_Start.Set(1);
    Tick();
    EXPECT_TRUE(ViewHas("first\n"));
    EXPECT_FALSE(std::filesystem::exists(m_Dir.File("off.log")));
    EXPECT_EQ(bar->Fill(), static_cast<int>((bar->width() - 6) * 0.5 + 0.5));
    EXPECT_EQ(bar->BarColor(), COLOR_BLUE);
    EXPECT_EQ(bar->RestColor(), COLOR_ORANGE);
    EXPECT_EQ(Button(IDC_UPLOAD)->text(), "Cancel");
    EXPECT_EQ(Button(IDC_UPLOAD)->toolTip(), "Press here to cancel uploading");
    for (int id : {IDC_BROWSE, IDC_CONNECT, IDC_REFRESH, IDC_EXIT, IDC_IMAGE_COMBO, IDC_PORT_LIST})
        EXPECT_FALSE(Widget(id)->isEnabled()) << id;
    EXPECT_EQ(m_P->Busy(), 1);
    // A phase beyond the colour table shows blank and is never used as an index.
    for (auto [phase, barColor, restColor] :
         {std::tuple{2, COLOR_ORANGE, COLOR_WHITE}, std::tuple{9, COLOR_WHITE, COLOR_WHITE}}) {
        Job().m_Phase.Set(phase);
        Tick();
        EXPECT_EQ(bar->BarColor(), barColor) << phase;
        EXPECT_EQ(bar->RestColor(), restColor) << phase;
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
    EXPECT_EQ(m_P->Idle().Get(), 1);
    m_P->Idle().Set(1);
    Tick();
    EXPECT_EQ(Button(IDC_UPLOAD)->text(), "Upload");
    EXPECT_EQ(m_P->Busy(), 0);
    // 8 when idle: the banner stands for the receiver; a banner of another form changes nothing.
    Tick();
    EXPECT_EQ(Check().m_Identified.Get(), 1);
    for (int id : {IDC_OPTIONS_LABEL, IDC_OPTIONS, IDC_SERIAL_LABEL, IDC_SERIAL})
        EXPECT_TRUE(Widget(id)->isHidden()) << id;
    Check().m_Identified.Set(0);
    m_P->ShowLoaderVersion("$VER,SFLD_TZ5_v1.00");
    EXPECT_EQ(Check().m_Identified.Get(), 0);
    // 5 and 13: flash writing ends but the states are not ready: enabled, then disabled in the same tick.
    Job().m_FlashWriting.Set(0);
    Tick();
    EXPECT_FALSE(Button(IDC_UPLOAD)->isEnabled());
    // The log view drops its older half past the limit.
    auto* view = Widget<QPlainTextEdit>(IDC_LOG_VIEW);
    QString marker(10241, QChar('b'));
    view->setPlainText(QString(10240, QChar('a')) + marker);
    m_P->AppendLogView("next line\r\n");
    EXPECT_EQ(view->toPlainText(), marker + "next line\n");
}

TEST_F(DialogTest, ReceiverTextsAndUploadButtonWithASimulatedReceiver) {
    std::string image = WriteUnion("fw.bin");
    Init();
    SimOptions options;
    options.model = "VX20";
    options.version = "G205";
    options.options = "";
    options.serial = "SN4711";
    ASSERT_TRUE(Connect(options));
    // 6: the open port makes the step request a check, which identifies the receiver.
    ASSERT_TRUE(TickUntil([this] { return Text(IDC_RECEIVER) == "VX20 Ver. G205"; }));
    EXPECT_TRUE(Widget(IDC_OPTIONS)->isHidden());
    EXPECT_FALSE(Widget(IDC_SERIAL_LABEL)->isHidden());
    EXPECT_EQ(Text(IDC_SERIAL), "SN4711");
    EXPECT_TRUE(Widget(IDC_PORT_LIST)->isEnabled());
    EXPECT_EQ(Text(IDC_STATUS), "Connected");
    EXPECT_EQ(Widget<CColorBar>(IDC_CONN_BAR)->BarColor(), COLOR_BLUE);
    EXPECT_FALSE(Button(IDC_UPLOAD)->isEnabled());
    EXPECT_EQ(m_Dlg->focusWidget(), Button(IDC_BROWSE));
    EXPECT_EQ(m_Profile->GetInt("iPortId", -1), m_SimSlot);

    ASSERT_EQ(ChooseImage(image), 1);
    ASSERT_TRUE(TickUntil([this] { return Button(IDC_UPLOAD)->isEnabled(); }));
    EXPECT_EQ(m_Dlg->focusWidget(), Button(IDC_UPLOAD));
    // Flash writing forbids the button, and the rule of step 13 does not bring it back.
    Job().m_FlashWriting.Set(1);
    Tick();
    Tick();
    EXPECT_FALSE(Button(IDC_UPLOAD)->isEnabled());
    EXPECT_EQ(m_P->UploadBlocked(), 1);
    EXPECT_EQ(m_Dlg->focusWidget(), Widget(IDC_SAVE_LOG));
    Job().m_FlashWriting.Set(0);
    Tick();
    EXPECT_TRUE(Button(IDC_UPLOAD)->isEnabled());
    Job().m_FileState.Set(2);
    Tick();
    EXPECT_FALSE(Button(IDC_UPLOAD)->isEnabled());
    EXPECT_EQ(Widget<CColorBar>(IDC_FILE_BAR)->BarColor(), COLOR_ORANGE);
}

// A silent receiver leaves the texts "Unavailable"; while a check runs (against silence, its whole limit)
// they say "Checking..." and the port list is locked.
TEST_F(DialogTest, SilentReceiverShowsUnavailableAndCheckingWhileTheCheckRuns) {
    Init();
    SimOptions options;
    options.fault = SimFault::Silent;
    ASSERT_TRUE(Connect(options));
    // The checks the opening asked for have queried and ended (a loaded machine may tick past "Checking...").
    ASSERT_TRUE(TickUntil(
        [this] {
            return m_Sim->m_Sim->Stats().bytesFromHost > 0 && Check().m_CheckRunning.Get() == 0 &&
                   Text(IDC_RECEIVER) == "Unavailable";
        },
        30000));
    EXPECT_EQ(Text(IDC_SERIAL), "Unavailable");
    Check().RequestCheck();
    Tick();
    EXPECT_EQ(Text(IDC_RECEIVER), "Checking...");
    EXPECT_FALSE(Widget(IDC_PORT_LIST)->isEnabled());
    ASSERT_TRUE(TickUntil([this] { return Widget(IDC_PORT_LIST)->isEnabled(); }, 30000));
    EXPECT_EQ(Text(IDC_RECEIVER), "Unavailable");
}

// Upload after the type prompt, Cancel, and an Upload pressed again while the job still winds down: the
// cancel stands.
TEST_F(DialogTest, UploadCancelAndNoNewStartWhileTheJobRuns) {
    std::string image = WriteUnion("fw.bin", "G100");
    Init();
    ASSERT_EQ(ChooseImage(image), 1);
    SimOptions options;
    options.version = "H300";
    ASSERT_TRUE(Connect(options));
    ASSERT_TRUE(TickUntil([this] { return Text(IDC_RECEIVER).startsWith("TZ5N"); }));
    // Receiver family H, image family G: the prompt counts as accepted with message boxes off.
    ASSERT_TRUE(m_P->Upload());
    EXPECT_EQ(Job().m_ConnectBudget.load(), 30);
    Tick();
    EXPECT_EQ(Button(IDC_UPLOAD)->text(), "Cancel");
    ASSERT_TRUE(m_P->Upload());
    EXPECT_EQ(Job().m_Cancel.Get(), 1);
    Tick();
    EXPECT_EQ(Button(IDC_UPLOAD)->text(), "Upload");
    EXPECT_FALSE(m_P->Upload());
    EXPECT_EQ(Job().m_Cancel.Get(), 1);
    ASSERT_TRUE(TickUntil([this] { return Job().m_Start.Get() == 0; }, 20000));
    Tick();
    EXPECT_TRUE(ViewHas("Upload canceled"));
    EXPECT_FALSE(ViewHas("Upload complete"));
}

TEST_F(DialogTest, UploadWaitsForTheCheckWithinABoundAndRefuses) {
    Init();
    // No check worker runs, so the requested check never ends: the wait must end by itself.
    const CReceiverCheck::Timing& t = Check().m_Timing;
    uint32_t bound = t.checkLimitMs + t.sentenceLimitMs + t.idleWaitMs + 1000;
    uint32_t start = TickMs();
    EXPECT_FALSE(m_P->Upload());
    uint32_t took = ElapsedMs(start);
    EXPECT_GE(took, bound - 100);
    EXPECT_LT(took, bound + 2000);
    EXPECT_EQ(Job().m_Start.Get(), 0);
    EXPECT_EQ(m_P->Idle().Get(), 1);
    EXPECT_EQ(Check().m_CheckRunning.Changed(), 1);
}

// The result box opens after the step has ended; the refresh, the log view and the button rules go on behind
// it, and the box is wide enough for its title.
TEST_F(DialogTest, ResultBoxLeavesTheRefreshRunning) {
    Init();
    SetMessageBoxesOff(false);
    CBoxCloser closer;
    bool lineBehindBox = false;
    uint32_t opened = 0;
    // A line pushed while the box is open must reach the view before the box is closed.
    closer.m_Check = [&](QMessageBox* box) {
        if (opened == 0) {
            opened = TickMs();
            m_System->m_Channel.PushStatus("behind the box");
            QFont bold = box->font();
            bold.setBold(true);
            EXPECT_GT(box->width(), QFontMetrics(bold).horizontalAdvance(box->windowTitle()) + 100);
        }
        lineBehindBox = ViewHas("behind the box");
        return lineBehindBox || ElapsedMs(opened) > 3000;
    };
    Job().m_Result.Set(1);
    uint32_t start = TickMs();
    while (closer.m_Texts.empty() && ElapsedMs(start) < 15000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_EQ(closer.m_Texts.size(), 1u);
    EXPECT_EQ(closer.m_Texts[0], "Upload complete");
    EXPECT_TRUE(lineBehindBox);
    EXPECT_FALSE(m_Dlg->Ended());
}

// An automatic upload refused at its own preconditions ends with the code of what stood in the way: the
// image gone (3), the port gone after the receiver answered (4), the type prompt declined (5).
TEST_F(DialogTest, AutomaticUploadRefusedEndsWithThreeFourOrFive) {
    for (int expected : {3, 4, 5}) {
        SCOPED_TRACE(expected);
        TearDown();
        SetUp();
        std::string image = WriteUnion("auto.bin", "G100");
        SimOptions options;
        options.version = "H300";
        // 4: the receiver hangs up on the fresh check's query. The port is a link that goes with it, so a
        // reopen cannot find a terminal that another program was given under the same number.
        if (expected == 4) {
            options.fault = SimFault::HangupQuery;
            options.faultArg = 2;
            options.linkPath = m_Dir.File("receiver");
        }
        StartSim(options);
        m_System->StartWorkers();
        m_Dlg->m_AutoMode = 1;
        m_Dlg->m_CmdPort = SimPath();
        m_Dlg->m_CmdImage = image;
        SetMessageBoxesOff(false);
        CBoxCloser closer;
        // The image goes during the second's pause before the receiver check, after its last look.
        std::thread spoiler([&] {
            uint32_t start = TickMs();
            while (expected == 3 && Job().m_FileState.Get() != 4 && ElapsedMs(start) < 10000)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            if (expected == 3)
                std::remove(image.c_str());
        });
        bool running = m_Dlg->OnInitDialog();
        spoiler.join();
        EXPECT_FALSE(running);
        ExpectEnded(expected);
        const char* why[] = {"Choose correct image file", "Check connection to the receiver",
                             "You are trying to upload firmware from different GNSS receiver."};
        ASSERT_EQ(closer.m_Texts.size(), 1u);
        EXPECT_TRUE(closer.m_Texts[0].startsWith(why[expected - 3])) << closer.m_Texts[0].toStdString();
    }
}

TEST_F(DialogTest, AutomaticRunEndsWithZeroAtOnceAndWithFiveOnceTheWorkerIsDone) {
    Init();
    m_Dlg->m_AutoMode = 1;
    Job().m_Start.Set(1);
    Job().m_Result.Set(0);
    Tick();
    Tick();
    // The worker still clears m_Start: the close is refused, but it is not forgotten.
    EXPECT_FALSE(m_Dlg->Ended());
    Job().m_Start.Set(0);
    Tick();
    ExpectEnded(5);

    TearDown();
    SetUp();
    Init();
    m_Dlg->m_AutoMode = 1;
    Job().m_Start.Set(1);
    Job().m_Result.Set(1);
    Tick();
    ExpectEnded(0);
}

TEST_F(DialogTest, ClosingRulesAndExitCodes) {
    Init();
    Job().m_Start.Set(1);
    m_Dlg->close();
    m_P->Close(0);
    m_Dlg->reject();
    EXPECT_FALSE(m_Dlg->Ended());
    Job().m_Start.Set(0);
    // An interactive result shows nothing with boxes off and does not close.
    Job().m_Result.Set(1);
    Tick();
    EXPECT_FALSE(m_Dlg->Ended());
    m_Dlg->close();
    ExpectEnded(1);

    TearDown();
    SetUp();
    Init();
    Button(IDC_EXIT)->click();
    ExpectEnded(0);
}

// "-p PORT" alone: the port is added to the list and chosen; one that is not there leaves the remembered one,
// and in an unattended run ends it with 2.
TEST_F(DialogTest, CommandLinePortIsAddedAndChosen) {
    StartSim();
    m_Dlg->m_CmdPort = SimPath();
    Init();
    auto* list = Widget<QComboBox>(IDC_PORT_LIST);
    EXPECT_EQ(list->currentText().toStdString(), SimPath());
    EXPECT_EQ(m_P->PortIndex(), list->findText(QString::fromStdString(SimPath())));
    EXPECT_EQ(m_System->m_PortWorker.m_PortRequest.Get(), m_P->PortIndex());
    // A device change keeps the chosen port in its slot without a new request; "OFF" is always first.
    m_P->DeviceChange();
    EXPECT_EQ(list->currentText().toStdString(), SimPath());
    EXPECT_EQ(m_System->m_PortWorker.m_PortRequest.Changed(), 0);
    m_P->ChoosePort(0);
    EXPECT_EQ(m_Profile->GetInt("iPortId", -1), 0);

    for (int autoMode : {0, 1}) {
        TearDown();
        SetUp();
        m_Profile->WriteInt("iPortId", 250);
        m_Dlg->m_AutoMode = autoMode;
        m_Dlg->m_CmdPort = "/dev/kavrel-no-such-port";
        m_Dlg->m_CmdImage = "/nothing.bin";
        EXPECT_EQ(m_Dlg->OnInitDialog(), autoMode == 0);
        EXPECT_EQ(m_Dlg->Ended(), autoMode == 1);
        EXPECT_EQ(m_Dlg->ExitCode(), autoMode ? 2 : 0);
        // A remembered port beyond the list falls back to the last entry.
        if (!autoMode) {
            EXPECT_EQ(m_P->PortIndex(), Widget<QComboBox>(IDC_PORT_LIST)->count() - 1);
        }
    }
}

TEST_F(DialogTest, FileInformationForUnionOptionsAndBadFiles) {
    std::string fw = WriteUnion("fw.bin", "G777");
    OptionsParams optParams;
    optParams.serial = "TZ5A00009876";
    const std::string opt = m_Dir.Write("opt.bin", Built(BuildOptionsImage, optParams));
    Init();
    auto* combo = Widget<QComboBox>(IDC_IMAGE_COMBO);
    ASSERT_EQ(ChooseImage(fw), 1);
    EXPECT_EQ(Text(IDC_IMAGE_TYPE), "Firmware");
    EXPECT_EQ(Text(IDC_IMAGE_VERSION), "G777");
    EXPECT_EQ(Text(IDC_PFL_VERSION), "1.2");
    EXPECT_EQ(Job().m_FileState.Get(), 4);
    ASSERT_EQ(ChooseImage(opt), 1);
    EXPECT_EQ(Text(IDC_IMAGE_TYPE), "Options");
    EXPECT_EQ(Text(IDC_IMAGE_VERSION_LABEL), "Serial:");
    EXPECT_EQ(Text(IDC_IMAGE_VERSION), "TZ5A00009876");
    EXPECT_TRUE(Widget(IDC_PFL_VERSION_LABEL)->isHidden());
    EXPECT_EQ(combo->itemText(0).toStdString(), opt);
    EXPECT_EQ(m_Profile->GetString("recfile0", ""), opt);
    // A file that turns bad leaves the list.
    std::ofstream(fw, std::ios::trunc) << "broken now";
    EXPECT_EQ(ChooseImage(fw), 0);
    EXPECT_EQ(Text(IDC_DATE), "Unavailable");
    EXPECT_EQ(combo->count(), 1);
    EXPECT_EQ(m_Profile->GetInt("n", -1), 1);
    EXPECT_EQ(Job().m_FileState.Get(), 2);
    Tick();
    EXPECT_TRUE(ViewHas("Check image file name - " + QString::fromStdString(fw)));
    EXPECT_TRUE(ViewHas("ERROR: corrupted file"));
    // Choosing from the list reloads the file.
    m_P->ImageSelChange(0);
    EXPECT_EQ(Text(IDC_IMAGE_TYPE), "Options");
}

TEST_F(DialogTest, CommandLineLogFileIsCreatedEmptyAndFilled) {
    std::string log = m_Dir.File("cmd.log");
    std::ofstream(log) << "old contents";
    m_Dlg->m_LogFromCmdLine = 1;
    m_Dlg->m_CmdLogName = log;
    ASSERT_TRUE(m_Dlg->OnInitDialog());
    EXPECT_EQ(ReadAll(log), "");
    m_System->m_Channel.Log("a job line");
    Tick();
    std::string text = ReadAll(log);
    EXPECT_NE(text.find("\ta job line\r\n"), std::string::npos);
    EXPECT_NE(Widget<QCheckBox>(IDC_SAVE_LOG)->text().indexOf(QString("(%1)").arg(text.size())), -1);
    // A file chosen next counts its own bytes, none carried over from the first.
    const std::string next = m_Dir.File("next.log");
    m_P->StartLogFile(next);
    EXPECT_TRUE(
        Widget<QCheckBox>(IDC_SAVE_LOG)->text().endsWith(QString("next.log (%1)").arg(ReadAll(next).size())))
        << Widget<QCheckBox>(IDC_SAVE_LOG)->text().toStdString();
    // The close drains what is left.
    m_System->m_Channel.Log("last line");
    m_P->Close(0);
    EXPECT_NE(ReadAll(next).find("\tlast line\r\n"), std::string::npos);
}

// A German desktop writes numbers with ',' and names days in German; the banner and the header do not.
TEST_F(DialogTest, LogFileHeaderBannerCatalogueAndHelpIgnoreTheUserLocale) {
    std::string ini = m_Dir.File("localization.ini");
    std::ofstream(ini) << "[Strings]\n109=Hochladen\n";
    ASSERT_TRUE(LoadStringCatalogue(ini));
    Init();
    ResetStringCatalogue();
    EXPECT_EQ(Button(IDC_UPLOAD)->text(), "Hochladen");
    // The German locale, compiled into the test's folder when the system has none.
    std::string old = std::setlocale(LC_ALL, nullptr);
    std::string make = "localedef -i de_DE -f UTF-8 '" + m_Dir.File("de_DE.UTF-8") + "' >/dev/null 2>&1";
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && std::system(make.c_str()) == 0) {
        setenv("LOCPATH", m_Dir.Path().c_str(), 1);
        std::setlocale(LC_ALL, "de_DE.UTF-8");
        unsetenv("LOCPATH");
    }
    ASSERT_NE(std::setlocale(LC_ALL, nullptr), old) << "no German locale";
    m_P->ShowLoaderVersion("$VER,PFLD_Pellar2v1.5");
    EXPECT_EQ(m_P->ReceiverText(), "PFLD Ver. 1.50");
    std::string log = m_Dir.File("chosen.log");
    std::time_t now = std::time(nullptr);
    m_P->StartLogFile(log);
    std::setlocale(LC_ALL, old.c_str());
    char stamp[32] = {};
    ctime_r(&now, stamp);
    std::string text = ReadAll(log);
    EXPECT_EQ(text.substr(0, 18 + 11), "Kavrel Ver. 2.06\r\n" + std::string(stamp).substr(0, 11)) << text;
    EXPECT_EQ(text.size(), 18u + 24 + 4);
    EXPECT_EQ(m_Profile->GetString("m_FLog", ""), log);
    EXPECT_TRUE(m_P->HelpFile());
    Tick();
    EXPECT_TRUE(ViewHas("Save log to file - " + QString::fromStdString(log)));
    // The build puts the manual beside the program; the offscreen platform refuses to show it.
    EXPECT_TRUE(ViewHas("ERROR: can't open help file "));
    EXPECT_TRUE(ViewHas("/GNSS.html"));
    // Nowhere to be found: every place searched is named.
    std::string where;
    EXPECT_FALSE(OpenHelpFile(m_Dir.File("bin"), where));
    EXPECT_EQ(where, m_Dir.File("bin/GNSS.html") + " or " + m_Dir.File("share/doc/kavrel/GNSS.html"));
}
