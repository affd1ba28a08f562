#pragma once

#include "doc/LoopState.h"

#include <QColor>
#include <QFont>
#include <QPoint>
#include <QRect>
#include <QString>

#include <cstdint>
#include <initializer_list>

class QPainter;

// Windows colour values (0x00BBGGRR), as the preferences store them.
using COLORREF = uint32_t;
inline QColor ColorFromRef(COLORREF cr) { return QColor(int(cr & 0xFF), int((cr >> 8) & 0xFF), int((cr >> 16) & 0xFF)); }
inline COLORREF RefFromColor(const QColor& c) { return COLORREF(c.red()) | COLORREF(c.green()) << 8 | COLORREF(c.blue()) << 16; }

// The current voice's label.
inline const QColor kCurrentVoiceColor{0, 159, 0};

// One-pixel lines through the given points. Each segment leaves its end
// point unpainted (the next one starts there). Segments are horizontal,
// vertical or diagonal.
void PaintPolyline(QPainter& p, std::initializer_list<QPoint> points, const QColor& color);

// The raised or sunken edge of a button in rc (right and bottom exclusive).
void PaintButtonEdge(QPainter& p, const QRect& rc, bool bPressed);

// A voice button in rc (right and bottom exclusive): face, raised or sunken
// edge, the name at the top centre, green for the current voice. A name too
// wide for the button is drawn smaller, and cut at its end with an ellipsis
// only when even that does not fit.
void PaintVoiceButton(QPainter& p, const QRect& rc, bool bPressed, bool bCurrent, const QString& name,
                      const QColor& face);
// The font and text PaintVoiceButton draws the name with in a button that wide.
QString FitVoiceName(QFont& font, const QString& name, int nWidth);

// The colours a beat cell is painted with, and what it shows besides its level.
struct CellLook
{
    QColor note, noteOn, noteOff;
    bool bPlayhead = false;  // its step is sounding now
    bool bSilent = false;    // its voice is muted, or another is soloed
};

// a + (b - a) * t, per channel.
QColor MixColors(const QColor& a, const QColor& b, double t);

// A beat cell in rc: a rounded rectangle in the on or off colour with the
// rightmost pixel column left unpainted, and the note glyph on a set cell. A
// plain hit is exactly that; an accent adds a wedge at the top left, a ghost
// is drawn half-way to the off colour. The playhead lightens the cell, a
// silent voice greys it.
void PaintBeatCell(QPainter& p, const QRect& rc, CellLevel level, const CellLook& look);
