#include "view/GridButtons.h"

#include "view/RondoView.h"

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

CBeatCell::CBeatCell(CRondoView& view, int nVoice, int nBeat)
    : QAbstractButton(&view), m_view(view), m_nVoice(nVoice), m_nBeat(nBeat)
{
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QAbstractButton::pressed, this, [this] { m_view.OnCellPressed(m_nVoice, m_nBeat); });
}

void CBeatCell::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    m_view.DrawBeatCell(p, *this);
}
