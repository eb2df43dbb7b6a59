#include "LoaderDlg.h"

#include "ConsoleReport.h"
#include "DeviceMonitor.h"
#include "MessageBox.h"
#include "Profile.h"
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

QString Str(int id) {
    return QString::fromStdString(LoadStr(id));
}

// The program's icon: a receiver dish on blue, drawn rather than shipped.
QIcon ProgramIcon() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(COLOR_BLUE));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(1, 1, 30, 30, 6, 6);
    p.setPen(QPen(Qt::white, 2.5));
    p.drawArc(7, 7, 18, 18, 30 * 16, 120 * 16);
    p.drawArc(11, 11, 10, 10, 30 * 16, 120 * 16);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(16, 19), 2.5, 2.5);
    return QIcon(pm);
}

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
    : QDialog(parent), m_System(system), m_Profile(profile) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QFontMetrics fm(font());
    // Dialog base units as the platform derives them from the dialog's font.
    int alphabet =
        fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_BaseX = (alphabet / 26 + 1) / 2;
    m_BaseY = fm.height();
    if (m_BaseX < 1)
        m_BaseX = 1;
    if (m_BaseY < 1)
        m_BaseY = 1;
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

QRect CLoaderDlg::DialogUnits(int x, int y, int w, int h) const {
    auto px = [this](int du) { return (du * m_BaseX + 2) / 4; };
    auto py = [this](int du) { return (du * m_BaseY + 4) / 8; };
    return QRect(px(x), py(y), px(w), py(h));
}

template <typename W> W* CLoaderDlg::AddControl(int id, W* widget, int x, int y, int w, int h) {
    widget->setObjectName(QString::number(id));
    widget->setGeometry(DialogUnits(x, y, w, h));
    m_Controls[id] = widget;
    return widget;
}

void CLoaderDlg::BuildControls() {
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

    // Group boxes lie beneath the controls that sit on them.
    Item(IDC_PORTINFO)->lower();
    Item(IDC_FILEINFO)->lower();

    QRect all = DialogUnits(0, 0, 291, 329);
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
    setWindowTitle(Str(113));
    Button(IDC_BROWSE)->setText(Str(107));
    Button(IDC_CONNECT)->setText(Str(117));
    Button(IDC_REFRESH)->setText(Str(118));
    m_SaveLog->setText(Str(108));
    Button(IDC_UPLOAD)->setText(Str(109));
    Button(IDC_EXIT)->setText(Str(164));
    static_cast<QGroupBox*>(Item(IDC_FILEINFO))->setTitle(Str(116));
    static_cast<QGroupBox*>(Item(IDC_PORTINFO))->setTitle(Str(115));
    m_ChooseImageText = Str(104);
    m_VersionText = Str(106) + QStringLiteral(" ") + QString::fromLatin1(PROGRAM_VERSION);
    m_PortLabelText = Str(105);
    m_StatusLabelText = Str(128);
    m_ReceiverLabelText = Str(129);
    m_OptionsLabelText = Str(151);
    m_SerialLabelText = Str(152);
    m_TypeLabelText = Str(123);
    m_ImageVersionLabel = Str(126);
    m_PflVersionLabel = Str(127);
    m_DateLabelText = Str(153);
    m_TimeLabelText = Str(154);

    Button(IDC_BROWSE)->setToolTip(Str(112));
    m_SaveLog->setToolTip(Str(111));
    Button(IDC_UPLOAD)->setToolTip(Str(110));
    Button(IDC_CONNECT)->setToolTip(Str(119));
    Button(IDC_REFRESH)->setToolTip(Str(120));
    Button(IDC_EXIT)->setToolTip(Str(165));
}

void CLoaderDlg::PaintBarFromState(CColorBar* bar, LockedShort& cell) {
    bar->SetBarColor(StateColorsOf(cell.Get()).filled, false);
    bar->SetRestColor(StateColorsOf(cell.Get()).unfilled, true);
}

bool CLoaderDlg::OnInitDialog() {
    m_Initialised = true;
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
        SleepOnDialogThread(1000);
        Check(m_System).RequestCheck();
        WaitForCheck();
        if (Check(m_System).m_Identified.Get() == 1) {
            if (!OnUpload()) {
                // Nothing was handed to the worker, so no result will ever end the run: end it here with
                // the code of what stood in the way.
                int code = m_ImageValid.Get() != 1 ? 3 : Port(m_System)->IsOpen() != 1 ? 4 : 5;
                CloseDialog(code);
                return false;
            }
        } else {
            // The worker retries a busy port without a word; an unattended run says why nothing answered.
            CSerialPort* port = Port(m_System);
            if (m_Console && port && port->IsOpen() != 1 && port->PortLocked() == 1)
                m_Console->Notice(m_CmdPort + " is held by another program.");
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

void CLoaderDlg::SleepOnDialogThread(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void CLoaderDlg::WaitForCheck() {
    CReceiverCheck& check = Check(m_System);
    // A check ends on its own within its limit plus one sentence read or one closed-port pause; the wait
    // here is bounded by that and a margin, so a worker that never answers cannot hold the dialog.
    const CReceiverCheck::Timing& t = check.m_Timing;
    uint32_t limit = t.checkLimitMs + std::max(t.sentenceLimitMs, t.closedPortSleepMs) + t.idleWaitMs + 1000;
    uint32_t start = TickMs();
    while (check.m_CheckRunning.Get() == 1 && ElapsedMs(start) < limit)
        SleepOnDialogThread(100);
}

void CLoaderDlg::EchoStatus(const std::string& line) {
    if (m_Console)
        m_Console->StatusLine(line);
}

void CLoaderDlg::OnRefreshTimer() {
    CUploadJob& job = Job(m_System);
    CReceiverCheck& check = Check(m_System);
    CChannel& channel = Channel(m_System);

    // 1. Status lines into the log view.
    while (std::optional<std::string> line = channel.m_StatusQueue.Pop()) {
        EchoStatus(*line);
        AppendLogView(QString::fromStdString(*line) + QStringLiteral("\r\n"));
    }
    // 2. Log lines into the log file.
    DrainLogQueue();

    // 3. Upload progress.
    bool progressMoved = false;
    if (job.m_Progress.Changed()) {
        int16_t progress = job.m_Progress.Get();
        if (progress != static_cast<int16_t>(m_ShownProgress)) {
            progress = job.m_Progress.Get();
            m_ShownProgress = static_cast<uint16_t>(progress);
            Bar(IDC_UPLOAD_BAR)->SetFraction(progress * 0.001);
            progressMoved = true;
        }
    }

    // 4. Idle or busy.
    if (m_Idle.Changed()) {
        bool idle = m_Idle.Get() == 1;
        Button(IDC_UPLOAD)->setToolTip(Str(idle ? 110 : 155));
        Button(IDC_UPLOAD)->setText(Str(idle ? 109 : 148));
        for (int id : {IDC_BROWSE, IDC_CONNECT, IDC_REFRESH, IDC_EXIT, IDC_IMAGE_COMBO, IDC_PORT_LIST})
            Item(id)->setEnabled(idle);
        m_Busy = idle ? 0 : 1;
    }

    // 5. Flash writing forbids cancelling.
    if (job.m_FlashWriting.Changed()) {
        if (job.m_FlashWriting.Get() == 1) {
            Button(IDC_UPLOAD)->setEnabled(false);
            m_SaveLog->setFocus();
            m_UploadBlocked = 1;
        } else {
            Button(IDC_UPLOAD)->setEnabled(true);
            Button(IDC_UPLOAD)->setFocus();
            m_UploadBlocked = 0;
        }
    }

    // 6. A newly opened port asks for a receiver check.
    if (PortOpenedCell(m_System).Changed()) {
        if (PortOpenedCell(m_System).Get() != 0 && m_PortIndex != 0)
            check.RequestCheck();
    }

    // 7. Receiver texts.
    if (check.m_CheckRunning.Changed()) {
        if (check.m_CheckRunning.Get() == 1) {
            m_ReceiverText = m_OptionsText = m_SerialText = Str(167);
            Item(IDC_PORT_LIST)->setEnabled(false);
        } else {
            if (job.m_Start.Get() == 0)
                Item(IDC_PORT_LIST)->setEnabled(true);
            if (check.m_Identified.Get() == 1) {
                ReceiverTexts texts = check.Texts();
                m_ReceiverText = QString::fromStdString(texts.model) + QStringLiteral(" ") + Str(106) +
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
            } else {
                m_ReceiverText = m_OptionsText = m_SerialText = Str(145);
            }
        }
    }

    // 8. A loader banner caught during an upload stands for the receiver.
    if (check.m_Identified.Get() == 0) {
        std::string banner = job.m_PfldVersion.Get();
        if (!banner.empty())
            ShowLoaderVersion(banner);
    }

    // 9. Upload result.
    if (job.m_Result.Changed()) {
        job.m_Result.Get();
        if (!m_AutoMode) {
            if (!MessageBoxesOff()) {
                BringToFront();
                bool ok = job.m_Result.Get() == 1;
                CenteredMessageBox(this, LoadStr(ok ? 147 : 156), LoadStr(132),
                                   ok ? MB_ICONINFORMATION : MB_ICONERROR);
                raise();
            }
        } else {
            if (job.m_Result.Get() == 1) {
                job.m_Result.Set(1);
                CloseDialog(0);
                return;
            }
            CenteredMessageBox(this, LoadStr(156), LoadStr(132), MB_ICONERROR);
            CloseDialog(5);
            if (m_Ended)
                return;
        }
    }

    // 10. Idle recovery.
    if (job.m_Start.Get() == 0) {
        if (m_Idle.Get() != 1)
            m_Idle.Set(1);
        if (m_PendingPortRequest >= 0) {
            int index = m_PendingPortRequest;
            m_PendingPortRequest = -1;
            PortWorker(m_System).RequestPort(static_cast<int16_t>(index));
        }
        // An automatic run whose end was refused while the worker finished its job ends now.
        if (m_PendingClose >= 0) {
            CloseDialog(m_PendingClose);
            if (m_Ended)
                return;
        }
    }

    // 11. Connection texts.
    RefreshConnection();

    // 12. Bar colours.
    bool phaseMoved = false;
    if (job.m_Phase.Changed()) {
        m_ShownPhase = job.m_Phase.Get();
        Bar(IDC_UPLOAD_BAR)->SetBarColor(StateColorsOf(m_ShownPhase).filled, false);
        m_ShownPhase = job.m_Phase.Get();
        Bar(IDC_UPLOAD_BAR)->SetRestColor(StateColorsOf(m_ShownPhase).unfilled, true);
        phaseMoved = true;
    }
    if (job.m_ConnState.Changed())
        PaintBarFromState(Bar(IDC_CONN_BAR), job.m_ConnState);
    if (job.m_FileState.Changed())
        PaintBarFromState(Bar(IDC_FILE_BAR), job.m_FileState);

    // 13. Upload button rule.
    QPushButton* upload = Button(IDC_UPLOAD);
    bool connReady = job.m_ConnState.Get() == 4;
    bool fileReady = connReady && job.m_FileState.Get() == 4;
    if (connReady && fileReady) {
        if (!upload->isEnabled() && job.m_FlashWriting.Get() == 0) {
            upload->setEnabled(true);
            upload->setFocus();
        }
    } else if (upload->isEnabled()) {
        upload->setEnabled(false);
        Button(IDC_BROWSE)->setFocus();
    }

    if (m_Console && (progressMoved || phaseMoved) && m_Busy == 1)
        m_Console->Progress(m_ShownPhase, m_ShownProgress, m_ShownPhase >= 2 ? m_UploadBytes : 0, TickMs());
}

void CLoaderDlg::RefreshConnection() {
    CUploadJob& job = Job(m_System);
    CSerialPort* port = Port(m_System);
    if (port && port->IsOpen() == 1) {
        m_StatusText = Str(124);
        if (job.m_ConnState.Changed() || job.m_ConnState.Get() != 4)
            job.m_ConnState.Set(4);
    } else {
        m_StatusText = Str(port && port->PortLocked() == 1 ? 161 : 125);
        m_ReceiverText = m_OptionsText = m_SerialText = Str(145);
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
            CenteredMessageBox(this, LoadStr(150), LoadStr(132), MB_ICONERROR);
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
