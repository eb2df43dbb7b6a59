// The dialog's commands: browse, connect, upload or cancel, help, about.

#include "LoaderDlg.h"

#include "AboutDlg.h"
#include "HelpFile.h"
#include "MessageBox.h"
#include "ProgramDir.h"
#include "StringTable.h"
#include "SystemAccess.h"
#include "core/Clock.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QUrl>
#include <cstring>

namespace {

const char* PromptEnding(char family) {
    switch (family) {
    case 'G':
        return " for VX20 receiver?";
    case 'H':
        return " for VX10 receiver?";
    default:
        return "?";
    }
}

} // namespace

bool CLoaderDlg::ImageIsOptions() const {
    return m_ImageInfo.options;
}

std::string CLoaderDlg::ImageMainVersion() const {
    return m_ImageInfo.options ? std::string() : m_ImageInfo.value;
}

void CLoaderDlg::OnBrowse() {
    QString chosen =
        QFileDialog::getOpenFileName(this, QString(), QString::fromStdString(ImagePath(m_System).Get()),
                                     QStringLiteral("Binary Image (*.bin);;All Files (*)"));
    if (chosen.isEmpty())
        return;
    Combo(IDC_IMAGE_COMBO)->setEditText(chosen);
    RefreshImageInfo();
}

void CLoaderDlg::OnConnect() {
    // The user's word that whatever device the port's name leads to now is the one to use.
    PortWorker(m_System).ForgetDevice();
    RefreshConnection();
    Check(m_System).RequestCheck();
}

bool CLoaderDlg::OnUpload() {
    CUploadJob& job = Job(m_System);
    CReceiverCheck& check = Check(m_System);
    CChannel& channel = Channel(m_System);
    if (m_Idle.Get() != 1) {
        job.CancelUpload();
        m_Idle.Set(1);
        return true;
    }
    // A cancelled job may still be winding down; a start now would clear the cancel it has not yet seen.
    if (job.m_Start.Get() == 1) {
        channel.PushStatus(LoadStr(150));
        return false;
    }

    std::string caption = LoadStr(132);
    RefreshConnection();
    check.RequestCheck();
    WaitForCheck();
    if (m_Interrupted)
        return false;
    check.m_CheckRunning.Set(0);
    RefreshImageInfo();

    if (m_ImageValid.Get() != 1 && !PortOpen()) {
        CenteredMessageBox(this, LoadStr(133), caption, MB_ICONINFORMATION);
        return false;
    }
    if (m_ImageValid.Get() != 1 && PortOpen()) {
        CenteredMessageBox(this, LoadStr(134), caption, MB_ICONINFORMATION);
        return false;
    }
    if (m_ImageValid.Get() == 1 && !PortOpen()) {
        CenteredMessageBox(this, LoadStr(135), caption, MB_ICONINFORMATION);
        return false;
    }

    std::string imageVersion = ImageMainVersion();
    char imageFamily = imageVersion.empty() ? '\0' : imageVersion[0];
    ReceiverTexts receiver = check.Texts();
    int answer = IDOK;
    if (receiver.model == "PFLD") {
        answer = CenteredMessageBox(this, LoadStr(169) + PromptEnding(imageFamily), LoadStr(170),
                                    MB_OKCANCEL | MB_ICONQUESTION);
    } else if (!ImageIsOptions()) {
        char receiverFamily = receiver.version.empty() ? '\0' : receiver.version[0];
        if (receiverFamily != imageFamily)
            answer = CenteredMessageBox(this, LoadStr(168), LoadStr(170), MB_OKCANCEL | MB_ICONQUESTION);
    }
    if (answer != IDOK) {
        channel.PushStatus(LoadStr(136));
        channel.Log(LoadStr(136));
        return false;
    }

    // The bytes just checked are the ones that go out; an unattended run says which.
    if (m_Console)
        channel.PushStatus("Image SHA-256: " + Image(m_System).Sha256());
    m_Idle.Set(0);
    CSerialPort* port = Port(m_System);
    port->Purge();
    port->SendString("$PQELS,PFL,UPL\r\n");
    // The transmit thread reports within its own limit; a port that closes meanwhile ends the wait too.
    uint32_t start = TickMs();
    while (!port->IsTxDone() && port->IsOpen() == 1 && ElapsedMs(start) < TX_DONE_LIMIT_MS)
        SleepOnDialogThread(1);
    job.m_ConnectBudget = m_AutoMode ? 5 : 30;
    m_UploadBytes = Image(m_System).Section(0).size;
    m_UploadStartMs = TickMs();
    job.StartUpload();
    return true;
}

bool CLoaderDlg::OnHelpFile() {
    std::string path;
    if (!OpenHelpFile(ProgramDir(&Channel(m_System)), path)) {
        CChannel& channel = Channel(m_System);
        channel.Log("ERROR: Can't open help file");
        channel.Log(path);
        channel.PushStatus(LoadStr(159) + " " + path);
    }
    return true;
}

void CLoaderDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}
