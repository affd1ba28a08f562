#pragma once

#include <QFontMetrics>
#include <QRect>
#include <QString>

// Form geometry is given in dialog units: a quarter of the font's average
// character width across, an eighth of its height down.
class CDialogUnits
{
public:
    explicit CDialogUnits(const QFontMetrics& fm)
    {
        const int alphabet = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        m_nBaseX = (alphabet / 26 + 1) / 2;
        m_nBaseY = fm.height();
    }

    int X(int du) const { return MulDiv(du, m_nBaseX, 4); }
    int Y(int du) const { return MulDiv(du, m_nBaseY, 8); }
    QRect Rect(int x, int y, int cx, int cy) const { return QRect(X(x), Y(y), X(cx), Y(cy)); }

private:
    // Rounded to the nearest pixel, as dialog templates are laid out.
    static int MulDiv(int a, int b, int c) { return (a * b + c / 2) / c; }

    int m_nBaseX;
    int m_nBaseY;
};
