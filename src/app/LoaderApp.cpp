#include "LoaderApp.h"

#include "CommandLine.h"
#include "ConsoleReport.h"
#include "LoaderDlg.h"
#include "MessageBox.h"
#include "PortListItems.h"
#include "Profile.h"
#include "ProgramDir.h"
#include "SignalWatch.h"
#include "SingleInstance.h"
#include "StringTable.h"
#include "SystemAccess.h"
#include "core/Clock.h"
#include "upload/UploadCheck.h"

#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace {

bool EnvSet(const char* name) {
    const char* v = std::getenv(name);
    return v && *v;
}

std::string BaseName(const char* argv0) {
    std::string name = argv0 ? argv0 : "kavrel";
    size_t slash = name.rfind('/');
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    return name.empty() ? std::string("kavrel") : name;
}

// The texts that the workers push come from the string table too, so a catalogue reaches them.
void ApplyWorkerTexts(CSystem& system) {
    CUploadJob& job = Job(system);
    job.m_JobTexts.failed = LoadStr(146);
    job.m_JobTexts.canceled = LoadStr(136);
    job.m_JobTexts.waitComplete = LoadStr(171);
    job.m_JobTexts.complete = LoadStr(147);
    job.m_Texts.erasing = LoadStr(137);
    job.m_Texts.programming = LoadStr(138);
    job.m_Texts.sfldOpenFailed = LoadStr(149);
}

const char* OutcomeText(int code) {
    switch (code) {
    case 0:
        return "upload complete";
    case 1:
        return "closed or interrupted";
    case 2:
        return "port not found or could not be used";
    case 3:
        return "the image file is not a valid image";
    case 4:
        return "no receiver answered";
    case 5:
        return "upload failed";
    default:
        return "ended";
    }
}

// An unattended run without a display keeps the platform's chatter off the console.
void QuietMessages(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
}

// The restarted receiver identifies itself again and must be the one checked before the upload, reporting
// what the image holds; then one line says what was done. A failed check ends the run with 5 when --verify
// asked for it, and a different receiver always does.
int EndOfUnattendedUpload(CSystem& system, CLoaderDlg& dlg, CConsoleReport& console, bool verify) {
    UploadSummary summary;
    // The receiver the job itself identified right before the upload, not what the dialog saw earlier.
    summary.before = Job(system).m_ReceiverChecked.Get();
    summary.seconds = ElapsedMs(dlg.m_UploadStartMs) / 1000.0;
    summary.bytes = Job(system).m_BytesSent.load() + Job(system).m_BytesSkipped.load();
    const uint32_t limitMs = 20000;
    // A signal ends this wait too; the receiver then stays unverified.
    summary.afterKnown = AwaitIdentification(system, limitMs, [] { return CSignalWatch::Arrived(); });
    summary.after = Check(system).Texts();
    VerifyOutcome v =
        VerifyReceiver(ExpectationOf(Image(system)), summary.before, summary.afterKnown, summary.after);
    std::string line =
        v.verified ? "Verified: the receiver reports what the image holds" : "Not verified: " + v.reason;
    Channel(system).Log(line);
    console.Notice(line);
    console.Notice(SummaryLine(summary));
    return v.verified || (!verify && !v.differentReceiver) ? 0 : 5;
}

} // namespace

bool CLoaderApp::ChoosePlatform(bool autoMode, std::string& error, bool& headless) {
    headless = false;
    if (EnvSet("QT_QPA_PLATFORM")) {
        std::string platform = std::getenv("QT_QPA_PLATFORM");
        headless = platform.rfind("offscreen", 0) == 0 || platform.rfind("minimal", 0) == 0;
        return true;
    }
    if (EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY"))
        return true;
    if (!autoMode) {
        error = "No display (neither DISPLAY nor WAYLAND_DISPLAY is set): the dialog cannot be shown. "
                "An unattended upload needs both -i IMAGE and -p PORT.";
        return false;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    headless = true;
    return true;
}

int CLoaderApp::Main(int argc, char** argv) {
    CCommandLineInfo cmd;
    cmd.Parse(argc, argv);
    std::string program = BaseName(argc > 0 ? argv[0] : nullptr);
    if (cmd.m_Help) {
        std::fputs(UsageText(program).c_str(), stdout);
        return 0;
    }
    if (cmd.m_Version) {
        std::printf("%s %s %s\n", BuiltinStr(113), BuiltinStr(106), PROGRAM_VERSION);
        return 0;
    }
    if (cmd.m_ListPorts)
        return PrintPortList(stdout);
    if (!cmd.LimitError().empty()) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), cmd.LimitError().c_str());
        return 2;
    }

    bool autoMode = cmd.IsAutoMode();
    bool headless = false;
    std::string error;
    if (!ChoosePlatform(autoMode, error, headless)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        return 1;
    }

    if (autoMode && headless)
        qInstallMessageHandler(QuietMessages);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    // An unattended run skips the single-instance check: it shows no window to bring forward, and the port
    // it uploads through is opened exclusively, so a run beside an open dialog either gets the port or ends
    // with 4 saying who holds it; never with 0 and nothing uploaded.
    std::unique_ptr<CSingleInstance> instance;
    if (!cmd.m_NoMutexFlag && !autoMode) {
        instance = std::make_unique<CSingleInstance>();
        if (!instance->Acquire())
            return 0;
    }

    CProfile profile(program);
    std::string dir = ProgramDir();
    if (!dir.empty())
        LoadStringCatalogue(dir + "/" + LOCALIZATION_FILE);

    // Nobody can answer a message box that no one sees: an unattended run without a display tells its
    // messages on the console instead.
    SetMessageBoxesOff(cmd.m_MsgOffFlag || (autoMode && headless));

    std::unique_ptr<CConsoleReport> console;
    if (autoMode) {
        console = std::make_unique<CConsoleReport>(stdout, isatty(STDOUT_FILENO) != 0);
        SetMessageBoxEcho(
            [&console](const std::string& caption, const std::string& text, const char* answered) {
                std::string line = caption + ": " + text;
                for (char& c : line)
                    if (c == '\n')
                        c = ' ';
                if (answered)
                    line += std::string(" [") + answered + ", message boxes are off]";
                console->Notice(line);
            });
    }

    int code = 0;
    {
        CSystem system;
        ApplyWorkerTexts(system);
        Job(system).m_SkipBlank.store(cmd.m_SkipBlank);
        if (cmd.m_CompletionLimitMs != 0)
            Job(system).m_JobTiming.completionWaitMs = cmd.m_CompletionLimitMs;
        system.StartWorkers();

        CLoaderDlg dlg(system, profile);
        if (instance)
            instance->SetRaiseHandler([&dlg] {
                QWidget* front = QApplication::activeModalWidget() ? QApplication::activeModalWidget() : &dlg;
                if (front->isMinimized())
                    front->showNormal();
                front->raise();
                front->activateWindow();
            });
        dlg.m_AutoMode = autoMode ? 1 : 0;
        dlg.m_LogFromCmdLine = cmd.m_LogFlag ? 1 : 0;
        dlg.m_CmdImage = cmd.m_Image;
        dlg.m_CmdPort = cmd.m_Port;
        dlg.m_CmdLogName = cmd.m_LogName;
        dlg.m_Console = console.get();
        std::unique_ptr<CSignalWatch> signalWatch;
        if (autoMode) {
            signalWatch =
                std::make_unique<CSignalWatch>([&dlg](const std::string& cause) { dlg.OnInterrupt(cause); });
            dlg.m_Signals = signalWatch.get();
        }

        code = dlg.Run();
        if (console && code == 0)
            code = EndOfUnattendedUpload(system, dlg, *console, cmd.m_Verify);
        // A port that could not be used says why on the last line.
        const std::string outcome =
            code == 2 && !dlg.PortCause().empty() ? dlg.PortCause() : OutcomeText(code);
        if (console)
            console->Notice(program + ": " + outcome + " (exit code " + std::to_string(code) + ")");

        // The workers end before the objects they use; what they logged meanwhile still reaches the file.
        system.Shutdown();
        dlg.DrainLogQueue();
        if (instance)
            instance->SetRaiseHandler(nullptr);
    }
    SetMessageBoxEcho(nullptr);
    if (console)
        console->Finish();
    profile.Sync();
    if (instance)
        instance->Release();
    return code;
}
