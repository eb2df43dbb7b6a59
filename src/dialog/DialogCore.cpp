#include "DialogCore.h"

#include "ConsoleReport.h"
#include "DialogPlatform.h"
#include "MessageBoxRules.h"
#include "PortAccess.h"
#include "Profile.h"
#include "StateColors.h"
#include "StringTable.h"
#include "SystemAccess.h"
#include "core/Clock.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <thread>

namespace {

// The labels whose texts the core keeps, by id.
constexpr int TEXT_IDS[] = {
    IDC_CHOOSE_IMAGE, IDC_VERSION,        IDC_IMAGE_VERSION, IDC_IMAGE_TYPE,          IDC_PFL_VERSION,
    IDC_STATUS_LABEL, IDC_STATUS,         IDC_TYPE_LABEL,    IDC_IMAGE_VERSION_LABEL, IDC_PFL_VERSION_LABEL,
    IDC_PORT_LABEL,   IDC_RECEIVER_LABEL, IDC_RECEIVER,      IDC_DATE_LABEL,          IDC_TIME_LABEL,
    IDC_DATE,         IDC_TIME,           IDC_OPTIONS_LABEL, IDC_SERIAL_LABEL,        IDC_OPTIONS,
    IDC_SERIAL,
};

} // namespace

CDialogCore::CDialogCore(CSystem& system, CProfile& profile, CDialogView& view)
    : m_System(system), m_Profile(profile), m_View(view) {
    for (int id : TEXT_IDS)
        m_Texts[id];
}

std::string CDialogCore::TextOf(int id) const {
    auto it = m_Texts.find(id);
    return it == m_Texts.end() ? std::string() : it->second;
}

void CDialogCore::SetTextMember(int id, const std::string& text) {
    m_Texts[id] = text;
}

void CDialogCore::UpdateData() {
    for (const auto& [id, text] : m_Texts) {
        auto shown = m_Shown.find(id);
        if (shown != m_Shown.end() && shown->second == text)
            continue;
        if (shown == m_Shown.end() && text.empty())
            continue;
        m_View.SetText(id, text);
        m_Shown[id] = text;
    }
}

void CDialogCore::SetCaptions() {
    m_View.SetText(IDC_WINDOW, LoadStr(113));
    const std::pair<int, int> captions[] = {{IDC_BROWSE, 107},   {IDC_CONNECT, 117}, {IDC_REFRESH, 118},
                                            {IDC_SAVE_LOG, 108}, {IDC_UPLOAD, 109},  {IDC_EXIT, 164},
                                            {IDC_FILEINFO, 116}, {IDC_PORTINFO, 115}};
    for (const auto& [id, text] : captions)
        m_View.SetText(id, LoadStr(text));
    const std::pair<int, int> labels[] = {
        {IDC_CHOOSE_IMAGE, 104},   {IDC_PORT_LABEL, 105},          {IDC_STATUS_LABEL, 128},
        {IDC_RECEIVER_LABEL, 129}, {IDC_OPTIONS_LABEL, 151},       {IDC_SERIAL_LABEL, 152},
        {IDC_TYPE_LABEL, 123},     {IDC_IMAGE_VERSION_LABEL, 126}, {IDC_PFL_VERSION_LABEL, 127},
        {IDC_DATE_LABEL, 153},     {IDC_TIME_LABEL, 154}};
    for (const auto& [id, text] : labels)
        SetTextMember(id, LoadStr(text));
    SetTextMember(IDC_VERSION, LoadStr(106) + " " + PROGRAM_VERSION);
    const std::pair<int, int> tips[] = {{IDC_BROWSE, 112},  {IDC_SAVE_LOG, 111}, {IDC_UPLOAD, 110},
                                        {IDC_CONNECT, 119}, {IDC_REFRESH, 120},  {IDC_EXIT, 165}};
    for (const auto& [id, text] : tips)
        m_View.SetToolTip(id, LoadStr(text));
}

void CDialogCore::PaintBarFromState(int id, int state) {
    m_View.SetColors(id, StateColorsOf(state).filled, StateColorsOf(state).unfilled);
}

bool CDialogCore::OnInitDialog() {
    m_ExitCode = 0;
    m_UploadBlocked = 0;
    m_Busy = 0;
    m_LogToFile = 0;

    m_LogFileName = m_Profile.GetString("m_FLog", "terminal.log");
    SetCaptions();
    // The log named on the command line is made before the receiver is touched: an unattended run whose
    // log cannot be made ends here rather than upload with its record lost line by line.
    if (m_LogFromCmdLine && !StartCommandLineLog())
        return false;

    CUploadJob& job = Job(m_System);
    job.m_FileState.Set(2);
    job.m_ConnState.Set(2);
    PaintBarFromState(IDC_FILE_BAR, job.m_FileState.Get());
    PaintBarFromState(IDC_CONN_BAR, job.m_ConnState.Get());
    m_View.SetProgress(IDC_FILE_BAR, 1.0);
    m_View.SetProgress(IDC_CONN_BAR, 1.0);

    EnumeratePorts();
    if (!InitPortList()) {
        CloseDialog(m_ExitCode);
        return false;
    }
    m_View.StartDeviceWatch();
    m_View.StartTimer(REFRESH_MS);

    m_RecentFiles.Load(m_Profile);
    std::string first;
    ImagePath(m_System).Set(m_RecentFiles.GetEntry(0, first) ? first : std::string());
    FillImageCombo();

    if (m_AutoMode) {
        m_View.SetText(IDC_IMAGE_COMBO, m_CmdImage);
        if (!RefreshImageInfo()) {
            Box(LoadStr(141) + ": " + m_CmdImage, LoadStr(132), MB_ICONINFORMATION, false);
            CloseDialog(3);
            return false;
        }
    }

    RefreshImageInfo();
    RefreshConnection();
    UpdateData();

    if (m_AutoMode) {
        if (SleepOnDialogThread(1000)) {
            Check(m_System).RequestCheck();
            WaitForCheck();
        }
        if (m_Interrupted) {
            CloseDialog(1);
            return false;
        }
        if (Check(m_System).m_Identified.Get() == 1) {
            if (!OnUpload()) {
                // Nothing was handed to the worker, so no result will ever end the run: end it here with
                // the code of what stood in the way.
                int code = m_RefusedCode != 0        ? m_RefusedCode
                           : m_ImageValid.Get() != 1 ? 3
                           : !PortOpen()             ? 4
                                                     : 5;
                CloseDialog(code);
                return false;
            }
        } else {
            // The worker retries a port it cannot open without a word; an unattended run ends with the
            // cause (held by another program, no permission, another device) and 2.
            CSerialPort* port = Port(m_System);
            std::string fault = port && port->IsOpen() != 1 ? PortOpenFault(*port) : std::string();
            if (!fault.empty()) {
                m_EndReason = fault;
                Channel(m_System).Log(fault);
                CloseDialog(2);
                return false;
            }
            CloseDialog(4);
            return false;
        }
    }
    return true;
}

bool CDialogCore::SleepOnDialogThread(uint32_t ms) {
    // In short slices, so that an interrupt is not kept waiting.
    uint32_t start = TickMs();
    while (!m_Interrupted && ElapsedMs(start) < ms) {
        if (m_PollInterrupts)
            m_PollInterrupts();
        if (m_Interrupted)
            break;
        uint32_t left = ms - std::min(ms, ElapsedMs(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(left, 20)));
    }
    return !m_Interrupted;
}

void CDialogCore::WaitForCheck() {
    CReceiverCheck& check = Check(m_System);
    // A check ends on its own within its limit plus one sentence read or one closed-port pause; the wait
    // here is bounded by that and a margin, so a worker that never answers cannot hold the dialog.
    const CReceiverCheck::Timing& t = check.m_Timing;
    uint32_t limit = t.checkLimitMs + std::max(t.sentenceLimitMs, t.closedPortSleepMs) + t.idleWaitMs + 1000;
    uint32_t start = TickMs();
    while (check.m_CheckRunning.Get() == 1 && ElapsedMs(start) < limit && SleepOnDialogThread(100)) {
    }
}

bool CDialogCore::PortOpen() {
    CSerialPort* port = Port(m_System);
    return port && port->IsOpen() == 1;
}

void CDialogCore::OnRefreshTimer() {
    DrainStatusQueue();
    DrainLogQueue();
    ShowProgress();
    ShowIdleState();
    ShowFlashWriting();
    RequestCheckOnOpen();
    ShowReceiverTexts();
    ShowLoaderBanner();
    ShowResult();
    if (m_Ended)
        return;
    RecoverIdle();
    if (m_Ended)
        return;
    RefreshConnection();
    PaintBars();
    ApplyUploadButtonRule();
    EchoProgress();
}

void CDialogCore::DrainStatusQueue() {
    while (std::optional<std::string> line = Channel(m_System).m_StatusQueue.Pop()) {
        if (m_Console)
            m_Console->StatusLine(*line);
        AppendLogView(*line + "\r\n");
    }
}

void CDialogCore::ShowProgress() {
    LockedShort& cell = Job(m_System).m_Progress;
    if (!cell.Changed())
        return;
    int16_t progress = cell.Get();
    if (progress == static_cast<int16_t>(m_ShownProgress))
        return;
    progress = cell.Get();
    m_ShownProgress = static_cast<uint16_t>(progress);
    m_View.SetProgress(IDC_UPLOAD_BAR, progress * 0.001);
    m_ProgressMoved = true;
}

void CDialogCore::ShowIdleState() {
    if (!m_Idle.Changed())
        return;
    bool idle = m_Idle.Get() == 1;
    m_View.SetToolTip(IDC_UPLOAD, LoadStr(idle ? 110 : 155));
    m_View.SetText(IDC_UPLOAD, LoadStr(idle ? 109 : 148));
    for (int id : {IDC_BROWSE, IDC_CONNECT, IDC_REFRESH, IDC_EXIT, IDC_IMAGE_COMBO, IDC_PORT_LIST})
        m_View.Enable(id, idle);
    m_Busy = idle ? 0 : 1;
}

void CDialogCore::ShowFlashWriting() {
    LockedInt& cell = Job(m_System).m_FlashWriting;
    if (!cell.Changed())
        return;
    bool writing = cell.Get() == 1;
    m_View.Enable(IDC_UPLOAD, !writing);
    if (writing) {
        m_View.Focus(IDC_SAVE_LOG);
        m_FlashTouched = true;
    } else {
        m_View.Focus(IDC_UPLOAD);
    }
    m_UploadBlocked = writing ? 1 : 0;
}

void CDialogCore::RequestCheckOnOpen() {
    LockedInt& cell = PortOpenedCell(m_System);
    if (cell.Changed() && cell.Get() != 0 && m_PortIndex != 0)
        Check(m_System).RequestCheck();
}

void CDialogCore::ShowReceiverTexts() {
    CReceiverCheck& check = Check(m_System);
    if (!check.m_CheckRunning.Changed())
        return;
    if (check.m_CheckRunning.Get() == 1) {
        for (int id : {IDC_RECEIVER, IDC_OPTIONS, IDC_SERIAL})
            SetTextMember(id, LoadStr(167));
        m_View.Enable(IDC_PORT_LIST, false);
        return;
    }
    if (Job(m_System).m_Start.Get() == 0)
        m_View.Enable(IDC_PORT_LIST, true);
    if (check.m_Identified.Get() != 1) {
        for (int id : {IDC_RECEIVER, IDC_OPTIONS, IDC_SERIAL})
            SetTextMember(id, LoadStr(145));
        return;
    }
    ReceiverTexts texts = check.Texts();
    SetTextMember(IDC_RECEIVER, texts.model + " " + LoadStr(106) + " " + texts.version);
    bool options = !texts.options.empty();
    if (options)
        SetTextMember(IDC_OPTIONS, texts.options);
    m_View.Show(IDC_OPTIONS_LABEL, options);
    m_View.Show(IDC_OPTIONS, options);
    bool serial = !texts.serial.empty();
    if (serial)
        SetTextMember(IDC_SERIAL, texts.serial);
    m_View.Show(IDC_SERIAL_LABEL, serial);
    m_View.Show(IDC_SERIAL, serial);
}

void CDialogCore::ShowLoaderBanner() {
    if (Check(m_System).m_Identified.Get() != 0)
        return;
    std::string banner = Job(m_System).m_PfldVersion.Get();
    if (!banner.empty())
        ShowLoaderVersion(banner);
}

void CDialogCore::ShowResult() {
    CUploadJob& job = Job(m_System);
    if (!job.m_Result.Changed())
        return;
    job.m_Result.Get();
    if (!m_AutoMode) {
        if (MessageBoxesOff())
            return;
        m_View.BringToFront();
        bool ok = job.m_Result.Get() == 1;
        PostMessageBox(LoadStr(ok ? 147 : 156), LoadStr(132), ok ? MB_ICONINFORMATION : MB_ICONERROR,
                       [this] { m_View.BringToFront(); });
        return;
    }
    if (job.m_Result.Get() == 1) {
        job.m_Result.Set(1);
        CloseDialog(0);
        return;
    }
    PostMessageBox(LoadStr(156), LoadStr(132), MB_ICONERROR, [this] { CloseDialog(m_Interrupted ? 1 : 5); });
}

void CDialogCore::RecoverIdle() {
    if (Job(m_System).m_Start.Get() != 0)
        return;
    if (m_Idle.Get() != 1)
        m_Idle.Set(1);
    if (m_PendingPortRequest >= 0) {
        int index = m_PendingPortRequest;
        m_PendingPortRequest = -1;
        PortWorker(m_System).RequestPort(static_cast<int16_t>(index));
    }
    // An automatic run whose end was refused while the worker finished its job ends now.
    if (m_PendingClose >= 0)
        CloseDialog(m_PendingClose);
}

void CDialogCore::PaintBars() {
    CUploadJob& job = Job(m_System);
    if (job.m_Phase.Changed()) {
        int filled = job.m_Phase.Get();
        m_ShownPhase = job.m_Phase.Get();
        m_View.SetColors(IDC_UPLOAD_BAR, StateColorsOf(filled).filled, StateColorsOf(m_ShownPhase).unfilled);
        m_ProgressMoved = true;
    }
    if (job.m_ConnState.Changed())
        PaintBarFromState(IDC_CONN_BAR, job.m_ConnState.Get());
    if (job.m_FileState.Changed())
        PaintBarFromState(IDC_FILE_BAR, job.m_FileState.Get());
}

void CDialogCore::ApplyUploadButtonRule() {
    CUploadJob& job = Job(m_System);
    bool ready = job.m_ConnState.Get() == 4 && job.m_FileState.Get() == 4;
    if (ready) {
        if (!m_View.IsEnabled(IDC_UPLOAD) && job.m_FlashWriting.Get() == 0) {
            m_View.Enable(IDC_UPLOAD, true);
            m_View.Focus(IDC_UPLOAD);
        }
    } else if (m_View.IsEnabled(IDC_UPLOAD)) {
        m_View.Enable(IDC_UPLOAD, false);
        m_View.Focus(IDC_BROWSE);
    }
}

void CDialogCore::EchoProgress() {
    if (m_Console && m_ProgressMoved && m_Busy == 1)
        m_Console->Progress(m_ShownPhase, m_ShownProgress, m_ShownPhase >= 2 ? m_UploadBytes : 0, TickMs());
    m_ProgressMoved = false;
}

int CDialogCore::Box(const std::string& text, const std::string& caption, unsigned style, bool centred) {
    int answer = IDOK;
    if (AnswerWithoutBox(text, caption, style, answer))
        return answer;
    return m_View.MessageBox(text, caption, style, centred);
}

void CDialogCore::PostMessageBox(const std::string& text, const std::string& caption, unsigned style,
                                 std::function<void()> then) {
    if (MessageBoxesOff()) {
        Box(text, caption, style);
        if (then)
            then();
        return;
    }
    m_View.Post([this, text, caption, style, then] {
        Box(text, caption, style);
        if (then && !m_Ended)
            then();
    });
}

void CDialogCore::RefreshConnection() {
    CUploadJob& job = Job(m_System);
    CSerialPort* port = Port(m_System);
    if (port && port->IsOpen() == 1) {
        SetTextMember(IDC_STATUS, LoadStr(124));
        if (job.m_ConnState.Changed() || job.m_ConnState.Get() != 4)
            job.m_ConnState.Set(4);
    } else {
        SetTextMember(IDC_STATUS, LoadStr(port && port->PortLocked() == 1 ? 161 : 125));
        for (int id : {IDC_RECEIVER, IDC_OPTIONS, IDC_SERIAL})
            SetTextMember(id, LoadStr(145));
        if (job.m_ConnState.Changed() || job.m_ConnState.Get() != 2)
            job.m_ConnState.Set(2);
    }
    UpdateData();
}

void CDialogCore::ShowLoaderVersion(const std::string& banner) {
    // Read and written without the C library's locale: a desktop that writes numbers with ',' must not
    // change what a loader banner says.
    static const std::string prefix = "$VER,PFLD_Pellar2v";
    if (banner.compare(0, prefix.size(), prefix) != 0)
        return;
    const char* first = banner.c_str() + prefix.size();
    const char* last = banner.c_str() + banner.size();
    double version = 0;
    auto [end, error] = std::from_chars(first, last, version, std::chars_format::fixed);
    if (error != std::errc() || end == first)
        return;
    long hundredths = static_cast<long>(version * 100.0 + (version < 0 ? -0.5 : 0.5));
    long whole = hundredths / 100, part = std::labs(hundredths % 100);
    std::string number = (hundredths < 0 && whole == 0 ? "-" : "") + std::to_string(whole) + "." +
                         (part < 10 ? "0" : "") + std::to_string(part);
    SetTextMember(IDC_RECEIVER, "PFLD " + LoadStr(106) + " " + number);
    for (int id : {IDC_OPTIONS_LABEL, IDC_OPTIONS, IDC_SERIAL_LABEL, IDC_SERIAL})
        m_View.Show(id, false);
    // While a job runs the identified mark is the receiver check's: setting it would end a running check
    // as answered and start the next one, whose queries would land inside the loader's protocol.
    if (Job(m_System).m_Start.Get() == 0)
        Check(m_System).m_Identified.Set(1);
}

void CDialogCore::AppendLogView(const std::string& line) {
    // The view counts a line end as one character.
    std::string text;
    text.reserve(line.size());
    for (size_t i = 0; i < line.size(); ++i)
        if (!(line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n'))
            text += line[i];
    int n = m_View.LogLength();
    if (n > LOG_VIEW_LIMIT)
        m_View.DropLogHead(n / 2);
    m_View.AppendLog(text);
}

void CDialogCore::CloseDialog(int exitCode) {
    if (m_Ended)
        return;
    CUploadJob& job = Job(m_System);
    bool complete = m_AutoMode && job.m_Result.Get() == 1;
    if (!complete && job.m_Start.Get() == 1) {
        if (m_AutoMode) {
            // Nobody will ask again in an unattended run: retry on each tick until the worker is done.
            m_PendingClose = exitCode;
            if (m_WaitNoticeShown)
                return;
            m_WaitNoticeShown = true;
        }
        if (!MessageBoxesOff() || m_Console)
            PostMessageBox(LoadStr(150), LoadStr(132), MB_ICONERROR);
        return;
    }
    m_PendingClose = -1;
    m_View.StopTimer();
    m_View.StopDeviceWatch();
    if (CSerialPort* port = Port(m_System))
        port->Close();
    DrainLogQueue();
    // An unattended run that ends before its first refresh still tells its status lines.
    if (m_Console)
        while (std::optional<std::string> line = Channel(m_System).m_StatusQueue.Pop())
            m_Console->StatusLine(*line);
    if (exitCode != 0)
        m_ExitCode = exitCode;
    m_Ended = true;
    if (m_Console)
        m_Console->Finish();
    m_View.EndDialog(m_ExitCode);
}

void CDialogCore::OnClose() {
    if (!m_Ended)
        CloseDialog(1);
}

void CDialogCore::OnInterrupt(const std::string& cause) {
    if (m_Interrupted || m_Ended)
        return;
    m_Interrupted = true;
    CUploadJob& job = Job(m_System);
    bool running = job.m_Start.Get() == 1;
    std::string where;
    if (!running)
        where = "no upload was running; the receiver was not touched.";
    else if (m_FlashTouched || job.m_FlashWriting.Get() == 1)
        where =
            "flash writing stopped: the receiver is left in its loader with its flash incomplete; run the "
            "upload again.";
    else
        where =
            "upload canceled before flash writing: the flash is unchanged; the receiver may still be in its "
            "loader, run the upload again or restart the receiver.";
    Channel(m_System).Log(cause + ": " + where);
    if (m_Console)
        m_Console->Notice(cause + ": " + where);
    // The job stops at its next look at the cancel, within the protocol's own limits; a flash write cannot
    // be taken back, so a cancel during it only ends the writing sooner.
    if (running) {
        job.CancelUpload();
        m_Idle.Set(1);
    }
    CloseDialog(1);
}

void CDialogCore::OnAccelerator(int command) {
    switch (command) {
    case ID_BROWSE:
        if (!m_Busy)
            OnBrowse();
        break;
    case ID_CONNECT:
        if (!m_Busy)
            OnConnect();
        break;
    case ID_REFRESH:
        if (!m_Busy)
            RefreshImageInfo();
        break;
    case ID_UPLOAD:
        if (!m_UploadBlocked)
            OnUpload();
        break;
    default:
        break;
    }
}
