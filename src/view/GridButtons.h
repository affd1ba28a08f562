#pragma once

#include <QAbstractButton>

class CRondoView;

// The voice button of one row. Painting reads the view's state and changes
// nothing; the press is the button's pressed signal.
class CVoiceButton final : public QAbstractButton
{
public:
    CVoiceButton(CRondoView& view, int nVoice);
    int Voice() const { return m_nVoice; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    CRondoView& m_view;
    int m_nVoice;
};

// One beat cell. A press toggles it, again whenever the pointer comes back
// onto it while the button is held.
class CBeatCell final : public QAbstractButton
{
public:
    CBeatCell(CRondoView& view, int nVoice, int nBeat);
    int Voice() const { return m_nVoice; }
    int Beat() const { return m_nBeat; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    CRondoView& m_view;
    int m_nVoice;
    int m_nBeat;
};
