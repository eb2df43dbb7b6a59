#pragma once
// The main dialog: one fixed-size window whose 50 ms refresh step turns the workers' cells and queues into
// texts, colours, enabled buttons, message boxes, the log view and the log file.

#include "ColorBar.h"
#include "DialogUnits.h"
#include "RecentFiles.h"
#include "core/LockedValue.h"
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

// Control ids of the dialog template.
enum : int {
    IDC_LOG_VIEW = 1007,
    IDC_UPLOAD_BAR = 1005,
    IDC_UPLOAD = 1006,
    IDC_PORT_LIST = 1008,
    IDC_SAVE_LOG = 1012,
    IDC_IMAGE_COMBO = 1013,
    IDC_BROWSE = 1014,
    IDC_CHOOSE_IMAGE = 1015,
    IDC_PORT_LABEL = 1016,
    IDC_VERSION = 1017,
    IDC_FILEINFO = 1020,
    IDC_PORTINFO = 1021,
    IDC_REFRESH = 1022,
    IDC_CONNECT = 1023,
    IDC_TYPE_LABEL = 1026,
    IDC_STATUS = 1027,
    IDC_IMAGE_VERSION_LABEL = 1028,
    IDC_PFL_VERSION_LABEL = 1029,
    IDC_CONN_BAR = 1030,
    IDC_FILE_BAR = 1031,
    IDC_DATE_LABEL = 1032,
    IDC_IMAGE_TYPE = 1033,
    IDC_IMAGE_VERSION = 1034,
    IDC_PFL_VERSION = 1035,
    IDC_STATUS_LABEL = 1036,
    IDC_RECEIVER_LABEL = 1038,
    IDC_RECEIVER = 1039,
    IDC_TIME_LABEL = 1040,
    IDC_DATE = 1041,
    IDC_TIME = 1042,
    IDC_OPTIONS_LABEL = 1044,
    IDC_OPTIONS = 1045,
    IDC_SERIAL_LABEL = 1046,
    IDC_SERIAL = 1047,
    IDC_EXIT = 1052,
};

class CLoaderDlg : public QDialog {
public:
    static constexpr int LOG_VIEW_LIMIT = 20480;
    static constexpr int REFRESH_MS = 50;
    // Longest wait for the upload sentence to leave the transmit ring.
    static constexpr uint32_t TX_DONE_LIMIT_MS = 2000;

    CLoaderDlg(CSystem& system, CProfile& profile, QWidget* parent = nullptr);
    ~CLoaderDlg() override;

    // Set-up before the dialog is shown; false when it has already ended (automatic mode failures).
    bool OnInitDialog();
    // OnInitDialog, then the modal run; the exit code.
    int Run();
    bool Ended() const { return m_Ended; }
    int ExitCode() const { return m_ExitCode; }
    // Why an unattended run could not use its port (exit code 2); empty when the port was not the cause.
    const std::string& PortCause() const { return m_PortCause; }
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
    // When the upload was handed to the worker (for the unattended run's summary line).
    uint32_t m_UploadStartMs = 0;

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
    int m_Busy = 0;
    int m_UploadBlocked = 0;
    int m_ExitCode = 0;
    std::string m_PortCause;
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
