#pragma once
// The main dialog's Win32 face: the dialog template of kavrel.rc run modelessly with its own message loop
// (for the accelerators), rendering what the dialog core tells it through CDialogView and handing the
// controls' notifications, the timer and the keys back to it. The indicator bars are owner-drawn statics.
// The header stays free of <windows.h>, whose macros clash with the core's message-box names.

#include "dialog/DialogCore.h"
#include "dialog/DialogView.h"

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

class CProfile;
class CSystem;

class CWin32Dialog : public CDialogView {
public:
    CWin32Dialog(CSystem& system, CProfile& profile);
    ~CWin32Dialog() override;
    CWin32Dialog(const CWin32Dialog&) = delete;
    CWin32Dialog& operator=(const CWin32Dialog&) = delete;

    // Creates the window, runs OnInitDialog and then the message loop until the core ends the dialog; the
    // exit code.
    int Run();
    CDialogCore& Core() { return m_Core; }

    // CDialogView.
    void SetText(int id, const std::string& text) override;
    std::string Text(int id) override;
    void SetToolTip(int id, const std::string& text) override;
    void Enable(int id, bool enabled) override;
    bool IsEnabled(int id) override;
    void Show(int id, bool shown) override;
    void Focus(int id) override;
    void SetChecked(int id, bool checked) override;
    bool IsChecked(int id) override;
    void SetItems(int id, const std::vector<std::string>& items) override;
    void SetCurrent(int id, int index) override;
    void SetProgress(int id, double fraction) override;
    void SetColors(int id, uint32_t filled, uint32_t rest) override;
    int LogLength() override;
    void AppendLog(const std::string& text) override;
    void DropLogHead(int count) override;
    int TextRoom(int id) override;
    int TextWidth(int id, const std::string& text) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned style,
                   bool centred) override;
    void Post(std::function<void()> task) override;
    void StartTimer(int ms) override;
    void StopTimer() override;
    void StartDeviceWatch() override;
    void StopDeviceWatch() override;
    void BringToFront() override;
    void EndDialog(int code) override;
    std::string ChooseImageFile(const std::string& initial) override;
    std::string ChooseLogFile(const std::string& initial) override;
    void ShowAbout() override;
    bool OpenHelp(std::string& where) override;

    // The window procedure's work (the HWND and message as plain integers).
    intptr_t Handle(unsigned message, uintptr_t wParam, intptr_t lParam);

    struct Bar {
        double fraction = 0;
        uint32_t filled = 0xFF0073D9;
        uint32_t rest = 0xFFFFFFFF;
    };

private:
    void* Item(int id) const;
    void DrawBar(const void* drawItem);

    CDialogCore m_Core;
    void* m_Window = nullptr;
    void* m_Accelerators = nullptr;
    std::map<int, Bar> m_Bars;
    std::deque<std::function<void()>> m_Posted;
    bool m_Watching = false;
    bool m_Done = false;
    int m_Code = 0;
};

// The program's parameters as UTF-8 texts, the program's name first.
std::vector<std::string> Win32Arguments();
// An unattended run started from a console writes its report there.
void AttachParentConsole();
// One dialog per session: false when another runs (it has been brought to the front).
bool Win32FirstInstance();
// Ctrl-C or Ctrl-Break in the console of an unattended run: the first asks the run to end; the text names it
// once ("" when none arrived since the last look).
void WatchConsoleInterrupts();
std::string TakeConsoleInterrupt();
// True once one has arrived, also after the dialog has ended.
bool ConsoleInterruptArrived();
// %APPDATA%\Kestrin\<program>.ini, its folder made when missing.
std::string Win32SettingsPath(const std::string& program);
