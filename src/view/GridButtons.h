#pragma once

#include <QAbstractButton>

class CRondoView;

// The voice button of one row. Painting reads the view's state and changes
// nothing; the press is the button's pressed signal. M and S mute and solo
// its voice.
class CVoiceButton final : public QAbstractButton
{
public:
    CVoiceButton(CRondoView& view, int nVoice);
    int Voice() const { return m_nVoice; }

protected:
    void paintEvent(QPaintEvent*) override;
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    CRondoView& m_view;
    int m_nVoice;
};

// One beat cell. A press starts a paint stroke that the view carries into
// every cell the pointer enters until the release; the wheel changes the
// level. With the keyboard focus, the arrows move the focus through the
// grid, Space toggles and Shift+Space cycles the level.
class CBeatCell final : public QAbstractButton
{
public:
    CBeatCell(CRondoView& view, int nVoice, int nBeat);
    int Voice() const { return m_nVoice; }
    int Beat() const { return m_nBeat; }

protected:
    bool event(QEvent* pEvent) override;
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void wheelEvent(QWheelEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void focusInEvent(QFocusEvent* pEvent) override;
    void focusOutEvent(QFocusEvent* pEvent) override;

private:
    CRondoView& m_view;
    int m_nVoice;
    int m_nBeat;
    int m_nWheel = 0;  // eighths of a degree not yet turned into a level
};

// The small M (mute) or S (solo) switch at the end of a row.
class CVoiceSwitch final : public QAbstractButton
{
public:
    enum Kind { Mute, Solo };
    CVoiceSwitch(CRondoView& view, int nVoice, Kind kind);
    int Voice() const { return m_nVoice; }
    Kind SwitchKind() const { return m_kind; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    CRondoView& m_view;
    int m_nVoice;
    Kind m_kind;
};
