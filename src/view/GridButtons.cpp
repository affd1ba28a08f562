#include "view/GridButtons.h"

#include "view/RondoView.h"

#include <QKeyEvent>
#include <QPainter>

CVoiceButton::CVoiceButton(CRondoView& view, int nVoice) : QAbstractButton(&view), m_view(view), m_nVoice(nVoice)
{
    setFocusPolicy(Qt::StrongFocus);
    connect(this, &QAbstractButton::pressed, this, [this] { m_view.OnVoicePressed(m_nVoice); });
}

void CVoiceButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    m_view.DrawVoiceButton(p, *this);
}

void CVoiceButton::keyPressEvent(QKeyEvent* pEvent)
{
    if (!m_view.OnMixerKey(m_nVoice, pEvent)) QAbstractButton::keyPressEvent(pEvent);
}

CBeatCell::CBeatCell(CRondoView& view, int nVoice, int nBeat)
    : QAbstractButton(&view), m_view(view), m_nVoice(nVoice), m_nBeat(nBeat)
{
    // The view gives the tab focus to one cell of the grid at a time; a
    // click leaves the focus where it was, so the arrows keep rotating.
    setFocusPolicy(Qt::NoFocus);
    // A press from outside the mouse and keyboard (an assistive tool).
    connect(this, &QAbstractButton::pressed, this, [this] { m_view.OnCellPressed(m_nVoice, m_nBeat); });
}

bool CBeatCell::event(QEvent* pEvent)
{
    // The grid's own keys come here before the window's shortcuts see them.
    if (pEvent->type() == QEvent::ShortcutOverride && CRondoView::IsGridKey(*static_cast<QKeyEvent*>(pEvent))) {
        pEvent->accept();
        return true;
    }
    return QAbstractButton::event(pEvent);
}

void CBeatCell::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    m_view.DrawBeatCell(p, *this);
}

void CBeatCell::mousePressEvent(QMouseEvent* pEvent)
{
    if (pEvent->button() != Qt::LeftButton) {
        pEvent->ignore();
        return;
    }
    pEvent->accept();
    m_view.BeginStroke(m_nVoice, m_nBeat, pEvent->modifiers());
}

void CBeatCell::mouseMoveEvent(QMouseEvent* pEvent)
{
    // The pressed cell keeps the mouse until the release.
    if (pEvent->buttons() & Qt::LeftButton) m_view.StrokeTo(mapTo(&m_view, pEvent->position().toPoint()), pEvent->modifiers());
    pEvent->accept();
}

void CBeatCell::mouseReleaseEvent(QMouseEvent* pEvent)
{
    if (pEvent->button() == Qt::LeftButton) m_view.EndStroke();
    pEvent->accept();
}

void CBeatCell::wheelEvent(QWheelEvent* pEvent)
{
    m_nWheel += pEvent->angleDelta().y();
    while (m_nWheel >= 120) {
        m_nWheel -= 120;
        m_view.StepLevel(m_nVoice, m_nBeat, +1);
    }
    while (m_nWheel <= -120) {
        m_nWheel += 120;
        m_view.StepLevel(m_nVoice, m_nBeat, -1);
    }
    pEvent->accept();
}

void CBeatCell::keyPressEvent(QKeyEvent* pEvent)
{
    if (!m_view.OnCellKey(m_nVoice, m_nBeat, pEvent)) QAbstractButton::keyPressEvent(pEvent);
}

void CBeatCell::focusInEvent(QFocusEvent* pEvent)
{
    QAbstractButton::focusInEvent(pEvent);
    m_view.OnCellFocused(m_nVoice, m_nBeat);
}

void CBeatCell::focusOutEvent(QFocusEvent* pEvent)
{
    QAbstractButton::focusOutEvent(pEvent);
    update();
}

CVoiceSwitch::CVoiceSwitch(CRondoView& view, int nVoice, Kind kind)
    : QAbstractButton(&view), m_view(view), m_nVoice(nVoice), m_kind(kind)
{
    setCheckable(true);
    // The keyboard reaches them as M and S on the row's voice button or cells.
    setFocusPolicy(Qt::NoFocus);
    setText(kind == Mute ? QStringLiteral("M") : QStringLiteral("S"));
    setToolTip(kind == Mute ? QStringLiteral("Mute: silence this voice while the loop plays (M)")
                            : QStringLiteral("Solo: hear only the soloed voices while the loop plays (S)"));
    connect(this, &QAbstractButton::toggled, this, [this](bool bOn) { m_view.OnSwitchToggled(m_nVoice, m_kind, bOn); });
}

void CVoiceSwitch::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    m_view.DrawVoiceSwitch(p, *this);
}
