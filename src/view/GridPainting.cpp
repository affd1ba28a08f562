#include "view/GridPainting.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

} // namespace

void PaintPolyline(QPainter& p, std::initializer_list<QPoint> points, const QColor& color)
{
    const QPoint* prev = nullptr;
    for (const QPoint& pt : points) {
        if (prev) {
            const QPoint step(Sign(pt.x() - prev->x()), Sign(pt.y() - prev->y()));
            for (QPoint at = *prev; at != pt; at += step) p.fillRect(at.x(), at.y(), 1, 1, color);
        }
        prev = &pt;
    }
}

void PaintButtonEdge(QPainter& p, const QRect& rc, bool bPressed)
{
    const int L = rc.left(), T = rc.top(), R = rc.left() + rc.width(), B = rc.top() + rc.height();
    const QColor black(0, 0, 0), grey(128, 128, 128), white(255, 255, 255);
    if (!bPressed) {
        PaintPolyline(p, {{L, B - 1}, {R - 1, B - 1}, {R - 1, T}}, black);
        PaintPolyline(p, {{L + 1, B - 2}, {R - 2, B - 2}, {R - 2, T + 1}}, grey);
        PaintPolyline(p, {{R - 2, T + 1}, {L + 1, T + 1}, {L + 1, B - 2}}, white);
    } else {
        PaintPolyline(p, {{L, B - 1}, {L, T}, {R - 1, T}}, grey);
        PaintPolyline(p, {{R - 1, T - 1}, {R - 1, B - 1}, {L + 1, B - 1}}, white);
        PaintPolyline(p, {{L + 1, B - 2}, {L + 1, T + 1}, {R - 2, T + 1}}, black);
    }
}

QString FitVoiceName(QFont& font, const QString& name, int nWidth)
{
    // Smaller first, down to three quarters of the size; an ellipsis after that.
    const qreal size = font.pointSizeF() > 0 ? font.pointSizeF() : 0;
    const int pixels = font.pixelSize();
    for (int percent = 100; percent >= 75; percent -= 5) {
        if (size > 0) font.setPointSizeF(size * percent / 100);
        else if (pixels > 0) font.setPixelSize(std::max(1, pixels * percent / 100));
        if (QFontMetrics(font).horizontalAdvance(name) <= nWidth) return name;
    }
    return QFontMetrics(font).elidedText(name, Qt::ElideRight, nWidth);
}

void PaintVoiceButton(QPainter& p, const QRect& rc, bool bPressed, bool bCurrent, const QString& name,
                      const QColor& face)
{
    p.fillRect(rc, face);
    PaintButtonEdge(p, rc, bPressed);
    // Inside the two-pixel edge on each side, with a pixel to spare.
    QFont font = p.font();
    const QString text = FitVoiceName(font, name, rc.width() - 6);
    p.save();
    p.setFont(font);
    const QFontMetrics fm(font);
    p.setPen(bCurrent ? kCurrentVoiceColor : QColor(0, 0, 0));
    const int x = rc.left() + rc.width() / 2 - fm.horizontalAdvance(text) / 2;
    p.drawText(QPoint(x, rc.top() + 6 + QFontMetrics(p.font()).ascent()), text);
    p.restore();
}

QColor MixColors(const QColor& a, const QColor& b, double t)
{
    auto mix = [t](int x, int y) { return int(x + (y - x) * t + 0.5); };
    return QColor(mix(a.red(), b.red()), mix(a.green(), b.green()), mix(a.blue(), b.blue()));
}

void PaintBeatCell(QPainter& p, const QRect& rc, CellLevel level, const CellLook& look)
{
    const bool bOn = level != CellLevel::Off;
    QColor fill = !bOn ? look.noteOff : level == CellLevel::Ghost ? MixColors(look.noteOn, look.noteOff, 0.5) : look.noteOn;
    QColor note = level == CellLevel::Ghost ? MixColors(look.note, fill, 0.5) : look.note;
    if (look.bSilent) {
        const QColor grey(128, 128, 128);
        fill = MixColors(fill, grey, 0.6);
        note = MixColors(note, grey, 0.6);
    }
    if (look.bPlayhead) fill = MixColors(fill, QColor(255, 255, 255), 0.5);

    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(rc.left(), rc.top(), rc.width() - 1, rc.height()), 2, 2);
    if (bOn) {
        p.translate(rc.topLeft());
        p.setBrush(note);
        p.drawEllipse(QRectF(2, 15, 8, 8));
        p.fillRect(8, 1, 2, 17, note);
        PaintPolyline(p, {{10, 3}, {12, 5}, {12, 9}}, note);
        PaintPolyline(p, {{10, 8}, {12, 10}, {12, 14}}, note);
        if (level == CellLevel::Accent) {
            // The accent mark >, two pixels thick.
            PaintPolyline(p, {{1, 2}, {5, 6}, {0, 11}}, note);
            PaintPolyline(p, {{2, 2}, {6, 6}, {1, 11}}, note);
        }
    }
    p.restore();
}
