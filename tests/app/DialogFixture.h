#pragma once
// A dialog with real widgets over a real system object, its settings in a folder of the test, message
// boxes off. Workers start only where a test needs them; a simulated receiver serves on a pseudo-terminal.

#include "TestDir.h"
#include "app/LoaderDlg.h"
#include "app/MessageBox.h"
#include "app/Profile.h"
#include "app/SystemAccess.h"
#include "core/Clock.h"
#include "sim/SimReceiver.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

class CSimThread {
public:
    explicit CSimThread(const SimOptions& options) : m_Sim(options) {}
    ~CSimThread() { Stop(); }
    bool Start() {
        std::string error;
        if (!m_Sim.Open(error))
            return false;
        m_Thread = std::thread([this] { m_Sim.Run(); });
        return true;
    }
    void Stop() {
        m_Sim.Stop();
        if (m_Thread.joinable())
            m_Thread.join();
    }
    CSimReceiver& Sim() { return m_Sim; }

private:
    CSimReceiver m_Sim;
    std::thread m_Thread;
};

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetMessageBoxesOff(true);
        m_Profile = CProfile::FromFile(m_Dir.File("settings.ini"));
        m_System = std::make_unique<CSystem>();
        // Short limits keep each test within seconds.
        m_System->m_Check.m_Timing.checkLimitMs = 1500;
        m_System->m_Check.m_Timing.sentenceLimitMs = 300;
        m_System->m_Check.m_Timing.closedPortSleepMs = 100;
        m_System->m_PortWorker.m_PassWaitMs = 20;
        m_System->m_PortWorker.m_RetryWaitMs = 20;
        m_Dlg = std::make_unique<CLoaderDlg>(*m_System, *m_Profile);
    }

    void TearDown() override {
        if (m_Dlg)
            m_Dlg->DrainLogQueue();
        m_System->Shutdown();
        m_Dlg.reset();
        m_Sim.reset();
        m_System.reset();
    }

    // Set-up as the program does it, shown on the offscreen screen.
    void Init() {
        ASSERT_TRUE(m_Dlg->OnInitDialog());
        m_Dlg->show();
        QApplication::processEvents();
    }

    void Tick() { m_Dlg->OnRefreshTimer(); }

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

    // Starts a simulated receiver and returns the list position of its port (appended to the table).
    int StartSim(SimOptions options = SimOptions{}) {
        options.raw = true;
        m_Sim = std::make_unique<CSimThread>(options);
        EXPECT_TRUE(m_Sim->Start());
        std::string path = m_Sim->Sim().SlavePath();
        EXPECT_TRUE(AddPortName(path.c_str()));
        m_Dlg->FillPortList();
        return g_PortCount;
    }

    // Chooses a port as the user would and waits for the worker to open it.
    bool ChoosePort(int index) {
        m_Dlg->OnPortSelChange(index);
        return TickUntil([this] { return Port(*m_System)->IsOpen() == 1; });
    }

    // A simulated receiver chosen as the port, with the workers running.
    bool Connect(const SimOptions& options = SimOptions{}) {
        m_SimSlot = StartSim(options);
        m_System->StartWorkers();
        return ChoosePort(m_SimSlot);
    }

    // Names an image in the editable list as the user would and loads its information.
    int ChooseImage(const std::string& path) {
        m_Dlg->Combo(IDC_IMAGE_COMBO)->setEditText(QString::fromStdString(path));
        return m_Dlg->RefreshImageInfo();
    }

    bool ViewHas(const QString& text) { return m_Dlg->LogView()->toPlainText().indexOf(text) != -1; }

    void ExpectEnded(int exitCode) {
        EXPECT_TRUE(m_Dlg->Ended());
        EXPECT_EQ(m_Dlg->m_ExitCode, exitCode);
    }

    CUploadJob& Job() { return m_System->m_Job; }
    CReceiverCheck& Check() { return m_System->m_Check; }
    QString Text(int id) { return m_Dlg->Label(id)->text(); }

    CTestDir m_Dir;
    std::unique_ptr<CProfile> m_Profile;
    std::unique_ptr<CSystem> m_System;
    std::unique_ptr<CLoaderDlg> m_Dlg;
    std::unique_ptr<CSimThread> m_Sim;
    int m_SimSlot = 0;
};
