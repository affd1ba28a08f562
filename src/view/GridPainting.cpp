#include "view/GridPainting.h"

#include <QFontMetrics>
#include <QPainter>

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

void PaintVoiceButton(QPainter& p, const QRect& rc, bool bPressed, bool bCurrent, const QString& name,
                      const QColor& face)
{
    p.fillRect(rc, face);
    PaintButtonEdge(p, rc, bPressed);
    const QFontMetrics fm(p.font());
    p.setPen(bCurrent ? kCurrentVoiceColor : QColor(0, 0, 0));
    const int x = rc.width() / 2 - fm.horizontalAdvance(name) / 2;
    p.drawText(QPoint(x, rc.top() + 6 + fm.ascent()), name);
}

void PaintBeatCell(QPainter& p, const QRect& rc, bool bOn, const QColor& note, const QColor& noteOn,
                   const QColor& noteOff)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(bOn ? noteOn : noteOff);
    p.drawRoundedRect(QRectF(rc.left(), rc.top(), rc.width() - 1, rc.height()), 2, 2);
    if (bOn) {
        p.translate(rc.topLeft());
        p.setBrush(note);
        p.drawEllipse(QRectF(2, 15, 8, 8));
        p.fillRect(8, 1, 2, 17, note);
        PaintPolyline(p, {{10, 3}, {12, 5}, {12, 9}}, note);
        PaintPolyline(p, {{10, 8}, {12, 10}, {12, 14}}, note);
    }
    p.restore();
}
