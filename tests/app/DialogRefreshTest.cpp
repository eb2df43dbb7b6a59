// The refresh step with real widgets: indicators, the Upload button rule, receiver texts, the loader banner,
// the log view, idle and busy, and the end of an automatic run.

#include "DialogFixture.h"
#include "ImageWriter.h"
#include "app/HelpFile.h"
#include "app/StringTable.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <tuple>

namespace {

// Builds an image with the writer of the image tool and writes it into the test's folder.
template <class Params>
std::string WriteImage(const CTestDir& dir, const std::string& name, const Params& params,
                       bool (*build)(const Params&, Bytes&, std::string&)) {
    Bytes bytes;
    std::string error;
    EXPECT_TRUE(build(params, bytes, error)) << error;
    std::string path = dir.File(name);
    EXPECT_TRUE(WriteFile(path, bytes.data(), bytes.size(), error)) << error;
    return path;
}

std::string WriteUnion(const CTestDir& dir, const std::string& name, const std::string& version = "A123") {
    UnionParams params;
    params.fwVersion = version;
    return WriteImage(dir, name, params, BuildUnionImage);
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Puts the process into a German locale (',' in numbers, German day names) as a user's environment would,
// compiled into the test's folder when the system has none; Active() is false when neither works.
class CGermanLocale {
public:
    explicit CGermanLocale(const CTestDir& dir) : m_Old(std::setlocale(LC_ALL, nullptr)) {
        if (std::setlocale(LC_ALL, "de_DE.UTF-8"))
            return;
        std::string cmd = "localedef -i de_DE -f UTF-8 '" + dir.File("de_DE.UTF-8") + "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0)
            return;
        setenv("LOCPATH", dir.Path().c_str(), 1);
        m_OwnPath = true;
        std::setlocale(LC_ALL, "de_DE.UTF-8");
    }
    ~CGermanLocale() {
        std::setlocale(LC_ALL, m_Old.c_str());
        if (m_OwnPath)
            unsetenv("LOCPATH");
    }
    bool Active() const { return std::string(std::setlocale(LC_ALL, nullptr)) != m_Old; }

private:
    std::string m_Old;
    bool m_OwnPath = false;
};

std::string CtimeText(std::time_t t) {
    char text[32] = {};
    ctime_r(&t, text);
    std::string s(text);
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

} // namespace

TEST_F(DialogTest, StartStateOfIndicatorsAndTexts) {
    Init();
    EXPECT_EQ(m_Dlg->windowTitle(), "Kavrel");
    EXPECT_EQ(Text(IDC_VERSION), "Ver. 2.06");
    EXPECT_EQ(Text(IDC_PORT_LABEL), "Choose port:");
    EXPECT_EQ(m_Dlg->Button(IDC_UPLOAD)->text(), "Upload");
    EXPECT_EQ(m_Dlg->Button(IDC_UPLOAD)->toolTip(), "Press here to start uploading");
    for (int id : {IDC_CONN_BAR, IDC_FILE_BAR}) {
        CColorBar* bar = m_Dlg->Bar(id);
        EXPECT_EQ(bar->BarColor(), COLOR_ORANGE);
        EXPECT_EQ(bar->RestColor(), COLOR_WHITE);
        EXPECT_EQ(bar->Fill(), bar->width() - 6);
    }
    CColorBar* upload = m_Dlg->Bar(IDC_UPLOAD_BAR);
    EXPECT_EQ(upload->BarColor(), COLOR_BLUE);
    EXPECT_EQ(upload->Fill(), 0);
    // No image chosen: the panel says so and the view tells why.
    EXPECT_EQ(Text(IDC_IMAGE_TYPE), "Unavailable");
    Tick();
    EXPECT_TRUE(ViewHas("ERROR: image file name field empty"));
    EXPECT_FALSE(m_Dlg->Button(IDC_UPLOAD)->isEnabled());
    EXPECT_EQ(Text(IDC_STATUS), "Not connected");
    EXPECT_EQ(m_Dlg->Combo(IDC_PORT_LIST)->itemText(0), "OFF");
}

TEST_F(DialogTest, PortOpenWithoutImageKeepsUploadDisabled) {
    Init();
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(TickUntil([this] { return m_Dlg->Bar(IDC_CONN_BAR)->BarColor() == COLOR_BLUE; }));
    EXPECT_EQ(Text(IDC_STATUS), "Connected");
    EXPECT_EQ(m_Dlg->Bar(IDC_CONN_BAR)->RestColor(), COLOR_WHITE);
    EXPECT_EQ(m_Dlg->Bar(IDC_FILE_BAR)->BarColor(), COLOR_ORANGE);
    EXPECT_FALSE(m_Dlg->Button(IDC_UPLOAD)->isEnabled());
    EXPECT_EQ(m_Dlg->focusWidget(), m_Dlg->Button(IDC_BROWSE));
    EXPECT_EQ(m_Profile->GetInt("iPortId", -1), m_SimSlot);
}

TEST_F(DialogTest, UploadButtonFollowsStatesAndFlashWriting) {
    std::string image = WriteUnion(m_Dir, "fw.bin");
    Init();
    ASSERT_EQ(ChooseImage(image), 1);
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(TickUntil([this] { return m_Dlg->Button(IDC_UPLOAD)->isEnabled(); }));
    EXPECT_EQ(m_Dlg->Bar(IDC_FILE_BAR)->BarColor(), COLOR_BLUE);
    EXPECT_EQ(m_Dlg->focusWidget(), m_Dlg->Button(IDC_UPLOAD));

    // Flash writing forbids the button, and the rule of step 13 does not bring it back.
    Job().m_FlashWriting.Set(1);
    Tick();
    EXPECT_FALSE(m_Dlg->Button(IDC_UPLOAD)->isEnabled());
    EXPECT_EQ(m_Dlg->m_UploadBlocked, 1);
    EXPECT_EQ(m_Dlg->focusWidget(), m_Dlg->SaveLogBox());
    Tick();
    EXPECT_FALSE(m_Dlg->Button(IDC_UPLOAD)->isEnabled());
    Job().m_FlashWriting.Set(0);
    Tick();
    EXPECT_TRUE(m_Dlg->Button(IDC_UPLOAD)->isEnabled());
    EXPECT_EQ(m_Dlg->m_UploadBlocked, 0);

    // Without a valid image the button goes off again and Browse takes the focus.
    Job().m_FileState.Set(2);
    Tick();
    EXPECT_FALSE(m_Dlg->Button(IDC_UPLOAD)->isEnabled());
    EXPECT_EQ(m_Dlg->focusWidget(), m_Dlg->Button(IDC_BROWSE));
    EXPECT_EQ(m_Dlg->Bar(IDC_FILE_BAR)->BarColor(), COLOR_ORANGE);
}

TEST_F(DialogTest, FlashWritingEndsButStatesNotReady) {
    Init();
    Job().m_FlashWriting.Set(0);
    Tick();
    // Step 5 enables it, step 13 disables it again in the same tick.
    EXPECT_FALSE(m_Dlg->Button(IDC_UPLOAD)->isEnabled());
}

TEST_F(DialogTest, ReceiverTextsFromACheck) {
    Init();
    SimOptions options;
    options.model = "VX20";
    options.version = "G205";
    options.options = "";
    options.serial = "SN4711";
    ASSERT_TRUE(Connect(options));
    // The open port raises the cell that makes the step request a check; the texts show "Checking...".
    ASSERT_TRUE(TickUntil([this] { return Text(IDC_RECEIVER) == "Checking..."; }));
    EXPECT_EQ(Text(IDC_OPTIONS), "Checking...");
    EXPECT_FALSE(m_Dlg->Item(IDC_PORT_LIST)->isEnabled());
    ASSERT_TRUE(TickUntil([this] { return Text(IDC_RECEIVER).startsWith("VX20"); }));
    EXPECT_EQ(Text(IDC_RECEIVER), "VX20 Ver. G205");
    EXPECT_TRUE(m_Dlg->Item(IDC_OPTIONS)->isHidden());
    EXPECT_TRUE(m_Dlg->Item(IDC_OPTIONS_LABEL)->isHidden());
    EXPECT_FALSE(m_Dlg->Item(IDC_SERIAL)->isHidden());
    EXPECT_FALSE(m_Dlg->Item(IDC_SERIAL_LABEL)->isHidden());
    EXPECT_EQ(Text(IDC_SERIAL), "SN4711");
    EXPECT_TRUE(m_Dlg->Item(IDC_PORT_LIST)->isEnabled());
}

TEST_F(DialogTest, NoReceiverShowsUnavailable) {
    Init();
    SimOptions options;
    options.fault = SimFault::Silent;
    ASSERT_TRUE(Connect(options));
    ASSERT_TRUE(TickUntil([this] { return Text(IDC_RECEIVER) == "Checking..."; }));
    ASSERT_TRUE(TickUntil([this] { return Text(IDC_RECEIVER) == "Unavailable"; }));
    EXPECT_EQ(Text(IDC_SERIAL), "Unavailable");
    EXPECT_EQ(Check().m_Identified.Get(), 0);
}

TEST_F(DialogTest, LoaderBannerStandsForTheReceiver) {
    Init();
    Job().m_PfldVersion.Set("$VER,PFLD_Pellar2v2.5");
    Check().m_Identified.Set(0);
    // The banner shows while the port is open; RefreshConnection of a closed port would overwrite it, so
    // look at the member that the step sets.
    Tick();
    EXPECT_EQ(Check().m_Identified.Get(), 1);
    for (int id : {IDC_OPTIONS_LABEL, IDC_OPTIONS, IDC_SERIAL_LABEL, IDC_SERIAL})
        EXPECT_TRUE(m_Dlg->Item(id)->isHidden()) << id;

    m_Dlg->ShowLoaderVersion("$VER,PFLD_Pellar2v1.5");
    EXPECT_EQ(m_Dlg->m_ReceiverText, "PFLD Ver. 1.50");
    // A banner of another form changes nothing.
    m_Dlg->m_ReceiverText = "kept";
    Check().m_Identified.Set(0);
    m_Dlg->ShowLoaderVersion("$VER,SFLD_TZ5_v1.00");
    EXPECT_EQ(m_Dlg->m_ReceiverText, "kept");
    EXPECT_EQ(Check().m_Identified.Get(), 0);
}

TEST_F(DialogTest, LoaderBannerWithOpenPort) {
    Init();
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(TickUntil([this] { return Text(IDC_RECEIVER).startsWith("TZ5N"); }));
    Check().m_Identified.Set(0);
    Job().m_PfldVersion.Set("$VER,PFLD_Pellar2v2.5");
    Tick();
    EXPECT_EQ(Text(IDC_RECEIVER), "PFLD Ver. 2.50");
    EXPECT_EQ(Check().m_Identified.Get(), 1);
}

TEST_F(DialogTest, LogViewDropsTheOlderHalf) {
    Init();
    QPlainTextEdit* view = m_Dlg->LogView();
    view->clear();
    view->setPlainText(QString(20481, QChar('a')));
    view->moveCursor(QTextCursor::End);
    QString marker(10241, QChar('b'));
    view->setPlainText(QString(10240, QChar('a')) + marker);
    ASSERT_EQ(view->document()->characterCount() - 1, 20481);
    m_Dlg->AppendLogView("next line\r\n");
    QString text = view->toPlainText();
    EXPECT_EQ(text, marker + "next line\n");

    // At the limit nothing is dropped.
    view->setPlainText(QString(20480, QChar('c')));
    m_Dlg->AppendLogView("x\r\n");
    EXPECT_EQ(view->toPlainText().size(), 20482);

    // Status lines reach the view through the step.
    Tick();
    view->clear();
    m_System->m_Channel.PushStatus("first");
    m_System->m_Channel.PushStatus("second");
    Tick();
    EXPECT_EQ(view->toPlainText(), "first\nsecond\n");
}

TEST_F(DialogTest, IdleAndBusyCaptions) {
    Init();
    m_Dlg->m_Idle.Set(0);
    Job().m_Start.Set(1);
    Tick();
    EXPECT_EQ(m_Dlg->Button(IDC_UPLOAD)->text(), "Cancel");
    EXPECT_EQ(m_Dlg->Button(IDC_UPLOAD)->toolTip(), "Press here to cancel uploading");
    for (int id : {IDC_BROWSE, IDC_CONNECT, IDC_REFRESH, IDC_EXIT, IDC_IMAGE_COMBO, IDC_PORT_LIST})
        EXPECT_FALSE(m_Dlg->Item(id)->isEnabled()) << id;
    EXPECT_EQ(m_Dlg->m_Busy, 1);
    // A close request during an upload is refused.
    m_Dlg->CloseDialog(0);
    EXPECT_FALSE(m_Dlg->Ended());
    // The worker ends the job: the next tick restores idle, the one after shows it.
    Job().m_Start.Set(0);
    Tick();
    EXPECT_EQ(m_Dlg->m_Idle.Get(), 1);
    m_Dlg->m_Idle.Set(1);
    Tick();
    EXPECT_EQ(m_Dlg->Button(IDC_UPLOAD)->text(), "Upload");
    EXPECT_TRUE(m_Dlg->Item(IDC_BROWSE)->isEnabled());
    EXPECT_EQ(m_Dlg->m_Busy, 0);
}

TEST_F(DialogTest, ProgressAndPhaseColours) {
    Init();
    CColorBar* bar = m_Dlg->Bar(IDC_UPLOAD_BAR);
    Job().m_Progress.Set(500);
    Job().m_Phase.Set(3);
    Tick();
    EXPECT_EQ(bar->Fill(), static_cast<int>((bar->width() - 6) * 0.5 + 0.5));
    EXPECT_EQ(m_Dlg->m_ShownProgress, 500);
    EXPECT_EQ(bar->BarColor(), COLOR_BLUE);
    EXPECT_EQ(bar->RestColor(), COLOR_ORANGE);
    // A phase beyond the colour table shows blank and is never used as an index.
    for (auto [phase, barColor, restColor] :
         {std::tuple{2, COLOR_ORANGE, COLOR_WHITE}, std::tuple{9, COLOR_WHITE, COLOR_WHITE}}) {
        Job().m_Phase.Set(phase);
        Tick();
        EXPECT_EQ(bar->BarColor(), barColor) << phase;
        EXPECT_EQ(bar->RestColor(), restColor) << phase;
    }
    Job().m_Progress.Set(1000);
    Tick();
    EXPECT_EQ(bar->Fill(), bar->width() - 6);
}

TEST_F(DialogTest, AutomaticRunEndsWithZeroWhileTheWorkerFinishes) {
    Init();
    m_Dlg->m_AutoMode = 1;
    Job().m_Start.Set(1);
    Job().m_Result.Set(1);
    Tick();
    ExpectEnded(0);
}

TEST_F(DialogTest, AutomaticFailureEndsWithFiveOnceTheWorkerIsDone) {
    Init();
    m_Dlg->m_AutoMode = 1;
    Job().m_Start.Set(1);
    Job().m_Result.Set(0);
    Tick();
    // The worker still clears m_Start: the close is refused, but it is not forgotten.
    EXPECT_FALSE(m_Dlg->Ended());
    Tick();
    EXPECT_FALSE(m_Dlg->Ended());
    Job().m_Start.Set(0);
    Tick();
    ExpectEnded(5);
}

TEST_F(DialogTest, InteractiveResultShowsNothingWithBoxesOff) {
    Init();
    Job().m_Result.Set(1);
    Tick();
    EXPECT_FALSE(m_Dlg->Ended());
    EXPECT_EQ(Job().m_Result.Changed(), 0);
    m_Dlg->CloseDialog(0);
    ExpectEnded(0);
}

TEST_F(DialogTest, CommandLineLogFileIsCreatedEmptyAndFilled) {
    std::string log = m_Dir.File("cmd.log");
    std::ofstream(log) << "old contents";
    m_Dlg->m_LogFromCmdLine = 1;
    m_Dlg->m_CmdLogName = log;
    ASSERT_TRUE(m_Dlg->OnInitDialog());
    // The start-up lines are still queued: the file was truncated and has no header.
    EXPECT_EQ(ReadAll(log), "");
    EXPECT_FALSE(m_Dlg->SaveLogBox()->isChecked());
    m_System->m_Channel.Log("a job line");
    Tick();
    std::string text = ReadAll(log);
    EXPECT_NE(text.find("\ta job line\r\n"), std::string::npos);
    EXPECT_EQ(text.find("old contents"), std::string::npos);
    EXPECT_NE(m_Dlg->SaveLogBox()->text().indexOf(QString("(%1)").arg(text.size())), -1);
    // The close drains what is left.
    m_System->m_Channel.Log("last line");
    m_Dlg->CloseDialog(0);
    EXPECT_NE(ReadAll(log).find("\tlast line\r\n"), std::string::npos);
}

TEST_F(DialogTest, LogLinesAreDroppedWhenLoggingIsOff) {
    Init();
    m_Dlg->m_LogFileName = m_Dir.File("never.log");
    m_System->m_Channel.Log("dropped");
    Tick();
    EXPECT_EQ(ReadAll(m_Dir.File("never.log")), "");
}

TEST_F(DialogTest, FileInformationForUnionOptionsAndBadFiles) {
    std::string fw = WriteUnion(m_Dir, "fw.bin", "G777");
    OptionsParams optParams;
    optParams.serial = "TZ5A00009876";
    std::string opt = WriteImage(m_Dir, "opt.bin", optParams, BuildOptionsImage);
    std::string bad = m_Dir.File("bad.bin");
    std::ofstream(bad) << "not an image at all";
    Init();
    QComboBox* combo = m_Dlg->Combo(IDC_IMAGE_COMBO);

    ASSERT_EQ(ChooseImage(fw), 1);
    EXPECT_EQ(Text(IDC_IMAGE_TYPE), "Firmware");
    EXPECT_EQ(Text(IDC_IMAGE_VERSION_LABEL), "Version:");
    EXPECT_EQ(Text(IDC_IMAGE_VERSION), "G777");
    EXPECT_EQ(Text(IDC_PFL_VERSION), "1.2");
    EXPECT_FALSE(m_Dlg->Item(IDC_PFL_VERSION)->isHidden());
    EXPECT_EQ(m_Dlg->m_ImageValid.Get(), 1);
    EXPECT_EQ(Job().m_FileState.Get(), 4);

    ASSERT_EQ(ChooseImage(opt), 1);
    EXPECT_EQ(Text(IDC_IMAGE_TYPE), "Options");
    EXPECT_EQ(Text(IDC_IMAGE_VERSION_LABEL), "Serial:");
    EXPECT_EQ(Text(IDC_IMAGE_VERSION), "TZ5A00009876");
    EXPECT_TRUE(m_Dlg->Item(IDC_PFL_VERSION)->isHidden());
    EXPECT_TRUE(m_Dlg->Item(IDC_PFL_VERSION_LABEL)->isHidden());
    EXPECT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemText(0).toStdString(), opt);
    EXPECT_EQ(m_Profile->GetString("recfile0", ""), opt);

    // A file that turns bad leaves the list wherever it stands.
    std::ofstream(fw, std::ios::trunc) << "broken now";
    EXPECT_EQ(ChooseImage(fw), 0);
    EXPECT_EQ(Text(IDC_IMAGE_TYPE), "Unavailable");
    EXPECT_EQ(Text(IDC_DATE), "Unavailable");
    EXPECT_EQ(Text(IDC_IMAGE_VERSION_LABEL), "Serial:");
    EXPECT_EQ(combo->count(), 1);
    EXPECT_EQ(m_Profile->GetInt("n", -1), 1);
    EXPECT_EQ(m_Dlg->m_ImageValid.Get(), 0);
    EXPECT_EQ(Job().m_FileState.Get(), 2);
    EXPECT_TRUE(combo->currentText().isEmpty());

    EXPECT_EQ(ChooseImage(bad), 0);
    Tick();
    EXPECT_TRUE(ViewHas("Check image file name - " + QString::fromStdString(bad)));
    EXPECT_TRUE(ViewHas("ERROR: corrupted file"));

    // Choosing from the list reloads the file.
    m_Dlg->OnImageSelChange(0);
    EXPECT_EQ(Text(IDC_IMAGE_TYPE), "Options");
}

TEST_F(DialogTest, AutomaticPortMustExist) {
    m_Dlg->m_AutoMode = 1;
    m_Dlg->m_CmdPort = "/dev/kavrel-no-such-port";
    m_Dlg->m_CmdImage = "/nothing.bin";
    EXPECT_FALSE(m_Dlg->OnInitDialog());
    ExpectEnded(2);
}

TEST_F(DialogTest, AutomaticImageMustBeValid) {
    StartSim();
    m_Dlg->m_AutoMode = 1;
    m_Dlg->m_CmdPort = m_Sim->Sim().SlavePath();
    m_Dlg->m_CmdImage = m_Dir.File("missing.bin");
    EXPECT_FALSE(m_Dlg->OnInitDialog());
    EXPECT_EQ(m_Dlg->m_ExitCode, 3);
    // The port named on the command line was appended to the list and chosen.
    QComboBox* list = m_Dlg->Combo(IDC_PORT_LIST);
    EXPECT_EQ(list->currentText().toStdString(), m_Sim->Sim().SlavePath());
    EXPECT_EQ(m_Dlg->m_PortIndex, list->count() - 1);
}

TEST_F(DialogTest, RemovedPortStaysChosenWithoutANewRequest) {
    Init();
    int index = StartSim();
    m_Dlg->OnPortSelChange(index);
    m_System->m_PortWorker.m_PortRequest.Get();
    // A device change: discovery no longer lists the pseudo-terminal, the list keeps it in the same slot.
    m_Dlg->OnDeviceChange();
    QComboBox* list = m_Dlg->Combo(IDC_PORT_LIST);
    EXPECT_EQ(list->currentText().toStdString(), m_Sim->Sim().SlavePath());
    EXPECT_EQ(m_Dlg->m_PortIndex, index);
    EXPECT_EQ(m_System->m_PortWorker.m_PortRequest.Changed(), 0);
    // "OFF" is always first and a choice of it is remembered.
    m_Dlg->OnPortSelChange(0);
    EXPECT_EQ(m_Profile->GetInt("iPortId", -1), 0);
    m_Dlg->OnDeviceChange();
    EXPECT_EQ(list->currentIndex(), 0);
}

TEST_F(DialogTest, RememberedPortBeyondTheListFallsBack) {
    m_Profile->WriteInt("iPortId", 250);
    Init();
    QComboBox* list = m_Dlg->Combo(IDC_PORT_LIST);
    EXPECT_EQ(m_Dlg->m_PortIndex, list->count() - 1);
    EXPECT_EQ(list->currentIndex(), list->count() - 1);
}

TEST_F(DialogTest, UploadWaitsForTheCheckWithinABoundAndRefuses) {
    Init();
    m_Dlg->m_Idle.Set(1);
    // No check worker runs, so the requested check never ends: the wait must end by itself.
    const CReceiverCheck::Timing& t = Check().m_Timing;
    uint32_t bound = t.checkLimitMs + t.sentenceLimitMs + t.idleWaitMs + 1000;
    uint32_t start = TickMs();
    EXPECT_FALSE(m_Dlg->OnUpload());
    uint32_t took = ElapsedMs(start);
    EXPECT_GE(took, bound - 100);
    EXPECT_LT(took, bound + 2000);
    // No image and no port: refused, nothing started, still idle, and the receiver texts redraw next tick.
    EXPECT_EQ(Job().m_Start.Get(), 0);
    EXPECT_EQ(m_Dlg->m_Idle.Get(), 1);
    EXPECT_EQ(Check().m_CheckRunning.Changed(), 1);
}

TEST_F(DialogTest, UploadStartsAfterTheTypePromptAndCancels) {
    std::string image = WriteUnion(m_Dir, "fw.bin", "G100");
    Init();
    ASSERT_EQ(ChooseImage(image), 1);
    SimOptions options;
    options.version = "H300";
    ASSERT_TRUE(Connect(options));
    ASSERT_TRUE(TickUntil([this] { return Text(IDC_RECEIVER).startsWith("TZ5N"); }));
    // Receiver family H, image family G: the prompt counts as accepted with message boxes off.
    ASSERT_TRUE(m_Dlg->OnUpload());
    EXPECT_EQ(Job().m_ConnectBudget.load(), 30);
    Tick();
    EXPECT_EQ(m_Dlg->Button(IDC_UPLOAD)->text(), "Cancel");
    EXPECT_EQ(m_Dlg->m_Busy, 1);
    // Pressed again: cancel, and the button offers Upload again at the next tick.
    ASSERT_TRUE(m_Dlg->OnUpload());
    EXPECT_EQ(Job().m_Cancel.Get(), 1);
    Tick();
    EXPECT_EQ(m_Dlg->Button(IDC_UPLOAD)->text(), "Upload");
    ASSERT_TRUE(TickUntil([this] { return Job().m_Start.Get() == 0; }, 20000));
    Tick();
    EXPECT_TRUE(ViewHas("Upload canceled"));
}

TEST_F(DialogTest, CatalogueTextsReachTheDialog) {
    std::string ini = m_Dir.File("localization.ini");
    std::ofstream(ini) << "[Strings]\n109=Hochladen\n113=Kavrel DE\n";
    ASSERT_TRUE(LoadStringCatalogue(ini));
    Init();
    EXPECT_EQ(m_Dlg->Button(IDC_UPLOAD)->text(), "Hochladen");
    EXPECT_EQ(m_Dlg->windowTitle(), "Kavrel DE");
    ResetStringCatalogue();
}

TEST_F(DialogTest, ClosingTheWindowIsExitCodeOneUnlessAnUploadRuns) {
    Init();
    Job().m_Start.Set(1);
    m_Dlg->close();
    EXPECT_FALSE(m_Dlg->Ended());
    // Escape does nothing at all.
    m_Dlg->reject();
    EXPECT_FALSE(m_Dlg->Ended());
    Job().m_Start.Set(0);
    m_Dlg->close();
    ExpectEnded(1);
}

TEST_F(DialogTest, ExitButtonIsExitCodeZero) {
    Init();
    m_Dlg->Button(IDC_EXIT)->click();
    ExpectEnded(0);
}

TEST_F(DialogTest, HelpFileThatCannotBeOpenedIsReported) {
    Init();
    Tick();
    // The build puts the manual beside the program; the offscreen platform refuses to show it.
    EXPECT_TRUE(m_Dlg->OnHelpFile());
    Tick();
    EXPECT_TRUE(ViewHas("ERROR: can't open help file "));
    EXPECT_TRUE(ViewHas("/GNSS.html"));

    // Nowhere to be found: every place searched is named.
    std::string where;
    EXPECT_FALSE(OpenHelpFile(m_Dir.File("bin"), where));
    EXPECT_EQ(where, m_Dir.File("bin/GNSS.html") + " or " + m_Dir.File("share/doc/kavrel/GNSS.html"));
}

TEST_F(DialogTest, LogFileHeaderAndBannerIgnoreTheUserLocale) {
    Init();
    Tick();
    CGermanLocale german(m_Dir);
    if (!german.Active())
        std::printf("no German locale available: checked in the current locale only\n");
    m_Dlg->ShowLoaderVersion("$VER,PFLD_Pellar2v1.5");
    EXPECT_EQ(m_Dlg->m_ReceiverText, "PFLD Ver. 1.50");

    std::string log = m_Dir.File("chosen.log");
    std::ofstream(log) << "old contents";
    std::time_t before = std::time(nullptr);
    m_Dlg->StartLogFile(log);
    std::time_t after = std::time(nullptr);
    std::string text = ReadAll(log);
    const std::string first = "Kavrel Ver. 2.06\r\n";
    ASSERT_EQ(text.size(), first.size() + 24 + 4) << text;
    EXPECT_EQ(text.substr(0, first.size()), first);
    std::string date = text.substr(first.size(), 24);
    EXPECT_TRUE(date == CtimeText(before) || date == CtimeText(after)) << date;
    EXPECT_EQ(text.substr(first.size() + 24), "\r\n\r\n");
    EXPECT_EQ(m_Dlg->m_LogToFile, 1);
    EXPECT_EQ(m_Profile->GetString("m_FLog", ""), log);
    EXPECT_NE(m_Dlg->SaveLogBox()->text().indexOf(QString("(%1)").arg(text.size())), -1);
    Tick();
    EXPECT_TRUE(ViewHas("Save log to file - " + QString::fromStdString(log)));
}
