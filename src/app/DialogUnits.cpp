#include "DialogUnits.h"

#include <QFontMetrics>
#include <algorithm>

CDialogUnits::CDialogUnits(const QFont& font) {
    QFontMetrics fm(font);
    int alphabet =
        fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_BaseX = std::max(1, (alphabet / 26 + 1) / 2);
    m_BaseY = std::max(1, fm.height());
}

void CDialogUnits::FitText(const QFont& font, const QString& text, int du, int padPx) {
    int need = QFontMetrics(font).horizontalAdvance(text) + padPx;
    while (du > 0 && X(du) < need)
        ++m_BaseX;
}
