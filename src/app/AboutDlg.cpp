#include "AboutDlg.h"

#include "StringTable.h"

#include <QDesktopServices>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>
#include <QWindow>

namespace {

QString Str(int id) {
    return QString::fromStdString(LoadStr(id));
}

} // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    QFontMetrics fm(font());
    int alphabet =
        fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    int bx = std::max(1, (alphabet / 26 + 1) / 2), by = std::max(1, fm.height());
    auto du = [bx, by](int x, int y, int w, int h) {
        return QRect((x * bx + 2) / 4, (y * by + 4) / 8, (w * bx + 2) / 4, (h * by + 4) / 8);
    };
    setWindowTitle(Str(101));
    setFixedSize(du(0, 0, 224, 180).size());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);

    auto label = [this, &du](int id, int y, const QString& text) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QString::number(id));
        l->setAlignment(Qt::AlignCenter);
        l->setGeometry(du(10, y, 204, 8));
        return l;
    };
    label(1018, 9, Str(113));
    label(1017, 22, Str(102) + QStringLiteral(" ") + QString::fromLatin1(PROGRAM_VERSION));
    label(1019, 35, Str(114));
    QLabel* address = label(1021, 48, Str(162));
    address->setCursor(Qt::PointingHandCursor);
    auto* close = new QPushButton(Str(103), this);
    close->setObjectName(QStringLiteral("1"));
    close->setDefault(true);
    close->setGeometry(du(10, 156, 204, 14));
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    address->setProperty("kv_address", true);
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
