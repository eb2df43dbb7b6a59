#pragma once
// Dialog units as the platform derives them from a dialog's font: x in quarters of the average character
// width, y in eighths of the line height. A window laid out in them grows with its font.

#include <QFont>
#include <QRect>
#include <QString>

class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);

    // Widens the horizontal unit until text plus padPx pixels fits du dialog units, so a wider font or a
    // longer translation never clips a caption.
    void FitText(const QFont& font, const QString& text, int du, int padPx);

    int X(int du) const { return (du * m_BaseX + 2) / 4; }
    int Y(int du) const { return (du * m_BaseY + 4) / 8; }
    QRect Rect(int x, int y, int w, int h) const { return QRect(X(x), Y(y), X(w), Y(h)); }

private:
    int m_BaseX = 6;
    int m_BaseY = 13;
};
