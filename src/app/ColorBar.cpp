#include "ColorBar.h"

#include <QPainter>

CColorBar::CColorBar(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CColorBar::SetBarColor(QRgb color, bool repaint) {
    m_FilledColor = color;
    if (repaint)
        update();
}

void CColorBar::SetRestColor(QRgb color, bool repaint) {
    m_UnfilledColor = color;
    if (repaint)
        update();
}

void CColorBar::SetFraction(double fraction) {
    int inner = width() - 6;
    if (inner < 0)
        inner = 0;
    if (!(fraction >= 0.0))
        fraction = 0.0;
    double scaled = inner * fraction + 0.5;
    int fill = scaled >= inner ? inner : static_cast<int>(scaled);
    if (fill == m_Fill)
        return;
    int old = m_Fill;
    m_Fill = fill;
    if (fill < old)
        update();
    else
        update(QRect(3 + old, 3, fill - old, height() - 6));
}

void CColorBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int l = 0, t = 0, r = width(), b = height();
    p.fillRect(QRect(QPoint(l, t), QPoint(r - 1, b - 1)), QColor(m_FrameColor));
    p.fillRect(QRect(QPoint(l + 1, t + 1), QPoint(r - 2, b - 2)), QColor(m_BackgroundColor));
    if (m_Fill > 0)
        p.fillRect(QRect(QPoint(l + 3, t + 3), QPoint(l + 3 + m_Fill - 1, b - 4)), QColor(m_FilledColor));
    if (l + 3 + m_Fill < r - 3)
        p.fillRect(QRect(QPoint(l + 3 + m_Fill, t + 3), QPoint(r - 4, b - 4)), QColor(m_UnfilledColor));
}
