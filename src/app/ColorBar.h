#pragma once
// The coloured indicator of the dialog: a grey frame, a white ring and a bar whose filled part and rest
// carry the colours of a state.

#include "dialog/StateColors.h"

#include <QColor>
#include <QWidget>

class CColorBar : public QWidget {
public:
    explicit CColorBar(QWidget* parent = nullptr);

    void SetBarColor(QRgb color, bool repaint);
    void SetRestColor(QRgb color, bool repaint);
    void SetFraction(double fraction);

    QRgb BarColor() const { return m_FilledColor; }
    QRgb RestColor() const { return m_UnfilledColor; }
    int Fill() const { return m_Fill; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRgb m_FrameColor = COLOR_GREY;
    QRgb m_BackgroundColor = COLOR_WHITE;
    QRgb m_FilledColor = COLOR_BLUE;
    QRgb m_UnfilledColor = COLOR_WHITE;
    int m_Fill = 0;
};
