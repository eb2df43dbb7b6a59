#pragma once
// A dialog with real widgets over a real system object, its settings in a folder of the test, message
// boxes off. Workers start only where a test needs them; a simulated receiver serves on a pseudo-terminal.

#include "DialogSystem.h"
#include "app/LoaderDlg.h"
#include "app/MessageBox.h"
#include "app/QtProfile.h"
#include "core/Clock.h"
#include "dialog/SystemAccess.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <unistd.h>

// The dialog's steps and state, reached through its core.
class CLoaderDlgProbe {
public:
    explicit CLoaderDlgProbe(CLoaderDlg& d) : c(d.Core()) {}
    void Tick() { c.OnRefreshTimer(); }
    bool Upload() { return c.OnUpload(); }
    void Close(int code) { c.CloseDialog(code); }
    int RefreshImageInfo() { return c.RefreshImageInfo(); }
    void ChoosePort(int index) { c.OnPortSelChange(index); }
    void FillPortList() { c.FillPortList(); }
    void DeviceChange() { c.OnDeviceChange(); }
    void ShowLoaderVersion(const std::string& banner) { c.ShowLoaderVersion(banner); }
    void AppendLogView(const QString& line) { c.AppendLogView(line.toStdString()); }
    void StartLogFile(const std::string& path) { c.StartLogFile(path); }
    bool HelpFile() { return c.OnHelpFile(); }
    void ImageSelChange(int index) { c.OnImageSelChange(index); }
    LockedInt& Idle() { return c.m_Idle; }
    int PortIndex() const { return c.PortIndex(); }
    int Busy() const { return c.Busy(); }
    int UploadBlocked() const { return c.UploadBlocked(); }
    QString ReceiverText() const { return QString::fromStdString(c.TextOf(IDC_RECEIVER)); }

private:
    CDialogCore& c;
};

class DialogTest : public CDialogSystem {
protected:
    void SetUp() override {
        SetMessageBoxesOff(true);
        CDialogSystem::SetUp();
        m_Profile = CQtProfile::FromFile(m_Dir.File("settings.ini"));
        m_Dlg = std::make_unique<CLoaderDlg>(*m_System, *m_Profile);
        m_P = std::make_unique<CLoaderDlgProbe>(*m_Dlg);
    }

    void TearDown() override {
        SetMessageBoxesOff(true);
        if (m_Dlg)
            m_Dlg->DrainLogQueue();
        m_System->Shutdown();
        m_P.reset();
        m_Dlg.reset();
        CDialogSystem::TearDown();
    }

    // Set-up as the program does it, shown on the offscreen screen.
    void Init() {
        ASSERT_TRUE(m_Dlg->OnInitDialog());
        m_Dlg->show();
        QApplication::processEvents();
    }

    void Tick() { m_P->Tick(); }

    // Runs refresh steps until the condition holds or the limit passes.
    bool TickUntil(const std::function<bool()>& done, uint32_t limitMs = 10000) {
        uint32_t start = TickMs();
        while (ElapsedMs(start) < limitMs) {
            Tick();
            QApplication::processEvents();
            if (done())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Tick();
        return done();
    }

    // Starts a simulated receiver; its port is appended to the table and the list, the position returned.
    int StartSim(SimOptions options = SimOptions{}) {
        const int slot = AddSim(options);
        m_P->FillPortList();
        return slot;
    }
    std::string SimPath() { return m_Sim->Path(); }

    // A simulated receiver chosen as the port as the user would, with the workers running.
    bool Connect(const SimOptions& options = SimOptions{}) {
        m_SimSlot = StartSim(options);
        m_System->StartWorkers();
        m_P->ChoosePort(m_SimSlot);
        if (TickUntil([this] { return Port(*m_System)->IsOpen() == 1; }, 30000))
            return true;
        // Why not: what the slot names now, and what an open of the terminal says.
        const int fd = open(SimPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ADD_FAILURE() << "slot " << m_SimSlot << " of " << g_PortCount << " names " << PortName(m_SimSlot)
                      << ", the receiver is at " << SimPath() << ", held " << Port(*m_System)->PortLocked()
                      << ", open: " << (fd < 0 ? std::strerror(errno) : "fine") << "\n"
                      << Widget<QPlainTextEdit>(IDC_LOG_VIEW)->toPlainText().toStdString();
        if (fd >= 0)
            close(fd);
        return false;
    }

    // Names an image in the editable list as the user would and loads its information.
    int ChooseImage(const std::string& path) {
        Widget<QComboBox>(IDC_IMAGE_COMBO)->setEditText(QString::fromStdString(path));
        return m_P->RefreshImageInfo();
    }
    template <class W = QWidget> W* Widget(int id) { return m_Dlg->findChild<W*>(QString::number(id)); }
    QString Text(int id) { return Widget<QLabel>(id)->text(); }
    QPushButton* Button(int id) { return Widget<QPushButton>(id); }
    bool ViewHas(const QString& text) {
        return Widget<QPlainTextEdit>(IDC_LOG_VIEW)->toPlainText().indexOf(text) != -1;
    }
    void ExpectEnded(int exitCode) {
        EXPECT_TRUE(m_Dlg->Ended());
        EXPECT_EQ(m_Dlg->ExitCode(), exitCode);
    }

    std::unique_ptr<CProfile> m_Profile;
    std::unique_ptr<CLoaderDlg> m_Dlg;
    std::unique_ptr<CLoaderDlgProbe> m_P;
    int m_SimSlot = 0;
};
