#include "MessageBox.h"

#include "dialog/StringTable.h"

#include <QApplication>
#include <QEvent>
#include <QGridLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>

namespace {

// What the window manager's buttons and margins take from a title bar.
constexpr int TITLE_ROOM_PX = 140;

// Centres the box when it is first shown and lets the user drag it by its body.
class CBoxFilter : public QObject {
public:
    CBoxFilter(QWidget* active, bool centre) : m_Active(active), m_Centre(centre) {}

    bool eventFilter(QObject* obj, QEvent* event) override {
        auto* box = qobject_cast<QWidget*>(obj);
        if (!box)
            return false;
        if (event->type() == QEvent::Show && m_Centre && !m_Done && m_Active) {
            m_Done = true;
            QScreen* screen = m_Active->screen() ? m_Active->screen() : QGuiApplication::primaryScreen();
            QRect desktop = screen ? screen->availableGeometry() : QRect();
            box->adjustSize();
            box->move(CentredBoxPosition(m_Active->frameGeometry(), box->frameGeometry().size(), desktop));
        } else if (event->type() == QEvent::MouseMove) {
            auto* me = static_cast<QMouseEvent*>(event);
            if (me->buttons() == Qt::LeftButton && box->windowHandle())
                box->windowHandle()->startSystemMove();
        }
        return false;
    }

private:
    QWidget* m_Active;
    bool m_Centre;
    bool m_Done = false;
};

} // namespace

int ShowMessageBox(QWidget* owner, const std::string& text, const std::string& caption, unsigned style,
                   bool centre) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (style & 0xF0) {
    case MB_ICONERROR:
        icon = QMessageBox::Critical;
        break;
    case MB_ICONQUESTION:
        icon = QMessageBox::Question;
        break;
    case MB_ICONEXCLAMATION:
        icon = QMessageBox::Warning;
        break;
    case MB_ICONINFORMATION:
        icon = QMessageBox::Information;
        break;
    default:
        break;
    }
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    if ((style & 0x0F) == MB_OKCANCEL)
        buttons |= QMessageBox::Cancel;
    QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text), buttons, owner);
    box.setAutoFillBackground(true);
    QPalette pal = box.palette();
    pal.setColor(QPalette::Window, Qt::white);
    box.setPalette(pal);
    // A box is as wide as its text needs, which leaves its title cut short: make room for the whole title
    // beside the window manager's buttons.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        QFont title = box.font();
        title.setBold(true);
        int width = QFontMetrics(title).horizontalAdvance(box.windowTitle()) + TITLE_ROOM_PX;
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(),
                      0, 1, grid->columnCount());
    }
    QWidget* active = QApplication::activeWindow() ? QApplication::activeWindow() : owner;
    // A box titled like the program itself is left where the platform puts it.
    CBoxFilter filter(active, centre && caption != LoadStr(113));
    box.installEventFilter(&filter);
    int pressed = box.exec();
    box.removeEventFilter(&filter);
    return pressed == QMessageBox::Ok ? IDOK : IDCANCEL;
}

int CenteredMessageBox(QWidget* owner, const std::string& text, const std::string& caption, unsigned style) {
    int answer = IDOK;
    if (AnswerWithoutBox(text, caption, style, answer))
        return answer;
    return ShowMessageBox(owner, text, caption, style, true);
}

int PlainMessageBox(QWidget* owner, const std::string& text, const std::string& caption, unsigned style) {
    int answer = IDOK;
    if (AnswerWithoutBox(text, caption, style, answer))
        return answer;
    return ShowMessageBox(owner, text, caption, style, false);
}

QPoint CentredBoxPosition(const QRect& active, const QSize& box, const QRect& desktop) {
    int w = box.width(), h = box.height();
    int x = active.left() + active.width() / 2 - w / 2;
    int y = active.top() + active.height() / 2 - h / 2;
    if (x < 0)
        x = 0;
    if (y < 0)
        y = 0;
    int right = desktop.left() + desktop.width();
    int bottom = desktop.top() + desktop.height();
    if (x + w > right)
        x = right - w;
    if (y + h > bottom)
        y = bottom - h;
    return QPoint(x, y);
}
