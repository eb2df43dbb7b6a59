#include "LoaderDlg.h"

#include "AboutDlg.h"
#include "DeviceMonitor.h"
#include "HelpFile.h"
#include "MessageBox.h"
#include "PortListItems.h"
#include "QtText.h"
#include "SignalWatch.h"
#include "dialog/ConsoleReport.h"
#include "dialog/Profile.h"
#include "dialog/ProgramDir.h"
#include "dialog/StringTable.h"
#include "dialog/SystemAccess.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTextCursor>
#include <QTimer>
#include <QWindow>

CLoaderDlg::CLoaderDlg(CSystem& system, CProfile& profile, QWidget* parent)
    : QDialog(parent), m_Core(system, profile, *this), m_AutoMode(m_Core.m_AutoMode),
      m_LogFromCmdLine(m_Core.m_LogFromCmdLine), m_CmdImage(m_Core.m_CmdImage), m_CmdPort(m_Core.m_CmdPort),
      m_CmdLogName(m_Core.m_CmdLogName), m_Console(m_Core.m_Console), m_UploadStartMs(m_Core.m_UploadStartMs),
      m_EndReason(m_Core.m_EndReason), m_Units(font()) {
    // A fixed-size window: no maximise button.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(ProgramIcon());
    BuildControls();
    m_Timer = new QTimer(this);
    m_Timer->setTimerType(Qt::PreciseTimer);
    connect(m_Timer, &QTimer::timeout, this, [this] { m_Core.OnRefreshTimer(); });
    m_DeviceMonitor = std::make_unique<CDeviceMonitor>();
    m_Core.m_PollInterrupts = [this] {
        if (m_Signals)
            m_Signals->Poll();
    };
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

    connect(Button(IDC_BROWSE), &QPushButton::clicked, this, [this] { m_Core.OnBrowse(); });
    connect(Button(IDC_CONNECT), &QPushButton::clicked, this, [this] { m_Core.OnConnect(); });
    connect(Button(IDC_REFRESH), &QPushButton::clicked, this, [this] { m_Core.RefreshImageInfo(); });
    connect(Button(IDC_UPLOAD), &QPushButton::clicked, this, [this] { m_Core.OnUpload(); });
    connect(Button(IDC_EXIT), &QPushButton::clicked, this, [this] { m_Core.CloseDialog(0); });
    connect(m_SaveLog, &QCheckBox::clicked, this, [this] { m_Core.OnSaveLog(); });
    connect(Combo(IDC_PORT_LIST), QOverload<int>::of(&QComboBox::activated), this,
            [this](int index) { m_Core.OnPortSelChange(index); });
    connect(Combo(IDC_IMAGE_COMBO), QOverload<int>::of(&QComboBox::activated), this,
            [this](int index) { m_Core.OnImageSelChange(index); });
    // A path typed into the image field loads on Enter (which would otherwise press Upload, the default
    // button) and when the field is left.
    Combo(IDC_IMAGE_COMBO)->lineEdit()->installEventFilter(this);

    // Keyboard accelerators; the core applies their guards.
    auto shortcut = [this](const char* keys, int command) {
        auto* s = new QShortcut(QKeySequence(QString::fromLatin1(keys)), this);
        connect(s, &QShortcut::activated, this, [this, command] { m_Core.OnAccelerator(command); });
    };
    shortcut("Ctrl+B", ID_BROWSE);
    shortcut("Ctrl+O", ID_BROWSE);
    shortcut("Ctrl+C", ID_CONNECT);
    shortcut("Ctrl+R", ID_REFRESH);
    shortcut("Ctrl+U", ID_UPLOAD);
    auto* help = new QShortcut(QKeySequence(QStringLiteral("F1")), this);
    connect(help, &QShortcut::activated, this, [this] { m_Core.OnHelpFile(); });
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

bool CLoaderDlg::OnInitDialog() {
    return m_Core.OnInitDialog();
}

int CLoaderDlg::Run() {
    if (!m_Core.OnInitDialog())
        return m_Core.ExitCode();
    if (!m_Core.Ended())
        exec();
    return m_Core.ExitCode();
}

// --- the view ---

void CLoaderDlg::SetText(int id, const std::string& text) {
    QString q = QString::fromStdString(text);
    if (id == IDC_WINDOW) {
        setWindowTitle(q);
        return;
    }
    QWidget* w = Item(id);
    if (auto* l = qobject_cast<QLabel*>(w))
        l->setText(q);
    else if (auto* b = qobject_cast<QAbstractButton*>(w))
        b->setText(q);
    else if (auto* g = qobject_cast<QGroupBox*>(w))
        g->setTitle(q);
    else if (auto* c = qobject_cast<QComboBox*>(w))
        c->setEditText(q);
}

std::string CLoaderDlg::Text(int id) {
    QWidget* w = Item(id);
    if (auto* c = qobject_cast<QComboBox*>(w))
        return c->currentText().toStdString();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text().toStdString();
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text().toStdString();
    return {};
}

void CLoaderDlg::SetToolTip(int id, const std::string& text) {
    if (QWidget* w = Item(id))
        w->setToolTip(QString::fromStdString(text));
}

void CLoaderDlg::Enable(int id, bool enabled) {
    if (QWidget* w = Item(id))
        w->setEnabled(enabled);
}

bool CLoaderDlg::IsEnabled(int id) {
    QWidget* w = Item(id);
    return w && w->isEnabled();
}

void CLoaderDlg::Show(int id, bool shown) {
    if (QWidget* w = Item(id))
        w->setVisible(shown);
}

void CLoaderDlg::Focus(int id) {
    if (QWidget* w = Item(id))
        w->setFocus();
}

void CLoaderDlg::SetChecked(int id, bool checked) {
    if (auto* b = qobject_cast<QAbstractButton*>(Item(id)))
        b->setChecked(checked);
}

bool CLoaderDlg::IsChecked(int id) {
    auto* b = qobject_cast<QAbstractButton*>(Item(id));
    return b && b->isChecked();
}

void CLoaderDlg::SetItems(int id, const std::vector<std::string>& items) {
    QComboBox* combo = Combo(id);
    if (!combo)
        return;
    combo->clear();
    for (const std::string& item : items)
        combo->addItem(QString::fromStdString(item));
    if (id == IDC_PORT_LIST)
        DescribePortItems(combo);
    FitDropHeight(combo);
    if (id == IDC_IMAGE_COMBO)
        SizeImageDropDown();
}

void CLoaderDlg::SetCurrent(int id, int index) {
    if (QComboBox* combo = Combo(id))
        combo->setCurrentIndex(index);
}

void CLoaderDlg::SetProgress(int id, double fraction) {
    if (CColorBar* bar = Bar(id))
        bar->SetFraction(fraction);
}

void CLoaderDlg::SetColors(int id, uint32_t filled, uint32_t rest) {
    if (CColorBar* bar = Bar(id)) {
        bar->SetBarColor(filled, false);
        bar->SetRestColor(rest, true);
    }
}

int CLoaderDlg::LogLength() {
    return m_LogView->document()->characterCount() - 1;
}

void CLoaderDlg::AppendLog(const std::string& text) {
    QTextDocument* doc = m_LogView->document();
    QTextCursor cursor(doc);
    cursor.setPosition(doc->characterCount() - 1);
    cursor.insertText(QString::fromStdString(text));
    m_LogView->verticalScrollBar()->setValue(m_LogView->verticalScrollBar()->maximum());
}

void CLoaderDlg::DropLogHead(int count) {
    QTextCursor cursor(m_LogView->document());
    cursor.setPosition(0);
    cursor.setPosition(count, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

int CLoaderDlg::TextRoom(int id) {
    QWidget* w = Item(id);
    if (auto* box = qobject_cast<QCheckBox*>(w)) {
        QStyleOptionButton option;
        option.initFrom(box);
        return box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box).width() - 4;
    }
    return w ? w->contentsRect().width() : 0;
}

int CLoaderDlg::TextWidth(int id, const std::string& text) {
    QWidget* w = Item(id);
    return w ? QFontMetrics(w->font()).horizontalAdvance(QString::fromStdString(text)) : 0;
}

int CLoaderDlg::MessageBox(const std::string& text, const std::string& caption, unsigned style,
                           bool centred) {
    return ShowMessageBox(this, text, caption, style, centred);
}

void CLoaderDlg::Post(std::function<void()> task) {
    QTimer::singleShot(0, this, std::move(task));
}

void CLoaderDlg::StartTimer(int ms) {
    m_Timer->start(ms);
}

void CLoaderDlg::StopTimer() {
    m_Timer->stop();
}

void CLoaderDlg::StartDeviceWatch() {
    m_DeviceMonitor->Start([this] { m_Core.OnDeviceChange(); });
}

void CLoaderDlg::StopDeviceWatch() {
    m_DeviceMonitor->Stop();
}

void CLoaderDlg::BringToFront() {
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void CLoaderDlg::EndDialog(int code) {
    done(code);
}

std::string CLoaderDlg::ChooseImageFile(const std::string& initial) {
    return QFileDialog::getOpenFileName(this, QString(), QString::fromStdString(initial),
                                        QStringLiteral("Binary Image (*.bin);;All Files (*)"))
        .toStdString();
}

std::string CLoaderDlg::ChooseLogFile(const std::string& initial) {
    return QFileDialog::getSaveFileName(this, QString(), QString::fromStdString(initial),
                                        QStringLiteral("Log File (*.log);;All Files (*)"))
        .toStdString();
}

void CLoaderDlg::ShowAbout() {
    CAboutDlg about(this);
    about.exec();
}

bool CLoaderDlg::OpenHelp(std::string& where) {
    return OpenHelpFile(ProgramDir(nullptr), where);
}

void CLoaderDlg::FitDropHeight(QComboBox* combo) {
    combo->setMaxVisibleItems(combo->count() + 2);
}

void CLoaderDlg::SizeImageDropDown() {
    QComboBox* combo = Combo(IDC_IMAGE_COMBO);
    QFontMetrics fm(combo->font());
    int widest = 0;
    for (int i = 0; i < combo->count(); ++i)
        widest = std::max(widest, fm.horizontalAdvance(combo->itemText(i)));
    int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    int width = widest + 2 * frame + 4;
    if (combo->count() > combo->maxVisibleItems())
        width += style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    combo->view()->setMinimumWidth(width);
}

// --- the user's events ---

bool CLoaderDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Combo(IDC_IMAGE_COMBO)->lineEdit()) {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                m_Core.OnImageFieldDone();
                return true;
            }
        } else if (event->type() == QEvent::FocusOut) {
            m_Core.OnImageFieldDone();
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CLoaderDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    m_Core.OnClose();
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
        menu.addAction(QString::fromStdString(about), this, [this] { m_Core.OnAbout(); });
    if (!help.empty())
        menu.addAction(QString::fromStdString(help), this, [this] { m_Core.OnHelpFile(); });
    if (!menu.isEmpty())
        menu.exec(event->globalPos());
}
