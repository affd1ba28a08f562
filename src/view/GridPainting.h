#pragma once

#include <QColor>
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
// edge, the name at the top centre, green for the current voice.
void PaintVoiceButton(QPainter& p, const QRect& rc, bool bPressed, bool bCurrent, const QString& name,
                      const QColor& face);

// A beat cell in rc: a rounded rectangle in the on or off colour with the
// rightmost pixel column left unpainted, and the note glyph on a set cell.
void PaintBeatCell(QPainter& p, const QRect& rc, bool bOn, const QColor& note, const QColor& noteOn,
                   const QColor& noteOff);
