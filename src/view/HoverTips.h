#pragma once

#include "view/GridPainting.h"

#include <QFont>
#include <QPointer>
#include <QRect>
#include <QStringList>

#include <vector>

class QWidget;
class CHoverTipWidget;

// One tip: the lines shown beside a control and its colours.
struct CHoverTip
{
    int m_nControlId = 0;
    int m_nLines = 0;
    QStringList m_lines;
    COLORREF m_crText = 0;
    COLORREF m_crBackground = 0;
};

// Tips beside the controls of a window, shown as the pointer moves over
// them. The owner relays the pointer moves; one tip shows at a time, drawn
// above the controls without taking any mouse input.
class CHoverTips
{
public:
    CHoverTips() = default;
    virtual ~CHoverTips();
    CHoverTips(const CHoverTips&) = delete;
    CHoverTips& operator=(const CHoverTips&) = delete;

    void Attach(QWidget* pParent);
    // The text font; its size in points is the line advance in pixels.
    void SetTipFont(const QFont& font);
    // Colours are Windows colour values, -1 for the tooltip colours of the
    // moment. Returns 1.
    int AddTip(int nControlId, const QStringList& lines, int crBackground = -1, int crText = -1);
    // ptParent in the parent's coordinates.
    void RelayMouseMove(const QPoint& ptParent);

    // Controls carry their ids in a dynamic property.
    static void SetControlId(QWidget* pWidget, int nId);
    static int ControlId(const QWidget* pWidget);

    // The tip on screen: its place in the parent and its lines; empty when none.
    QRect ShownTipRect() const;
    QStringList ShownTipText() const;
    QWidget* TipWidget() const;

    int m_nCurId = 0;
    int m_nTipHeight = 0;
    int m_nTipWidth = 0;
    int m_nLineHeight = 12;
    QFont m_lf{QStringLiteral("Sans Serif")};
    QWidget* m_pParent = nullptr;

protected:
    // Where the tip of the control nControlId goes, at the measured size;
    // null when the parent has no such control.
    virtual QRect TipRect(int nControlId) const;
    // Sets m_nTipWidth and m_nTipHeight for the tip.
    virtual void MeasureTip(const CHoverTip& tip);

private:
    // The parent's direct child controls (not the tip), topmost first.
    template <typename Match>
    QWidget* FindControl(Match match) const;
    QWidget* ChildAt(const QPoint& pt) const;
    QWidget* Control(int nControlId) const;
    void HideTip();
    void ShowTip(int nControlId);
    void DrawTip(const CHoverTip& tip);

    std::vector<CHoverTip> m_tips;
    QPointer<CHoverTipWidget> m_pTipWidget;
};
