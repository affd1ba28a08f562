#include "view/HoverTips.h"

#include <QFontMetrics>
#include <QPainter>
#include <QToolTip>
#include <QVariant>
#include <QWidget>

#include <algorithm>

namespace {

const char* const kControlIdProperty = "controlId";

} // namespace

// Paints the tip above the parent's controls. It takes no mouse input, so the
// pointer keeps reaching the controls underneath.
class CHoverTipWidget final : public QWidget
{
public:
    explicit CHoverTipWidget(QWidget* pParent) : QWidget(pParent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
    }

    void SetTip(const CHoverTip& tip, const QFont& font, int nLineHeight)
    {
        m_lines = tip.m_lines;
        m_text = ColorFromRef(tip.m_crText);
        m_background = ColorFromRef(tip.m_crBackground);
        m_font = font;
        m_nLineHeight = nLineHeight;
    }

    const QStringList& Lines() const { return m_lines; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        const int w = width(), h = height();
        p.fillRect(rect(), m_background);
        p.fillRect(0, 0, w, 1, m_text);
        p.fillRect(0, h - 1, w, 1, m_text);
        p.fillRect(0, 0, 1, h, m_text);
        p.fillRect(w - 1, 0, 1, h, m_text);

        p.setFont(m_font);
        p.setPen(m_text);
        const int nAscent = QFontMetrics(m_font, this).ascent();
        int y = 2;
        for (const QString& line : m_lines) {
            p.drawText(5, y + nAscent, line);
            y += m_nLineHeight + 1;
        }
    }

private:
    QStringList m_lines;
    QColor m_text, m_background;
    QFont m_font;
    int m_nLineHeight = 12;
};

CHoverTips::~CHoverTips()
{
    delete m_pTipWidget.data();
}

void CHoverTips::Attach(QWidget* pParent)
{
    if (m_pParent != pParent) {
        delete m_pTipWidget.data();
        m_nCurId = 0;
        m_nTipHeight = m_nTipWidth = 0;
    }
    m_pParent = pParent;
    if (pParent) m_lf = pParent->font();
}

void CHoverTips::SetTipFont(const QFont& font)
{
    m_lf = font;
    // The size in points serves as the advance in pixels.
    if (font.pointSizeF() > 0) {
        m_nLineHeight = int(font.pointSizeF());
    } else {
        const int nDpi = m_pParent ? m_pParent->logicalDpiY() : 96;
        m_nLineHeight = nDpi > 0 ? font.pixelSize() * 72 / nDpi : font.pixelSize();
    }
}

int CHoverTips::AddTip(int nControlId, const QStringList& lines, int crBackground, int crText)
{
    const QPalette palette = QToolTip::palette();
    CHoverTip tip;
    tip.m_nControlId = nControlId;
    tip.m_nLines = int(lines.size());
    tip.m_lines = lines;
    tip.m_crBackground = crBackground == -1 ? RefFromColor(palette.color(QPalette::ToolTipBase)) : COLORREF(crBackground);
    tip.m_crText = crText == -1 ? RefFromColor(palette.color(QPalette::ToolTipText)) : COLORREF(crText);
    m_tips.push_back(std::move(tip));
    return 1;
}

void CHoverTips::SetControlId(QWidget* pWidget, int nId)
{
    pWidget->setProperty(kControlIdProperty, nId);
}

int CHoverTips::ControlId(const QWidget* pWidget)
{
    return pWidget->property(kControlIdProperty).toInt();
}

void CHoverTips::RelayMouseMove(const QPoint& ptParent)
{
    if (!m_pParent || !m_pParent->rect().contains(ptParent)) return;
    QWidget* pChild = ChildAt(ptParent);
    const int nId = ControlId(pChild ? pChild : m_pParent);
    if (nId == m_nCurId) return;
    HideTip();
    ShowTip(nId);
}

template <typename Match>
QWidget* CHoverTips::FindControl(Match match) const
{
    // Topmost first; hidden and disabled controls count as well.
    const QObjectList& children = m_pParent->children();
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        QWidget* pWidget = qobject_cast<QWidget*>(*it);
        if (!pWidget || pWidget->isWindow() || pWidget == m_pTipWidget) continue;
        if (match(pWidget)) return pWidget;
    }
    return nullptr;
}

QWidget* CHoverTips::ChildAt(const QPoint& pt) const
{
    return FindControl([&pt](const QWidget* pWidget) { return pWidget->geometry().contains(pt); });
}

QWidget* CHoverTips::Control(int nControlId) const
{
    return FindControl([nControlId](const QWidget* pWidget) { return ControlId(pWidget) == nControlId; });
}

void CHoverTips::HideTip()
{
    if (m_nTipHeight == 0 || m_nTipWidth == 0) return;
    if (m_pTipWidget) m_pTipWidget->hide();
    m_nTipHeight = m_nTipWidth = 0;
}

void CHoverTips::ShowTip(int nControlId)
{
    const auto it = std::find_if(m_tips.begin(), m_tips.end(),
                                 [nControlId](const CHoverTip& tip) { return tip.m_nControlId == nControlId; });
    if (it == m_tips.end()) {
        m_nCurId = 0;
        return;
    }
    m_nCurId = nControlId;
    DrawTip(*it);
}

void CHoverTips::DrawTip(const CHoverTip& tip)
{
    if (tip.m_lines.isEmpty()) return;
    MeasureTip(tip);
    const QRect rc = TipRect(tip.m_nControlId);
    if (rc.isNull()) {
        m_nTipHeight = m_nTipWidth = 0;
        return;
    }
    if (!m_pTipWidget) m_pTipWidget = new CHoverTipWidget(m_pParent);
    m_pTipWidget->SetTip(tip, m_lf, m_nLineHeight);
    m_pTipWidget->setGeometry(rc);
    m_pTipWidget->raise();
    m_pTipWidget->show();
    m_pTipWidget->update();
}

void CHoverTips::MeasureTip(const CHoverTip& tip)
{
    const QFontMetrics fm(m_lf, m_pParent);
    int nWidest = 0;
    for (const QString& line : tip.m_lines) nWidest = std::max(nWidest, fm.horizontalAdvance(line));
    m_nTipHeight = int(tip.m_lines.size()) * m_nLineHeight + 10;
    m_nTipWidth = nWidest + 10;
}

QRect CHoverTips::TipRect(int nControlId) const
{
    if (!m_pParent) return QRect();
    const QWidget* pControl = Control(nControlId);
    if (!pControl) return QRect();
    // Right and bottom exclusive throughout.
    const int nParentLeft = 0, nParentRight = m_pParent->width(), nParentBottom = m_pParent->height();
    const QRect c = pControl->geometry();
    const int nLeft = c.left(), nRight = c.left() + c.width(), nBottom = c.top() + c.height(), w = c.width();
    const int H = m_nTipHeight, W = m_nTipWidth;

    // Hanging from the lower right of the control, pulled back inside the
    // parent at its bottom and right edges.
    int top = nBottom - (2 * w) / 10;
    if (top + H > nParentBottom) top = nParentBottom - 1 - H;
    int left = nLeft + (8 * w) / 10;
    if (left + W > nParentRight) {
        const int m = (nLeft + nRight) / 2;
        left = m - W > nParentLeft ? m - W : nParentLeft + 1;
    }
    return QRect(left, top, W, H);
}

QRect CHoverTips::ShownTipRect() const
{
    if (!m_pTipWidget || m_pTipWidget->isHidden()) return QRect();
    return m_pTipWidget->geometry();
}

QStringList CHoverTips::ShownTipText() const
{
    if (!m_pTipWidget || m_pTipWidget->isHidden()) return QStringList();
    return m_pTipWidget->Lines();
}

QWidget* CHoverTips::TipWidget() const
{
    return m_pTipWidget.data();
}
