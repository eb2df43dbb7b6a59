#include "AboutDlg.h"

#include "DialogUnits.h"
#include "QtText.h"
#include "dialog/StringTable.h"

#include <QDesktopServices>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QUrl>
#include <QWindow>

namespace {

// The dish in a square of side s at the painter's origin.
void DrawDish(QPainter& p, qreal s) {
    p.setBrush(QColor(0x0073D9));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(s / 32, s / 32, s * 30 / 32, s * 30 / 32), s / 5, s / 5);
    p.setPen(QPen(Qt::white, s * 2.5 / 32));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(s * 7 / 32, s * 7 / 32, s * 18 / 32, s * 18 / 32), 30 * 16, 120 * 16);
    p.drawArc(QRectF(s * 11 / 32, s * 11 / 32, s * 10 / 32, s * 10 / 32), 30 * 16, 120 * 16);
    p.setBrush(Qt::white);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(s / 2, s * 19 / 32), s * 2.5 / 32, s * 2.5 / 32);
}

} // namespace

QIcon ProgramIcon() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    DrawDish(p, 32);
    return QIcon(pm);
}

QPixmap ProgramBanner(QSize size) {
    QPixmap pm(size);
    pm.fill(Qt::white);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    qreal side = size.height();
    QFont font = p.font();
    font.setPixelSize(std::max(8, static_cast<int>(side * 0.55)));
    font.setBold(true);
    p.setFont(font);
    QString name = LoadQStr(113);
    qreal textWidth = QFontMetricsF(font).horizontalAdvance(name);
    qreal left = std::max<qreal>(0, (size.width() - side - side / 4 - textWidth) / 2);
    p.translate(left, 0);
    DrawDish(p, side);
    p.setPen(QColor(0x0073D9));
    p.drawText(QRectF(side + side / 4, 0, size.width() - left - side, side), Qt::AlignVCenter | Qt::AlignLeft,
               name);
    return pm;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    CDialogUnits du(font());
    const QString texts[] = {LoadQStr(113),
                             LoadQStr(102) + QStringLiteral(" ") + QString::fromLatin1(PROGRAM_VERSION),
                             LoadQStr(114), LoadQStr(162)};
    for (const QString& text : texts)
        du.FitText(font(), text, 204, 4);
    setWindowTitle(LoadQStr(101));
    setFixedSize(du.Rect(0, 0, 224, 180).size());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);

    auto label = [this, &du](int id, int y, const QString& text) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QString::number(id));
        l->setAlignment(Qt::AlignCenter);
        l->setGeometry(du.Rect(10, y, 204, 8));
        return l;
    };
    label(1018, 9, texts[0]);
    label(1017, 22, texts[1]);
    label(1019, 35, texts[2]);
    QLabel* address = label(1021, 48, texts[3]);
    address->setCursor(Qt::PointingHandCursor);
    address->setProperty("kv_address", true);
    // The picture in the template's place for it.
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("133"));
    picture->setGeometry(du.Rect(30, 82, 167, 48));
    picture->setPixmap(ProgramBanner(picture->size()));
    auto* close = new QPushButton(LoadQStr(103), this);
    close->setObjectName(QStringLiteral("1"));
    close->setDefault(true);
    close->setGeometry(du.Rect(10, 156, 204, 14));
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
}

void CAboutDlg::mousePressEvent(QMouseEvent* event) {
    QWidget* child = childAt(event->position().toPoint());
    if (child && child->property("kv_address").toBool()) {
        QDesktopServices::openUrl(QUrl(QString::fromLatin1(MAKER_ADDRESS)));
        return;
    }
    if (event->button() == Qt::LeftButton && windowHandle())
        windowHandle()->startSystemMove();
    QDialog::mousePressEvent(event);
}

bool CAboutDlg::event(QEvent* e) {
    // F1 does nothing here.
    if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_F1)
        return true;
    return QDialog::event(e);
}
