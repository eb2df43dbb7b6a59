#pragma once
// The coloured indicator of the dialog: a grey frame, a white ring and a bar whose filled part and rest
// carry the colours of a state.

#include <QColor>
#include <QWidget>

struct StateColorPair {
    QRgb filled;
    QRgb unfilled;
};

constexpr QRgb COLOR_WHITE = 0xFFFFFFFF;
constexpr QRgb COLOR_GREY = 0xFF808080;
constexpr QRgb COLOR_ORANGE = 0xFFE98300;
constexpr QRgb COLOR_BLUE = 0xFF0073D9;

constexpr int STATE_COLOR_COUNT = 5;
extern const StateColorPair StateColors[STATE_COLOR_COUNT];

// The pair of a colour state; a state outside 0..4 is shown as blank (state 0), never used as an index.
const StateColorPair& StateColorsOf(int state);

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
