#pragma once
// The main dialog without a toolkit: its state, the 50 ms refresh step that turns the workers' cells and
// queues into texts, colours, enabled controls, message boxes, the log view and the log file; the commands;
// the port list and the file information; the unattended run and its exit codes. It speaks to a face only
// through CDialogView, by control id.

#include "DialogIds.h"
#include "DialogView.h"
#include "RecentFiles.h"
#include "core/LockedValue.h"
#include "image/LoadImage.h"
#include "upload/ReceiverCheck.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class CConsoleReport;
class CProfile;
class CSystem;

// Accelerator commands.
enum : int {
    ID_BROWSE = 32771,
    ID_CONNECT = 32772,
    ID_REFRESH = 32773,
    ID_UPLOAD = 32774,
};

class CDialogCore {
public:
    static constexpr int LOG_VIEW_LIMIT = 20480;
    static constexpr int REFRESH_MS = 50;
    // Longest wait for the upload sentence to leave the transmit ring.
    static constexpr uint32_t TX_DONE_LIMIT_MS = 2000;
    // An unattended run whose log file cannot be created: what the command line named cannot be used.
    static constexpr int LOG_FILE_EXIT_CODE = 2;

    CDialogCore(CSystem& system, CProfile& profile, CDialogView& view);

    // Set-up before the dialog is shown; false when it has already ended (automatic mode failures).
    bool OnInitDialog();
    bool Ended() const { return m_Ended; }
    int ExitCode() const { return m_ExitCode; }
    // Empties the log queue into the log file (or drops the lines when logging is off).
    void DrainLogQueue();
    // A stop request from outside (a signal in an unattended run), handled as closing the window: a cancel
    // where one is allowed, a stop of the flash writing otherwise; the run ends once the job has wound down.
    void OnInterrupt(const std::string& cause);

    // Events from the face.
    void OnRefreshTimer();
    void OnBrowse();
    void OnConnect();
    // True when an upload was handed to the worker (or a running one was cancelled).
    bool OnUpload();
    bool OnHelpFile();
    void OnAbout();
    // Exit button: 0; the window's close button: 1.
    void CloseDialog(int exitCode);
    void OnClose();
    // An accelerator, with its guard.
    void OnAccelerator(int command);
    void OnSaveLog();
    void OnPortSelChange(int index);
    void OnImageSelChange(int index);
    // The user pressed Enter in the image field or left it: a path typed there that is not the one loaded
    // is loaded.
    void OnImageFieldDone();
    void OnDeviceChange();
    // Reloads the file information from the image field; 1 when the image is valid.
    int RefreshImageInfo();

    // Set before the run.
    int m_AutoMode = 0;
    int m_LogFromCmdLine = 0;
    std::string m_CmdImage;
    // A port named on the command line: added to the list and chosen, in both modes.
    std::string m_CmdPort;
    std::string m_CmdLogName;
    // Unattended runs report to the console; null otherwise.
    CConsoleReport* m_Console = nullptr;
    // Looks for a signal that has arrived during a wait that holds the face's message loop.
    std::function<void()> m_PollInterrupts;
    // When the upload was handed to the worker (for the unattended run's summary line).
    uint32_t m_UploadStartMs = 0;
    // Why an unattended run ended when its exit code alone would not say it (the port that could not be
    // used, the log that could not be made, the question answered no); empty otherwise.
    std::string m_EndReason;

    // The state the refresh step keeps, for the faces' tests.
    LockedInt m_Idle{1};
    LockedInt m_ImageValid{0};
    int PortIndex() const { return m_PortIndex; }
    int Busy() const { return m_Busy; }
    int UploadBlocked() const { return m_UploadBlocked; }
    std::string TextOf(int id) const;
    const std::vector<std::string>& PortItems() const { return m_PortItems; }

    // Steps the tests reach directly.
    // Lists the port table anew ("OFF" first).
    void FillPortList();
    void AppendLogView(const std::string& line);
    void ShowLoaderVersion(const std::string& banner);
    // The part of choosing a log file after the file dialog: create the file, write the header, log.
    void StartLogFile(const std::string& path);

private:
    // The 50 ms refresh step, in its order.
    void DrainStatusQueue();      // 1
    void ShowProgress();          // 3
    void ShowIdleState();         // 4
    void ShowFlashWriting();      // 5
    void RequestCheckOnOpen();    // 6
    void ShowReceiverTexts();     // 7
    void ShowLoaderBanner();      // 8
    void ShowResult();            // 9
    void RecoverIdle();           // 10
    void PaintBars();             // 12
    void ApplyUploadButtonRule(); // 13
    void EchoProgress();

    void RefreshConnection();
    void SetCaptions();
    void UpdateData();
    void SetTextMember(int id, const std::string& text);
    void PaintBarFromState(int id, int state);
    // A message box shown after the current step has returned, so the refresh goes on behind it; then is
    // run once the box is closed. With message boxes off both happen at once.
    void PostMessageBox(const std::string& text, const std::string& caption, unsigned style,
                        std::function<void()> then = {});
    int Box(const std::string& text, const std::string& caption, unsigned style, bool centred = true);

    // Port list.
    bool InitPortList();
    int FindCommandLinePort();
    void RefreshPortList();
    void ShowPortList();

    // File information and recent files.
    void FillImageCombo();

    // Log file.
    void ChooseLogFile();
    void StopLogFile();
    void WriteLogFile(const std::string& text);
    bool StartCommandLineLog();

    // Waits for the receiver check that was just requested, within the check's own limits.
    void WaitForCheck();
    // Sleeps on the dialog's thread; false when an interrupt ended the sleep early.
    bool SleepOnDialogThread(uint32_t ms);
    bool PortOpen();

    CSystem& m_System;
    CProfile& m_Profile;
    CDialogView& m_View;

    // The texts of the labels, by control id, and what each control shows now.
    std::map<int, std::string> m_Texts;
    std::map<int, std::string> m_Shown;

    uint16_t m_ShownProgress = 0;
    int m_PortIndex = 0;
    std::vector<std::string> m_PortItems;
    std::string m_LogFileName;
    std::string m_OpenLogName;
    int m_LogToFile = 0;
    double m_LogBytes = 0;
    bool m_LogWriteReported = false;
    int m_Busy = 0;
    int m_UploadBlocked = 0;
    int m_ExitCode = 0;
    int m_RefusedCode = 0;
    RecentImageFiles m_RecentFiles;
    // The path whose information the panel shows ("" when none).
    std::string m_LoadedPath;
    bool m_Ended = false;
    int m_PendingClose = -1;
    bool m_WaitNoticeShown = false;
    int m_PendingPortRequest = -1;
    int m_ShownPhase = 0;
    bool m_ProgressMoved = false;
    uint32_t m_UploadBytes = 0;
    bool m_Interrupted = false;
    bool m_FlashTouched = false;
    ImageFileInfo m_ImageInfo;
};
