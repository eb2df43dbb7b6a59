#include "LoaderApp.h"

#include "LoaderDlg.h"
#include "MessageBox.h"
#include "PortListItems.h"
#include "QtProfile.h"
#include "SignalWatch.h"
#include "SingleInstance.h"
#include "core/Clock.h"
#include "dialog/CommandLine.h"
#include "dialog/ConsoleReport.h"
#include "dialog/ProgramDir.h"
#include "dialog/StringTable.h"
#include "dialog/SystemAccess.h"
#include "dialog/UnattendedRun.h"
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

// An unattended run without a display keeps the platform's chatter off the console.
void QuietMessages(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
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
        CSingleInstance::Outcome outcome = instance->Acquire();
        if (!instance->TakenOver().empty())
            std::fprintf(stderr, "%s: %s.\n", program.c_str(), instance->TakenOver().c_str());
        if (outcome == CSingleInstance::Outcome::Raised) {
            std::fprintf(stderr, "%s: Kavrel already runs; its window was brought to the front.\n",
                         program.c_str());
            return 0;
        }
        // Whatever keeps the lock out of reach, the user still gets the dialog, and is told why the check
        // did not hold.
        if (!instance->Problem().empty())
            std::fprintf(stderr, "%s: %s%s.\n", program.c_str(), instance->Problem().c_str(),
                         outcome == CSingleInstance::Outcome::Unprotected
                             ? "; running without the single-instance check"
                             : "");
    }

    CQtProfile profile(program);
    std::string dir = ProgramDir();
    if (!dir.empty())
        LoadStringCatalogue(dir + "/" + LOCALIZATION_FILE);

    // Nobody can answer a message box that no one sees: an unattended run without a display tells its
    // messages on the console instead. Without "m" nobody said yes either, so a question whose yes risks
    // the receiver counts as answered no.
    SetMessageBoxesOff(cmd.m_MsgOffFlag || (autoMode && headless));
    SetQuestionsRefused(autoMode && headless && !cmd.m_MsgOffFlag);

    std::unique_ptr<CConsoleReport> console;
    if (autoMode) {
        console = std::make_unique<CConsoleReport>(stdout, isatty(STDOUT_FILENO) != 0);
        SetMessageBoxEcho(
            [&console](const std::string& caption, const std::string& text, const char* answered) {
                console->Notice(MessageBoxEchoLine(caption, text, answered));
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
            code = EndOfUnattendedUpload(system, dlg.Core(), *console, cmd.m_Verify,
                                         [] { return CSignalWatch::Arrived(); });
        // A port that could not be used, or a log that could not be made, says why on the last line.
        if (console)
            console->Notice(program + ": " + (dlg.m_EndReason.empty() ? OutcomeText(code) : dlg.m_EndReason) +
                            " (exit code " + std::to_string(code) + ")");

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
