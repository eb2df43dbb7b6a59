#pragma once
// The main dialog: one fixed-size window whose 50 ms refresh step turns the workers' cells and queues into
// texts, colours, enabled buttons, message boxes, the log view and the log file.

#include "ColorBar.h"
#include "DialogUnits.h"
#include "core/LockedValue.h"
#include "dialog/DialogIds.h"
#include "dialog/RecentFiles.h"
#include "image/LoadImage.h"
#include "upload/ReceiverCheck.h"

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class CDeviceMonitor;
class CProfile;
class CSystem;
class CConsoleReport;
class CSignalWatch;

class CLoaderDlg : public QDialog {
public:
    static constexpr int LOG_VIEW_LIMIT = 20480;
    static constexpr int REFRESH_MS = 50;
    // Longest wait for the upload sentence to leave the transmit ring.
    static constexpr uint32_t TX_DONE_LIMIT_MS = 2000;
    // An unattended run whose log file cannot be created: what the command line named cannot be used.
    static constexpr int LOG_FILE_EXIT_CODE = 2;

    CLoaderDlg(CSystem& system, CProfile& profile, QWidget* parent = nullptr);
    ~CLoaderDlg() override;

    // Set-up before the dialog is shown; false when it has already ended (automatic mode failures).
    bool OnInitDialog();
    // OnInitDialog, then the modal run; the exit code.
    int Run();
    bool Ended() const { return m_Ended; }
    int ExitCode() const { return m_ExitCode; }
    // Escape: the dialog stays.
    void reject() override;
    // Empties the log queue into the log file (or drops the lines when logging is off).
    void DrainLogQueue();
    // A stop request from outside (a signal in an unattended run), handled as closing the window: a cancel
    // where one is allowed, a stop of the flash writing otherwise; the run ends once the job has wound down.
    void OnInterrupt(const std::string& cause);

    // Set by the application before the run.
    int m_AutoMode = 0;
    int m_LogFromCmdLine = 0;
    std::string m_CmdImage;
    // A port named on the command line: added to the list and chosen, in both modes.
    std::string m_CmdPort;
    std::string m_CmdLogName;
    // Unattended runs report to the console; null otherwise.
    CConsoleReport* m_Console = nullptr;
    // Signals of an unattended run, looked at also during the waits that hold the event loop.
    CSignalWatch* m_Signals = nullptr;
    // The receiver as identified before the upload, and when the upload was handed to the worker (for the
    // unattended run's summary line).
    ReceiverTexts m_ReceiverBefore;
    uint32_t m_UploadStartMs = 0;
    // Why an unattended run ended when its exit code alone would not say it (empty otherwise).
    std::string m_EndReason;

protected:
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // The tests' one way in.
    friend class CLoaderDlgProbe;

    // The 50 ms refresh step, in its order.
    void OnRefreshTimer();
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
    void ShowLoaderVersion(const std::string& banner);
    void AppendLogView(const QString& line);
    void BringToFront();
    void CloseDialog(int exitCode);
    // A message box shown after the current step has returned, so the refresh goes on behind it; then is
    // run once the box is closed. With message boxes off both happen at once.
    void PostMessageBox(const std::string& text, const std::string& caption, unsigned style,
                        std::function<void()> then = {});
    // Pushes the 21 text members into their controls.
    void UpdateData();

    // Commands.
    void OnBrowse();
    void OnConnect();
    // True when an upload was handed to the worker (or a running one was cancelled).
    bool OnUpload();
    bool OnHelpFile();
    void OnAbout();

    // Port list.
    void FillPortList();
    void FitPortDropHeight(QComboBox* combo);
    bool InitPortList();
    // Adds the command-line port to the list when discovery does not list it; its index or -1.
    int FindCommandLinePort();
    void OnPortSelChange(int index);
    void RefreshPortList();
    void OnDeviceChange();

    // File information and recent files.
    int RefreshImageInfo();
    void FillImageCombo();
    void OnImageSelChange(int index);
    void OnImageDropDown();

    // Log file.
    void OnSaveLog();
    void ChooseLogFile();
    // The part of ChooseLogFile after the file dialog: create the file, write the header, start logging.
    void StartLogFile(const std::string& path);
    void StopLogFile();
    void WriteLogFile(const std::string& text);
    // The log named with "l": created empty before anything else happens. False when an unattended run
    // ended because it cannot be created; the dialog goes on without it after saying so.
    bool StartCommandLineLog();

    QWidget* Item(int id) const;
    QLabel* Label(int id) const;
    CColorBar* Bar(int id) const;
    QPushButton* Button(int id) const;
    QComboBox* Combo(int id) const;

    void BuildControls();
    template <typename W> W* AddControl(int id, W* widget, int x, int y, int w, int h);
    void SetCaptions();
    void PaintBarFromState(CColorBar* bar, LockedShort& cell);
    // Waits for the receiver check that was just requested, within the check's own limits.
    void WaitForCheck();
    // Sleeps on the dialog's thread; false when an interrupt ended the sleep early.
    bool SleepOnDialogThread(uint32_t ms);
    bool ImageIsOptions() const;
    std::string ImageMainVersion() const;
    bool PortOpen();

    // The 21 text members, bound to their controls by id.
    QString m_ChooseImageText;   // 1015
    QString m_VersionText;       // 1017
    QString m_ImageVersionText;  // 1034
    QString m_ImageTypeText;     // 1033
    QString m_PflVersionText;    // 1035
    QString m_StatusLabelText;   // 1036
    QString m_StatusText;        // 1027
    QString m_TypeLabelText;     // 1026
    QString m_ImageVersionLabel; // 1028
    QString m_PflVersionLabel;   // 1029
    QString m_PortLabelText;     // 1016
    QString m_ReceiverLabelText; // 1038
    QString m_ReceiverText;      // 1039
    QString m_DateLabelText;     // 1032
    QString m_TimeLabelText;     // 1040
    QString m_DateText;          // 1041
    QString m_TimeText;          // 1042
    QString m_OptionsLabelText;  // 1044
    QString m_SerialLabelText;   // 1046
    QString m_OptionsText;       // 1045
    QString m_SerialText;        // 1047

    uint16_t m_ShownProgress = 0;
    LockedInt m_ImageValid{0};
    LockedInt m_Idle{1};
    int m_PortIndex = 0;
    std::string m_LogFileName;
    std::string m_OpenLogName;
    int m_LogToFile = 0;
    double m_LogBytes = 0;
    // A line that could not be written has been reported (once per file).
    bool m_LogWriteReported = false;
    int m_Busy = 0;
    int m_UploadBlocked = 0;
    int m_ExitCode = 0;
    // An unattended run whose upload question was answered no: the code it ends with (0 when none was).
    int m_RefusedCode = 0;
    RecentImageFiles m_RecentFiles;

    CSystem& m_System;
    CProfile& m_Profile;
    CDialogUnits m_Units;
    std::map<int, QWidget*> m_Controls;
    std::map<int, QString*> m_TextMembers;
    QPlainTextEdit* m_LogView = nullptr;
    QCheckBox* m_SaveLog = nullptr;
    QTimer* m_Timer = nullptr;
    std::unique_ptr<CDeviceMonitor> m_DeviceMonitor;
    int m_TimerId = 0;
    bool m_Ended = false;
    // An automatic run whose close was refused while the worker still finished its job: retried each tick.
    int m_PendingClose = -1;
    bool m_WaitNoticeShown = false;
    // A port request held back while an upload runs (a request closes the port).
    int m_PendingPortRequest = -1;
    int m_ShownPhase = 0;
    bool m_ProgressMoved = false;
    uint32_t m_UploadBytes = 0;
    // An interrupt asked the run to end; flash writing had begun when m_FlashTouched.
    bool m_Interrupted = false;
    bool m_FlashTouched = false;
    ImageFileInfo m_ImageInfo;
};
