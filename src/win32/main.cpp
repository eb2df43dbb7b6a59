// kavrel.exe: the command line, one dialog per session, the settings, the string catalogue, the system's
// objects with their workers, the Win32 dialog and the exit code; with -i and -p one unattended upload that
// reports on the console it was started from.

#include "Win32Dialog.h"

#include "core/Platform.h"
#include "dialog/CommandLine.h"
#include "dialog/ConsoleReport.h"
#include "dialog/MessageBoxRules.h"
#include "dialog/Profile.h"
#include "dialog/StringTable.h"
#include "dialog/SystemAccess.h"
#include "dialog/UnattendedRun.h"

#include <cstdio>
#include <memory>

int main() {
    const std::string program = "kavrel";
    std::vector<std::string> args = Win32Arguments();
    CCommandLineInfo cmd;
    cmd.Parse(std::vector<std::string>(args.size() > 1 ? args.begin() + 1 : args.end(), args.end()));
    AttachParentConsole();
    if (cmd.m_Help) {
        std::fputs(UsageText(program).c_str(), stdout);
        return 0;
    }
    if (cmd.m_Version) {
        std::printf("%s %s %s\n", BuiltinStr(113), BuiltinStr(106), PROGRAM_VERSION);
        return 0;
    }
    if (cmd.m_ListPorts) {
        EnumeratePorts();
        for (int i = 1; i <= g_PortCount; ++i)
            std::printf("%s\n", g_PortNames[i]);
        return 0;
    }
    if (!cmd.LimitError().empty()) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), cmd.LimitError().c_str());
        return 2;
    }
    const bool autoMode = cmd.IsAutoMode();
    // An unattended run takes no part in the single-instance check, as on Linux: its port is its own.
    if (!cmd.m_NoMutexFlag && !autoMode && !Win32FirstInstance())
        return 0;

    CIniProfile profile(Win32SettingsPath(program));
    std::string dir = ProgramFolder();
    if (!dir.empty())
        LoadStringCatalogue(dir + "\\" + LOCALIZATION_FILE);
    // Windows always has a desktop to ask on: "m" alone switches the boxes off.
    SetMessageBoxesOff(cmd.m_MsgOffFlag);

    std::unique_ptr<CConsoleReport> console;
    if (autoMode) {
        console = std::make_unique<CConsoleReport>(stdout, false);
        SetMessageBoxEcho(
            [&console](const std::string& caption, const std::string& text, const char* answered) {
                console->Notice(MessageBoxEchoLine(caption, text, answered));
            });
        WatchConsoleInterrupts();
    }

    int code = 0;
    {
        CSystem system;
        ApplyWorkerTexts(system);
        Job(system).m_SkipBlank.store(cmd.m_SkipBlank);
        if (cmd.m_CompletionLimitMs != 0)
            Job(system).m_JobTiming.completionWaitMs = cmd.m_CompletionLimitMs;
        system.StartWorkers();

        CWin32Dialog dlg(system, profile);
        CDialogCore& core = dlg.Core();
        core.m_AutoMode = autoMode ? 1 : 0;
        core.m_LogFromCmdLine = cmd.m_LogFlag ? 1 : 0;
        core.m_CmdImage = cmd.m_Image;
        core.m_CmdPort = cmd.m_Port;
        core.m_CmdLogName = cmd.m_LogName;
        core.m_Console = console.get();

        code = dlg.Run();
        if (console && code == 0)
            code = EndOfUnattendedUpload(system, core, *console, cmd.m_Verify,
                                         [] { return ConsoleInterruptArrived(); });
        if (console)
            console->Notice(program + ": " +
                            (core.m_EndReason.empty() ? OutcomeText(code) : core.m_EndReason) +
                            " (exit code " + std::to_string(code) + ")");
        // The workers end before the objects they use; what they logged meanwhile still reaches the file.
        system.Shutdown();
        core.DrainLogQueue();
    }
    SetMessageBoxEcho(nullptr);
    if (console)
        console->Finish();
    profile.Sync();
    std::fflush(stdout);
    return code;
}
