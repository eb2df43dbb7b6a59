#include "LoaderDlg.h"

#include "AboutDlg.h"
#include "ConsoleReport.h"
#include "DeviceMonitor.h"
#include "MessageBox.h"
#include "Profile.h"
#include "SignalWatch.h"
#include "StringTable.h"
#include "SystemAccess.h"
#include "core/Clock.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QTextCursor>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <cstdio>
#include <locale.h>
#include <thread>

namespace {

// The application object adopts the user's locale, which may write numbers with ','; a loader banner and
// the text made of it always use '.'. Switches the calling thread to the C locale while it lives.
class CClassicNumbers {
public:
    CClassicNumbers() : m_C(newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0))) {
        if (m_C)
            m_Old = uselocale(m_C);
    }
    ~CClassicNumbers() {
        if (m_C) {
            uselocale(m_Old);
            freelocale(m_C);
        }
    }
    CClassicNumbers(const CClassicNumbers&) = delete;
    CClassicNumbers& operator=(const CClassicNumbers&) = delete;

private:
    locale_t m_C;
    locale_t m_Old = static_cast<locale_t>(0);
};

} // namespace

CLoaderDlg::CLoaderDlg(CSystem& system, CProfile& profile, QWidget* parent)
    : QDialog(parent), m_System(system), m_Profile(profile), m_Units(font()) {
    // A fixed-size window: no maximise button.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    BuildControls();
    m_TextMembers = {
        {IDC_CHOOSE_IMAGE, &m_ChooseImageText},
        {IDC_VERSION, &m_VersionText},
        {IDC_IMAGE_VERSION, &m_ImageVersionText},
        {IDC_IMAGE_TYPE, &m_ImageTypeText},
        {IDC_PFL_VERSION, &m_PflVersionText},
        {IDC_STATUS_LABEL, &m_StatusLabelText},
        {IDC_STATUS, &m_StatusText},
        {IDC_TYPE_LABEL, &m_TypeLabelText},
        {IDC_IMAGE_VERSION_LABEL, &m_ImageVersionLabel},
        {IDC_PFL_VERSION_LABEL, &m_PflVersionLabel},
        {IDC_PORT_LABEL, &m_PortLabelText},
        {IDC_RECEIVER_LABEL, &m_ReceiverLabelText},
        {IDC_RECEIVER, &m_ReceiverText},
        {IDC_DATE_LABEL, &m_DateLabelText},
        {IDC_TIME_LABEL, &m_TimeLabelText},
        {IDC_DATE, &m_DateText},
        {IDC_TIME, &m_TimeText},
        {IDC_OPTIONS_LABEL, &m_OptionsLabelText},
        {IDC_SERIAL_LABEL, &m_SerialLabelText},
        {IDC_OPTIONS, &m_OptionsText},
        {IDC_SERIAL, &m_SerialText},
    };
    m_Timer = new QTimer(this);
    m_Timer->setTimerType(Qt::PreciseTimer);
    connect(m_Timer, &QTimer::timeout, this, &CLoaderDlg::OnRefreshTimer);
    m_DeviceMonitor = std::make_unique<CDeviceMonitor>();
}

CLoaderDlg::~CLoaderDlg() = default;

template <typename W> W* CLoaderDlg::AddControl(int id, W* widget, int x, int y, int w, int h) {
    widget->setObjectName(QString::number(id));
    widget->setGeometry(m_Units.Rect(x, y, w, h));
    m_Controls[id] = widget;
    return widget;
}

void CLoaderDlg::BuildControls() {
    // The template's widths were made for another font: the unit grows until every caption fits its place
    // (text ids with their width in dialog units and the pixels a frame or check mark takes).
    const int fits[][3] = {{104, 271, 4},  {105, 43, 4},   {128, 34, 4},   {129, 34, 4},   {151, 34, 4},
                           {152, 34, 4},   {123, 46, 4},   {126, 46, 4},   {127, 46, 4},   {153, 46, 4},
                           {154, 46, 4},   {107, 37, 14},  {117, 122, 14}, {118, 122, 14}, {108, 271, 30},
                           {109, 271, 14}, {148, 271, 14}, {164, 50, 14},  {115, 134, 24}, {116, 134, 24}};
    for (const auto& [id, du, pad] : fits)
        m_Units.FitText(font(), LoadQStr(id), du, pad);
    m_Units.FitText(font(), LoadQStr(106) + QStringLiteral(" ") + QString::fromLatin1(PROGRAM_VERSION), 82,
                    4);

    auto label = [this](int id, int x, int y, int w, int h, bool right) {
        auto* l = AddControl(id, new QLabel(this), x, y, w, h);
        l->setAlignment((right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
        return l;
    };
    // In the order of the template, which is also the order of the Tab key.
    label(IDC_CHOOSE_IMAGE, 10, 10, 271, 8, false);
    AddControl(IDC_BROWSE, new QPushButton(this), 10, 23, 37, 13);
    auto* image = AddControl(IDC_IMAGE_COMBO, new QComboBox(this), 51, 23, 230, 13);
    image->setEditable(true);
    image->setInsertPolicy(QComboBox::NoInsert);
    AddControl(IDC_PORTINFO, new QGroupBox(this), 10, 40, 134, 98);
    AddControl(IDC_FILEINFO, new QGroupBox(this), 147, 40, 134, 98);
    label(IDC_PORT_LABEL, 16, 53, 43, 8, true);
    AddControl(IDC_PORT_LIST, new QComboBox(this), 61, 49, 76, 13);
    label(IDC_STATUS_LABEL, 16, 64, 34, 8, true);
    label(IDC_STATUS, 52, 64, 85, 8, false);
    label(IDC_RECEIVER_LABEL, 16, 75, 34, 8, true);
    label(IDC_RECEIVER, 52, 75, 85, 8, false);
    label(IDC_OPTIONS_LABEL, 16, 86, 34, 8, true);
    label(IDC_OPTIONS, 52, 86, 85, 8, false);
    label(IDC_SERIAL_LABEL, 16, 97, 34, 8, true);
    label(IDC_SERIAL, 52, 97, 85, 8, false);
    AddControl(IDC_CONN_BAR, new CColorBar(this), 15, 108, 122, 10);
    AddControl(IDC_CONNECT, new QPushButton(this), 15, 120, 122, 13);
    label(IDC_TYPE_LABEL, 153, 53, 46, 8, true);
    label(IDC_IMAGE_TYPE, 201, 53, 74, 8, false);
    label(IDC_DATE_LABEL, 153, 64, 46, 8, true);
    label(IDC_DATE, 201, 64, 74, 8, false);
    label(IDC_TIME_LABEL, 153, 75, 46, 8, true);
    label(IDC_TIME, 201, 75, 74, 8, false);
    label(IDC_IMAGE_VERSION_LABEL, 153, 86, 46, 8, true);
    label(IDC_IMAGE_VERSION, 201, 86, 74, 8, false);
    label(IDC_PFL_VERSION_LABEL, 153, 97, 46, 8, true);
    label(IDC_PFL_VERSION, 201, 97, 74, 8, false);
    AddControl(IDC_FILE_BAR, new CColorBar(this), 153, 108, 122, 10);
    AddControl(IDC_REFRESH, new QPushButton(this), 153, 120, 122, 13);
    m_SaveLog = AddControl(IDC_SAVE_LOG, new QCheckBox(this), 10, 140, 271, 10);
    m_LogView = AddControl(IDC_LOG_VIEW, new QPlainTextEdit(this), 10, 152, 271, 111);
    m_LogView->setReadOnly(true);
    m_LogView->setUndoRedoEnabled(false);
    m_LogView->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_LogView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_LogView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    AddControl(IDC_UPLOAD_BAR, new CColorBar(this), 10, 265, 271, 14);
    auto* upload = AddControl(IDC_UPLOAD, new QPushButton(this), 10, 282, 271, 14);
    upload->setDefault(true);
    label(IDC_VERSION, 10, 311, 82, 8, false);
    AddControl(IDC_EXIT, new QPushButton(this), 231, 305, 50, 14);

    // White inside like the window (the platform style fills them grey).
    for (int id : {IDC_PORTINFO, IDC_FILEINFO})
        Item(id)->setStyleSheet(QStringLiteral("QGroupBox { background: white; border: 1px solid #b4b4b4;"
                                               " border-radius: 3px; margin-top: 0.6em; }"
                                               "QGroupBox::title { subcontrol-origin: margin; left: 6px;"
                                               " padding: 0 3px; }"));
    // Group boxes lie beneath the controls that sit on them.
    Item(IDC_PORTINFO)->lower();
    Item(IDC_FILEINFO)->lower();

    QRect all = m_Units.Rect(0, 0, 291, 329);
    setFixedSize(all.size());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);

    connect(Button(IDC_BROWSE), &QPushButton::clicked, this, &CLoaderDlg::OnBrowse);
    connect(Button(IDC_CONNECT), &QPushButton::clicked, this, &CLoaderDlg::OnConnect);
    connect(Button(IDC_REFRESH), &QPushButton::clicked, this, [this] { RefreshImageInfo(); });
    connect(Button(IDC_UPLOAD), &QPushButton::clicked, this, [this] { OnUpload(); });
    connect(Button(IDC_EXIT), &QPushButton::clicked, this, [this] { CloseDialog(0); });
    connect(m_SaveLog, &QCheckBox::clicked, this, &CLoaderDlg::OnSaveLog);
    connect(Combo(IDC_PORT_LIST), QOverload<int>::of(&QComboBox::activated), this,
            &CLoaderDlg::OnPortSelChange);
    connect(Combo(IDC_IMAGE_COMBO), QOverload<int>::of(&QComboBox::activated), this,
            &CLoaderDlg::OnImageSelChange);

    // Keyboard accelerators with their guards.
    auto shortcut = [this](const char* keys, std::function<void()> run) {
        auto* s = new QShortcut(QKeySequence(QString::fromLatin1(keys)), this);
        connect(s, &QShortcut::activated, this, std::move(run));
    };
    shortcut("Ctrl+B", [this] {
        if (!m_Busy)
            OnBrowse();
    });
    shortcut("Ctrl+O", [this] {
        if (!m_Busy)
            OnBrowse();
    });
    shortcut("Ctrl+C", [this] {
        if (!m_Busy)
            OnConnect();
    });
    shortcut("Ctrl+R", [this] {
        if (!m_Busy)
            RefreshImageInfo();
    });
    shortcut("Ctrl+U", [this] {
        if (!m_UploadBlocked)
            OnUpload();
    });
    shortcut("F1", [this] { OnHelpFile(); });
}

QWidget* CLoaderDlg::Item(int id) const {
    auto it = m_Controls.find(id);
    return it == m_Controls.end() ? nullptr : it->second;
}

QLabel* CLoaderDlg::Label(int id) const {
    return qobject_cast<QLabel*>(Item(id));
}

CColorBar* CLoaderDlg::Bar(int id) const {
    return dynamic_cast<CColorBar*>(Item(id));
}

QPushButton* CLoaderDlg::Button(int id) const {
    return qobject_cast<QPushButton*>(Item(id));
}

QComboBox* CLoaderDlg::Combo(int id) const {
    return qobject_cast<QComboBox*>(Item(id));
}

void CLoaderDlg::UpdateData() {
    for (auto& [id, text] : m_TextMembers)
        if (QLabel* l = Label(id); l && l->text() != *text)
            l->setText(*text);
}

void CLoaderDlg::SetCaptions() {
    setWindowTitle(LoadQStr(113));
    Button(IDC_BROWSE)->setText(LoadQStr(107));
    Button(IDC_CONNECT)->setText(LoadQStr(117));
    Button(IDC_REFRESH)->setText(LoadQStr(118));
    m_SaveLog->setText(LoadQStr(108));
    Button(IDC_UPLOAD)->setText(LoadQStr(109));
    Button(IDC_EXIT)->setText(LoadQStr(164));
    static_cast<QGroupBox*>(Item(IDC_FILEINFO))->setTitle(LoadQStr(116));
    static_cast<QGroupBox*>(Item(IDC_PORTINFO))->setTitle(LoadQStr(115));
    m_ChooseImageText = LoadQStr(104);
    m_VersionText = LoadQStr(106) + QStringLiteral(" ") + QString::fromLatin1(PROGRAM_VERSION);
    m_PortLabelText = LoadQStr(105);
    m_StatusLabelText = LoadQStr(128);
    m_ReceiverLabelText = LoadQStr(129);
    m_OptionsLabelText = LoadQStr(151);
    m_SerialLabelText = LoadQStr(152);
    m_TypeLabelText = LoadQStr(123);
    m_ImageVersionLabel = LoadQStr(126);
    m_PflVersionLabel = LoadQStr(127);
    m_DateLabelText = LoadQStr(153);
    m_TimeLabelText = LoadQStr(154);

    Button(IDC_BROWSE)->setToolTip(LoadQStr(112));
    m_SaveLog->setToolTip(LoadQStr(111));
    Button(IDC_UPLOAD)->setToolTip(LoadQStr(110));
    Button(IDC_CONNECT)->setToolTip(LoadQStr(119));
    Button(IDC_REFRESH)->setToolTip(LoadQStr(120));
    Button(IDC_EXIT)->setToolTip(LoadQStr(165));
}

void CLoaderDlg::PaintBarFromState(CColorBar* bar, LockedShort& cell) {
    bar->SetBarColor(StateColorsOf(cell.Get()).filled, false);
    bar->SetRestColor(StateColorsOf(cell.Get()).unfilled, true);
}

bool CLoaderDlg::OnInitDialog() {
    setWindowIcon(ProgramIcon());
    m_ExitCode = 0;
    m_UploadBlocked = 0;
    m_Busy = 0;
    m_TimerId = 0;
    m_LogToFile = 0;

    m_LogFileName = m_Profile.GetString("m_FLog", "terminal.log");
    if (m_LogFromCmdLine) {
        m_LogFileName = m_CmdLogName.empty() ? std::string("terminal.log") : m_CmdLogName;
        m_LogToFile = 1;
        if (std::FILE* f = std::fopen(m_LogFileName.c_str(), "wb"))
            std::fclose(f);
        m_OpenLogName = m_LogFileName;
    }

    SetCaptions();

    CUploadJob& job = Job(m_System);
    job.m_FileState.Set(2);
    job.m_ConnState.Set(2);
    PaintBarFromState(Bar(IDC_FILE_BAR), job.m_FileState);
    PaintBarFromState(Bar(IDC_CONN_BAR), job.m_ConnState);
    Bar(IDC_FILE_BAR)->SetFraction(1.0);
    Bar(IDC_CONN_BAR)->SetFraction(1.0);

    EnumeratePorts();
    if (!InitPortList()) {
        CloseDialog(m_ExitCode);
        return false;
    }
    m_DeviceMonitor->Start([this] { OnDeviceChange(); });

    m_Timer->start(REFRESH_MS);
    m_TimerId = 1;

    m_RecentFiles.Load(m_Profile);
    std::string first;
    ImagePath(m_System).Set(m_RecentFiles.GetEntry(0, first) ? first : std::string());
    FillImageCombo();

    if (m_AutoMode) {
        Combo(IDC_IMAGE_COMBO)->setEditText(QString::fromStdString(m_CmdImage));
        if (!RefreshImageInfo()) {
            PlainMessageBox(this, LoadStr(141) + ": " + m_CmdImage, LoadStr(132), MB_ICONINFORMATION);
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
                int code = m_ImageValid.Get() != 1 ? 3 : !PortOpen() ? 4 : 5;
                CloseDialog(code);
                return false;
            }
        } else {
            // The worker retries a port it cannot open without a word; an unattended run ends with the
            // cause (held by another program, no permission, another device) and 2.
            CSerialPort* port = Port(m_System);
            if (port && port->IsOpen() != 1 && port->LastOpenFault() != CSerialPort::OpenFault::NONE) {
                m_PortCause = port->OpenFaultText();
                Channel(m_System).Log(m_PortCause);
                CloseDialog(2);
                return false;
            }
            CloseDialog(4);
            return false;
        }
    }
    return true;
}

int CLoaderDlg::Run() {
    if (!OnInitDialog())
        return m_ExitCode;
    if (!m_Ended)
        exec();
    return m_ExitCode;
}

bool CLoaderDlg::SleepOnDialogThread(uint32_t ms) {
    // In short slices, so that an interrupt is not kept waiting.
    uint32_t start = TickMs();
    while (!m_Interrupted && ElapsedMs(start) < ms) {
        if (m_Signals)
            m_Signals->Poll();
        if (m_Interrupted)
            break;
        uint32_t left = ms - std::min(ms, ElapsedMs(start));
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(left, 20)));
    }
    return !m_Interrupted;
}

void CLoaderDlg::WaitForCheck() {
    CReceiverCheck& check = Check(m_System);
    // A check ends on its own within its limit plus one sentence read or one closed-port pause; the wait
    // here is bounded by that and a margin, so a worker that never answers cannot hold the dialog.
    const CReceiverCheck::Timing& t = check.m_Timing;
    uint32_t limit = t.checkLimitMs + std::max(t.sentenceLimitMs, t.closedPortSleepMs) + t.idleWaitMs + 1000;
    uint32_t start = TickMs();
    while (check.m_CheckRunning.Get() == 1 && ElapsedMs(start) < limit && SleepOnDialogThread(100)) {
    }
}

bool CLoaderDlg::PortOpen() {
    CSerialPort* port = Port(m_System);
    return port && port->IsOpen() == 1;
}

void CLoaderDlg::OnRefreshTimer() {
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

void CLoaderDlg::DrainStatusQueue() {
    while (std::optional<std::string> line = Channel(m_System).m_StatusQueue.Pop()) {
        if (m_Console)
            m_Console->StatusLine(*line);
        AppendLogView(QString::fromStdString(*line) + QStringLiteral("\r\n"));
    }
}

void CLoaderDlg::ShowProgress() {
    LockedShort& cell = Job(m_System).m_Progress;
    if (!cell.Changed())
        return;
    int16_t progress = cell.Get();
    if (progress == static_cast<int16_t>(m_ShownProgress))
        return;
    progress = cell.Get();
    m_ShownProgress = static_cast<uint16_t>(progress);
    Bar(IDC_UPLOAD_BAR)->SetFraction(progress * 0.001);
    m_ProgressMoved = true;
}

void CLoaderDlg::ShowIdleState() {
    if (!m_Idle.Changed())
        return;
    bool idle = m_Idle.Get() == 1;
    Button(IDC_UPLOAD)->setToolTip(LoadQStr(idle ? 110 : 155));
    Button(IDC_UPLOAD)->setText(LoadQStr(idle ? 109 : 148));
    for (int id : {IDC_BROWSE, IDC_CONNECT, IDC_REFRESH, IDC_EXIT, IDC_IMAGE_COMBO, IDC_PORT_LIST})
        Item(id)->setEnabled(idle);
    m_Busy = idle ? 0 : 1;
}

void CLoaderDlg::ShowFlashWriting() {
    LockedInt& cell = Job(m_System).m_FlashWriting;
    if (!cell.Changed())
        return;
    bool writing = cell.Get() == 1;
    Button(IDC_UPLOAD)->setEnabled(!writing);
    if (writing) {
        m_SaveLog->setFocus();
        m_FlashTouched = true;
    } else {
        Button(IDC_UPLOAD)->setFocus();
    }
    m_UploadBlocked = writing ? 1 : 0;
}

void CLoaderDlg::RequestCheckOnOpen() {
    LockedInt& cell = PortOpenedCell(m_System);
    if (cell.Changed() && cell.Get() != 0 && m_PortIndex != 0)
        Check(m_System).RequestCheck();
}

void CLoaderDlg::ShowReceiverTexts() {
    CReceiverCheck& check = Check(m_System);
    if (!check.m_CheckRunning.Changed())
        return;
    if (check.m_CheckRunning.Get() == 1) {
        m_ReceiverText = m_OptionsText = m_SerialText = LoadQStr(167);
        Item(IDC_PORT_LIST)->setEnabled(false);
        return;
    }
    if (Job(m_System).m_Start.Get() == 0)
        Item(IDC_PORT_LIST)->setEnabled(true);
    if (check.m_Identified.Get() != 1) {
        m_ReceiverText = m_OptionsText = m_SerialText = LoadQStr(145);
        return;
    }
    ReceiverTexts texts = check.Texts();
    m_ReceiverText = QString::fromStdString(texts.model) + QStringLiteral(" ") + LoadQStr(106) +
                     QStringLiteral(" ") + QString::fromStdString(texts.version);
    bool options = !texts.options.empty();
    if (options)
        m_OptionsText = QString::fromStdString(texts.options);
    Item(IDC_OPTIONS_LABEL)->setVisible(options);
    Item(IDC_OPTIONS)->setVisible(options);
    bool serial = !texts.serial.empty();
    if (serial)
        m_SerialText = QString::fromStdString(texts.serial);
    Item(IDC_SERIAL_LABEL)->setVisible(serial);
    Item(IDC_SERIAL)->setVisible(serial);
}

void CLoaderDlg::ShowLoaderBanner() {
    if (Check(m_System).m_Identified.Get() != 0)
        return;
    std::string banner = Job(m_System).m_PfldVersion.Get();
    if (!banner.empty())
        ShowLoaderVersion(banner);
}

void CLoaderDlg::ShowResult() {
    CUploadJob& job = Job(m_System);
    if (!job.m_Result.Changed())
        return;
    job.m_Result.Get();
    if (!m_AutoMode) {
        if (MessageBoxesOff())
            return;
        BringToFront();
        bool ok = job.m_Result.Get() == 1;
        PostMessageBox(LoadStr(ok ? 147 : 156), LoadStr(132), ok ? MB_ICONINFORMATION : MB_ICONERROR,
                       [this] { raise(); });
        return;
    }
    if (job.m_Result.Get() == 1) {
        job.m_Result.Set(1);
        CloseDialog(0);
        return;
    }
    PostMessageBox(LoadStr(156), LoadStr(132), MB_ICONERROR, [this] { CloseDialog(m_Interrupted ? 1 : 5); });
}

void CLoaderDlg::RecoverIdle() {
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

void CLoaderDlg::PaintBars() {
    CUploadJob& job = Job(m_System);
    if (job.m_Phase.Changed()) {
        m_ShownPhase = job.m_Phase.Get();
        Bar(IDC_UPLOAD_BAR)->SetBarColor(StateColorsOf(m_ShownPhase).filled, false);
        m_ShownPhase = job.m_Phase.Get();
        Bar(IDC_UPLOAD_BAR)->SetRestColor(StateColorsOf(m_ShownPhase).unfilled, true);
        m_ProgressMoved = true;
    }
    if (job.m_ConnState.Changed())
        PaintBarFromState(Bar(IDC_CONN_BAR), job.m_ConnState);
    if (job.m_FileState.Changed())
        PaintBarFromState(Bar(IDC_FILE_BAR), job.m_FileState);
}

void CLoaderDlg::ApplyUploadButtonRule() {
    CUploadJob& job = Job(m_System);
    QPushButton* upload = Button(IDC_UPLOAD);
    bool ready = job.m_ConnState.Get() == 4 && job.m_FileState.Get() == 4;
    if (ready) {
        if (!upload->isEnabled() && job.m_FlashWriting.Get() == 0) {
            upload->setEnabled(true);
            upload->setFocus();
        }
    } else if (upload->isEnabled()) {
        upload->setEnabled(false);
        Button(IDC_BROWSE)->setFocus();
    }
}

void CLoaderDlg::EchoProgress() {
    if (m_Console && m_ProgressMoved && m_Busy == 1)
        m_Console->Progress(m_ShownPhase, m_ShownProgress, m_ShownPhase >= 2 ? m_UploadBytes : 0, TickMs());
    m_ProgressMoved = false;
}

void CLoaderDlg::PostMessageBox(const std::string& text, const std::string& caption, unsigned style,
                                std::function<void()> then) {
    if (MessageBoxesOff()) {
        CenteredMessageBox(this, text, caption, style);
        if (then)
            then();
        return;
    }
    QTimer::singleShot(0, this, [this, text, caption, style, then] {
        CenteredMessageBox(this, text, caption, style);
        if (then && !m_Ended)
            then();
    });
}

void CLoaderDlg::RefreshConnection() {
    CUploadJob& job = Job(m_System);
    CSerialPort* port = Port(m_System);
    if (port && port->IsOpen() == 1) {
        m_StatusText = LoadQStr(124);
        if (job.m_ConnState.Changed() || job.m_ConnState.Get() != 4)
            job.m_ConnState.Set(4);
    } else {
        m_StatusText = LoadQStr(port && port->PortLocked() == 1 ? 161 : 125);
        m_ReceiverText = m_OptionsText = m_SerialText = LoadQStr(145);
        if (job.m_ConnState.Changed() || job.m_ConnState.Get() != 2)
            job.m_ConnState.Set(2);
    }
    UpdateData();
}

void CLoaderDlg::ShowLoaderVersion(const std::string& banner) {
    CClassicNumbers classic;
    float version = 0;
    if (std::sscanf(banner.c_str(), "$VER,PFLD_Pellar2v%f", &version) != 1)
        return;
    char text[64];
    std::snprintf(text, sizeof text, "PFLD %s %.02f", LoadStr(106).c_str(), static_cast<double>(version));
    m_ReceiverText = QString::fromLatin1(text);
    for (int id : {IDC_OPTIONS_LABEL, IDC_OPTIONS, IDC_SERIAL_LABEL, IDC_SERIAL})
        Item(id)->setVisible(false);
    // While a job runs the identified mark is the receiver check's: setting it would end a running check
    // as answered and start the next one, whose queries would land inside the loader's protocol.
    if (Job(m_System).m_Start.Get() == 0)
        Check(m_System).m_Identified.Set(1);
}

void CLoaderDlg::AppendLogView(const QString& line) {
    // The view counts a line end as one character.
    QString text = line;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QTextDocument* doc = m_LogView->document();
    int n = doc->characterCount() - 1;
    QTextCursor cursor(doc);
    if (n > LOG_VIEW_LIMIT) {
        cursor.setPosition(0);
        cursor.setPosition(n / 2, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
        n = doc->characterCount() - 1;
    }
    cursor.setPosition(n);
    cursor.insertText(text);
    m_LogView->verticalScrollBar()->setValue(m_LogView->verticalScrollBar()->maximum());
}

void CLoaderDlg::BringToFront() {
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void CLoaderDlg::CloseDialog(int exitCode) {
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
    m_Timer->stop();
    m_TimerId = 0;
    m_DeviceMonitor->Stop();
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
    done(m_ExitCode);
}

void CLoaderDlg::OnInterrupt(const std::string& cause) {
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

void CLoaderDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (!m_Ended)
        CloseDialog(1);
}

void CLoaderDlg::reject() {
    // Escape does not close the dialog.
}

void CLoaderDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && windowHandle())
        windowHandle()->startSystemMove();
    QDialog::mousePressEvent(event);
}

void CLoaderDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    std::string about = LoadStr(101), help = LoadStr(160);
    if (!about.empty())
        menu.addAction(QString::fromStdString(about), this, &CLoaderDlg::OnAbout);
    if (!help.empty())
        menu.addAction(QString::fromStdString(help), this, [this] { OnHelpFile(); });
    if (!menu.isEmpty())
        menu.exec(event->globalPos());
}
