#pragma once

#include "view/GridPainting.h"
#include "view/HoverTips.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QWidget>

#include <array>

class CNotesPage;
class CRondoView;
class QPushButton;

// One of the 128 pitch buttons: note n of the grid.
class CPitchButton final : public QAbstractButton
{
    Q_OBJECT

public:
    CPitchButton(CNotesPage& page, int nNote, QWidget* pParent);
    int Note() const { return m_nNote; }

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    CNotesPage& m_page;
    int m_nNote;
};

// The current voice's name; every edit goes to the voice at once.
class CVoiceNameEdit final : public QLineEdit
{
    Q_OBJECT

public:
    CVoiceNameEdit(CNotesPage& page, QWidget* pParent);

private:
    void OnTextEdited(const QString& text);

    CNotesPage& m_page;
};

// The current voice's pitch, chosen from the 128 MIDI notes, and its name.
// Changes take effect at once; the page has no Apply.
class CNotesPage final : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kFirstPitchId = 7000;
    static constexpr int kNameLimit = 16;

    explicit CNotesPage(CRondoView& view, QWidget* pParent = nullptr);

    bool OnInitDialog();
    // The name field and "Note Reminder" follow the document whenever the
    // property window becomes active.
    void OnActivate();
    // After the current voice changed from nPreviousVoice: the two pitch
    // highlights and the name field.
    void SyncVoice(int nPreviousVoice);
    // "Note Reminder" and pitch presses while playing.
    void PlayPreviewNote(int nNote);

    // "C5", "G#4": the octave changes between G# and A.
    static QString NoteLabel(int nNote);
    // The General MIDI percussion sound of a note, empty outside 35..81.
    static QString PercussionName(int nNote);

    CPitchButton* PitchButton(int nNote) const { return m_pitchButtons[size_t(nNote)]; }
    int CurrentPitch() const;
    CRondoView& View() const { return m_view; }

    COLORREF m_crPitchSel;
    COLORREF m_crPitchUnSel;
    CHoverTips m_tips;
    QPushButton* m_btnReminder;
    CVoiceNameEdit* m_editName;

protected:
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    friend class CPitchButton;
    friend class CVoiceNameEdit;
    void OnPitchPressed(int nNote);
    void OnNameEdited(const QString& text);
    void DrawPitchButton(QPainter& p, const CPitchButton& button) const;

    CRondoView& m_view;
    std::array<CPitchButton*, 128> m_pitchButtons{};
};
