#pragma once
// The main dialog's Qt face: the template's widgets at their dialog-unit positions, rendering what the
// dialog core (src/dialog) tells it through CDialogView and handing the user's clicks, keys and the timer
// back to the core. It decides nothing itself.

#include "ColorBar.h"
#include "DialogUnits.h"
#include "dialog/DialogCore.h"
#include "dialog/DialogIds.h"
#include "dialog/DialogView.h"

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class CDeviceMonitor;
class CProfile;
class CSystem;
class CConsoleReport;
class CSignalWatch;

class CLoaderDlg : public QDialog, public CDialogView {
public:
    CLoaderDlg(CSystem& system, CProfile& profile, QWidget* parent = nullptr);
    ~CLoaderDlg() override;

    // Set-up before the dialog is shown; false when it has already ended (automatic mode failures).
    bool OnInitDialog();
    // OnInitDialog, then the modal run; the exit code.
    int Run();
    bool Ended() const { return m_Core.Ended(); }
    int ExitCode() const { return m_Core.ExitCode(); }
    // Escape: the dialog stays.
    void reject() override;
    void DrainLogQueue() { m_Core.DrainLogQueue(); }
    void OnInterrupt(const std::string& cause) { m_Core.OnInterrupt(cause); }
    CDialogCore& Core() { return m_Core; }

private:
    CDialogCore m_Core;

public:
    // The core's settings for the run, set by the application before it.
    int& m_AutoMode;
    int& m_LogFromCmdLine;
    std::string& m_CmdImage;
    std::string& m_CmdPort;
    std::string& m_CmdLogName;
    CConsoleReport*& m_Console;
    uint32_t& m_UploadStartMs;
    std::string& m_EndReason;
    // Signals of an unattended run, looked at also during the waits that hold the event loop.
    CSignalWatch* m_Signals = nullptr;

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

protected:
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* Item(int id) const;
    QLabel* Label(int id) const;
    CColorBar* Bar(int id) const;
    QPushButton* Button(int id) const;
    QComboBox* Combo(int id) const;

    void BuildControls();
    template <typename W> W* AddControl(int id, W* widget, int x, int y, int w, int h);
    void FitDropHeight(QComboBox* combo);
    // The image list's drop-down is as wide as its widest entry.
    void SizeImageDropDown();

    CDialogUnits m_Units;
    std::map<int, QWidget*> m_Controls;
    QPlainTextEdit* m_LogView = nullptr;
    QCheckBox* m_SaveLog = nullptr;
    QTimer* m_Timer = nullptr;
    std::unique_ptr<CDeviceMonitor> m_DeviceMonitor;
};
