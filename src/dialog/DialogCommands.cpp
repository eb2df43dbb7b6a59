// The dialog's commands (browse, connect, upload or cancel, help, about), the port list, the file
// information with the recent files, and the log file.

#include "ConsoleReport.h"
#include "DialogCore.h"
#include "DialogPlatform.h"
#include "LogPath.h"
#include "MessageBoxRules.h"
#include "PortAccess.h"
#include "Profile.h"
#include "StringTable.h"
#include "SystemAccess.h"
#include "core/Clock.h"
#include "core/Platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

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

void CDialogCore::OnBrowse() {
    std::string chosen = m_View.ChooseImageFile(ImagePath(m_System).Get());
    if (chosen.empty())
        return;
    m_View.SetText(IDC_IMAGE_COMBO, chosen);
    RefreshImageInfo();
}

void CDialogCore::OnConnect() {
    // The user's word that whatever device the port's name leads to now is the one to use.
    PortWorker(m_System).ForgetDevice();
    RefreshConnection();
    Check(m_System).RequestCheck();
}

bool CDialogCore::OnUpload() {
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
        Box(LoadStr(133), caption, MB_ICONINFORMATION);
        return false;
    }
    if (m_ImageValid.Get() != 1 && PortOpen()) {
        Box(LoadStr(134), caption, MB_ICONINFORMATION);
        return false;
    }
    if (m_ImageValid.Get() == 1 && !PortOpen()) {
        Box(LoadStr(135), caption, MB_ICONINFORMATION);
        return false;
    }

    std::string imageVersion = m_ImageInfo.options ? std::string() : m_ImageInfo.value;
    char imageFamily = imageVersion.empty() ? '\0' : imageVersion[0];
    ReceiverTexts receiver = check.Texts();
    int answer = IDOK;
    // What an unattended run that was refused ends with, and why.
    int refusedCode = 0;
    std::string refusal;
    if (receiver.model == "PFLD") {
        answer = Box(LoadStr(169) + PromptEnding(imageFamily), LoadStr(170), MB_OKCANCEL | MB_ICONQUESTION);
        refusedCode = 4;
        refusal = "the receiver answers from its loader, so its type could not be told";
    } else if (!m_ImageInfo.options) {
        char receiverFamily = receiver.version.empty() ? '\0' : receiver.version[0];
        if (receiverFamily != imageFamily)
            answer = Box(LoadStr(168), LoadStr(170), MB_OKCANCEL | MB_ICONQUESTION);
        refusedCode = 3;
        refusal = "the image (version " + imageVersion + ") does not fit the receiver (" + receiver.model +
                  " " + LoadStr(106) + " " + receiver.version + ")";
    }
    if (answer != IDOK) {
        channel.PushStatus(LoadStr(136));
        channel.Log(LoadStr(136));
        // An unattended run whose question nobody saw ends with the code of what stood in the way.
        if (m_AutoMode && MessageBoxesOff()) {
            m_RefusedCode = refusedCode;
            m_EndReason = refusedCode == 3 ? "the image does not fit the receiver"
                                           : "the receiver's type could not be told";
            channel.Log("Not uploaded: " + refusal);
            if (m_Console)
                m_Console->Notice("Not uploaded: " + refusal + ".");
        }
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

bool CDialogCore::OnHelpFile() {
    std::string path;
    if (!m_View.OpenHelp(path)) {
        CChannel& channel = Channel(m_System);
        channel.Log("ERROR: Can't open help file");
        channel.Log(path);
        channel.PushStatus(LoadStr(159) + " " + path);
    }
    return true;
}

void CDialogCore::OnAbout() {
    m_View.ShowAbout();
}

// --- port list ---

void CDialogCore::ShowPortList() {
    m_View.SetItems(IDC_PORT_LIST, m_PortItems);
}

void CDialogCore::FillPortList() {
    m_PortItems.clear();
    m_PortItems.emplace_back(g_PortNames[0]);
    for (int i = 1; i <= g_PortCount; ++i)
        m_PortItems.emplace_back(g_PortNames[i]);
    ShowPortList();
}

int CDialogCore::FindCommandLinePort() {
    auto it = std::find(m_PortItems.begin(), m_PortItems.end(), m_CmdPort);
    if (it != m_PortItems.end())
        return static_cast<int>(it - m_PortItems.begin());
    // A port that discovery does not list (a pseudo-terminal, a by-id link) is taken when it names a
    // character device.
    if (IsCharDevice(m_CmdPort) && AddPortName(m_CmdPort.c_str())) {
        m_PortItems.push_back(m_CmdPort);
        ShowPortList();
        return static_cast<int>(m_PortItems.size()) - 1;
    }
    return -1;
}

bool CDialogCore::InitPortList() {
    FillPortList();
    m_PortIndex = m_Profile.GetInt("iPortId", 1);
    while (m_PortIndex >= static_cast<int>(m_PortItems.size()))
        --m_PortIndex;
    if (m_PortIndex < 0)
        m_PortIndex = 0;
    // A port named on the command line is chosen with or without an image; only an unattended run ends
    // when it is missing, the dialog keeps the remembered port. A path that exists but is no serial port
    // (a file, /dev/null, the terminal the program runs in) is refused before anything opens it.
    std::string refusal;
    if (!m_CmdPort.empty() && RefusePort(m_CmdPort, refusal)) {
        Channel(m_System).Log(refusal);
        if (m_AutoMode) {
            m_EndReason = refusal;
            m_ExitCode = 2;
            return false;
        }
        Channel(m_System).PushStatus(refusal);
    } else if (!m_CmdPort.empty()) {
        int found = FindCommandLinePort();
        if (found < 0) {
            Box(LoadStr(163) + " " + m_CmdPort, LoadStr(132), MB_ICONINFORMATION, false);
            if (m_AutoMode) {
                m_ExitCode = 2;
                return false;
            }
        } else {
            m_PortIndex = found;
        }
    }
    // The port worker retries a refused open without a word; the dialog (and an unattended run) says once
    // why.
    if (m_PortIndex > 0)
        TellPortPermission(Channel(m_System), m_PortItems[m_PortIndex]);
    m_Profile.WriteInt("iPortId", m_PortIndex);
    m_View.SetCurrent(IDC_PORT_LIST, m_PortIndex);
    PortWorker(m_System).RequestPort(static_cast<int16_t>(m_PortIndex));
    return true;
}

void CDialogCore::OnPortSelChange(int index) {
    if (index < 0 || index >= static_cast<int>(m_PortItems.size()))
        return;
    m_PortIndex = index;
    m_Profile.WriteInt("iPortId", m_PortIndex);
    PortWorker(m_System).RequestPort(static_cast<int16_t>(m_PortIndex));
    if (m_PortIndex > 0)
        TellPortPermission(Channel(m_System), m_PortItems[m_PortIndex]);
    RefreshConnection();
    PortOpenedCell(m_System).Set(1);
}

void CDialogCore::OnDeviceChange() {
    Channel(m_System).Log("device change");
    if (CSerialPort* port = Port(m_System))
        port->CheckPresence();
    EnumeratePorts();
    RefreshPortList();
    if (Job(m_System).m_Start.Get() == 0)
        RefreshConnection();
}

void CDialogCore::RefreshPortList() {
    std::string remembered =
        m_PortIndex < static_cast<int>(m_PortItems.size()) ? m_PortItems[m_PortIndex] : "";
    int oldIndex = m_PortIndex;
    FillPortList();
    auto it = std::find(m_PortItems.begin(), m_PortItems.end(), remembered);
    int found = it == m_PortItems.end() ? -1 : static_cast<int>(it - m_PortItems.begin());
    if (found < 0) {
        m_PortItems.push_back(remembered);
        ShowPortList();
        AddPortName(remembered.c_str());
        found = static_cast<int>(m_PortItems.size()) - 1;
    }
    m_PortIndex = found;
    m_View.SetCurrent(IDC_PORT_LIST, found);
    // The worker opens its port by slot number: when the chosen port now sits in another slot it must be
    // told, or a reopen would take whatever the old slot holds now. A request closes the port, so one that
    // falls into an upload waits until the job is over.
    if (found != oldIndex) {
        if (Job(m_System).m_Start.Get() == 0)
            PortWorker(m_System).RequestPort(static_cast<int16_t>(found));
        else
            m_PendingPortRequest = found;
    }
}

// --- file information and recent files ---

int CDialogCore::RefreshImageInfo() {
    CChannel& channel = Channel(m_System);
    std::string path = m_View.Text(IDC_IMAGE_COMBO);
    ImagePath(m_System).Set(path);
    if (!path.empty())
        channel.PushStatus(LoadStr(140) + " - " + path);
    else
        channel.PushStatus(LoadStr(158));

    ImageLoadTexts texts;
    texts.openFailed = LoadStr(141);
    texts.corrupted = LoadStr(157);
    bool ok = LoadImage(Image(m_System), ImagePath(m_System), channel, texts) && !path.empty();

    if (ok) {
        m_RecentFiles.AddFront(path);
        m_RecentFiles.Save(m_Profile);
        FillImageCombo();
        m_View.SetText(IDC_IMAGE_COMBO, path);
        m_LoadedPath = path;
        m_ImageInfo = DescribeImage(Image(m_System), &channel);
        SetTextMember(IDC_DATE, m_ImageInfo.date);
        SetTextMember(IDC_TIME, m_ImageInfo.time);
        SetTextMember(IDC_IMAGE_VERSION, m_ImageInfo.value);
        if (m_ImageInfo.options) {
            SetTextMember(IDC_IMAGE_TYPE, LoadStr(143));
            SetTextMember(IDC_IMAGE_VERSION_LABEL, LoadStr(152));
            m_View.Show(IDC_PFL_VERSION, false);
            m_View.Show(IDC_PFL_VERSION_LABEL, false);
        } else {
            SetTextMember(IDC_IMAGE_TYPE, LoadStr(144));
            SetTextMember(IDC_IMAGE_VERSION_LABEL, LoadStr(126));
            m_View.Show(IDC_PFL_VERSION, true);
            m_View.Show(IDC_PFL_VERSION_LABEL, true);
            SetTextMember(IDC_PFL_VERSION, m_ImageInfo.pflVersion);
        }
        m_ImageValid.Set(1);
        Job(m_System).m_FileState.Set(4);
        UpdateData();
        return 1;
    }

    m_RecentFiles.Remove(path);
    m_RecentFiles.Save(m_Profile);
    FillImageCombo();
    m_View.SetText(IDC_IMAGE_COMBO, std::string());
    m_LoadedPath.clear();
    m_ImageInfo = ImageFileInfo{};
    for (int id : {IDC_IMAGE_TYPE, IDC_DATE, IDC_TIME, IDC_PFL_VERSION, IDC_IMAGE_VERSION})
        SetTextMember(id, LoadStr(145));
    m_ImageValid.Set(0);
    Job(m_System).m_FileState.Set(2);
    UpdateData();
    return 0;
}

void CDialogCore::FillImageCombo() {
    std::vector<std::string> items;
    std::string path;
    for (int i = 0; m_RecentFiles.GetEntry(i, path); ++i)
        items.push_back(path);
    m_View.SetItems(IDC_IMAGE_COMBO, items);
    m_View.SetCurrent(IDC_IMAGE_COMBO, m_RecentFiles.Count() > 0 ? 0 : -1);
}

void CDialogCore::OnImageSelChange(int index) {
    std::string path;
    if (!m_RecentFiles.GetEntry(index, path))
        return;
    m_View.SetText(IDC_IMAGE_COMBO, path);
    if (RefreshImageInfo() == 0)
        m_View.SetCurrent(IDC_IMAGE_COMBO, -1);
}

void CDialogCore::OnImageFieldDone() {
    // While an upload runs the field is locked; a path already shown is not read again on every focus
    // change.
    if (m_Busy)
        return;
    std::string typed = m_View.Text(IDC_IMAGE_COMBO);
    if (typed.empty() || typed == m_LoadedPath)
        return;
    RefreshImageInfo();
}

// --- log file ---

void CDialogCore::DrainLogQueue() {
    CChannel& channel = Channel(m_System);
    while (std::optional<std::string> line = channel.m_LogQueue.Pop()) {
        if (m_LogToFile == 1)
            WriteLogFile(*line + "\r\n");
    }
}

void CDialogCore::OnSaveLog() {
    if (!m_View.IsChecked(IDC_SAVE_LOG)) {
        StopLogFile();
        return;
    }
    Channel(m_System).m_LogQueue.Clear();
    ChooseLogFile();
}

void CDialogCore::StopLogFile() {
    m_View.SetChecked(IDC_SAVE_LOG, false);
    m_LogToFile = 0;
}

void CDialogCore::ChooseLogFile() {
    std::string chosen = m_View.ChooseLogFile(m_LogFileName);
    if (chosen.empty()) {
        m_View.SetChecked(IDC_SAVE_LOG, false);
        return;
    }
    StartLogFile(chosen);
}

void CDialogCore::StartLogFile(const std::string& path) {
    m_LogFileName = path;
    m_Profile.WriteString("m_FLog", m_LogFileName);
    std::FILE* f = std::fopen(m_LogFileName.c_str(), "wb");
    if (!f) {
        Box("Create Log File Error", "ERROR", MB_ICONEXCLAMATION);
        m_View.SetChecked(IDC_SAVE_LOG, false);
        return;
    }
    std::fclose(f);
    m_LogBytes = 0;
    m_LogToFile = 1;
    m_LogWriteReported = false;
    m_OpenLogName = m_LogFileName;
    WriteLogFile(LoadStr(113) + " " + LoadStr(106) + " " + PROGRAM_VERSION + "\r\n");
    // ctime's form names days and months in English whatever the user's locale; strftime would not.
    std::tm local{};
    std::string date = LocalTimeOf(std::time(nullptr), local) ? AscTimeText(local) : std::string();
    if (!date.empty() && date.back() == '\n')
        date.pop_back();
    WriteLogFile(date + "\r\n");
    WriteLogFile("\r\n");
    Channel(m_System).PushStatus(LoadStr(142) + " - " + m_LogFileName);
}

bool CDialogCore::StartCommandLineLog() {
    m_LogFileName = m_CmdLogName.empty() ? std::string("terminal.log") : m_CmdLogName;
    std::string error;
    if (!CreateEmptyFile(m_LogFileName, error)) {
        std::string reason = m_LogFileName + ": " + error;
        if (m_AutoMode) {
            if (m_Console)
                m_Console->Notice("ERROR: the log file cannot be created: " + reason);
            m_EndReason = "the log file cannot be created";
            CloseDialog(LOG_FILE_EXIT_CODE);
            return false;
        }
        Box("Create Log File Error\n" + reason, "ERROR", MB_ICONEXCLAMATION);
        return true;
    }
    m_LogToFile = 1;
    m_LogWriteReported = false;
    m_OpenLogName = m_LogFileName;
    return true;
}

void CDialogCore::WriteLogFile(const std::string& text) {
    int error = 0;
    std::FILE* f = std::fopen(m_LogFileName.c_str(), "ab");
    if (!f)
        error = errno;
    else if (std::fwrite(text.data(), 1, text.size(), f) != text.size())
        error = errno;
    if (f && std::fclose(f) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        // The line is lost; the user hears of it once, at once.
        if (!m_LogWriteReported) {
            m_LogWriteReported = true;
            Channel(m_System).PushStatus("ERROR: the log file " + m_LogFileName +
                                         " cannot be written: " + std::strerror(error));
        }
        return;
    }
    m_LogBytes += static_cast<double>(text.size());

    char count[48];
    std::snprintf(count, sizeof count, " (%.0f)", m_LogBytes);
    std::string label = m_OpenLogName + count;
    // The room beside the check mark, measured with the box's own font (a fixed allowance cut the count off).
    label = CompactPath(label, m_View.TextRoom(IDC_SAVE_LOG),
                        [this](const std::string& s) { return m_View.TextWidth(IDC_SAVE_LOG, s); });
    m_View.SetText(IDC_SAVE_LOG, label);
}
