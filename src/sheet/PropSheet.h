#pragma once

#include "sheet/MidiPage.h"
#include "sheet/NotesPage.h"
#include "sheet/PrefsPage.h"
#include "sheet/SoundPage.h"
#include "view/PropSheetHost.h"

#include <QTabWidget>
#include <QWidget>

class CRondoView;

// The three pages behind their tabs: Notes, Preferences, MIDI. Every opening
// of the property window builds them anew from the live document.
class CModelessPropSheet final : public QTabWidget
{
    Q_OBJECT

public:
    enum Page { kNotes = 0, kPreferences = 1, kMidi = 2, kSound = 3 };

    CModelessPropSheet(CRondoView& view, QWidget* pParent);

    CPrefsPage m_prefsPage;
    CNotesPage m_notesPage;
    CMidiPage m_midiPage;
    CSoundPage m_soundPage;
};

// The small tool window "Object Properties" that holds the sheet beside the
// main window. It closes itself away: the view learns of it through
// OnSheetClosed.
class CPropSheetFrame final : public QWidget, public IPropSheetFrame
{
    Q_OBJECT

public:
    explicit CPropSheetFrame(CRondoView& view);

    // --- IPropSheetFrame ---
    QWidget* Window() override { return this; }
    void SetActivePage(int nPage) override;
    void SyncNotesPage(int nPreviousVoice) override;
    void SetNoteReminderEnabled(bool bEnabled) override;
    void SavePosition() override;

    CModelessPropSheet* m_pSheet;

protected:
    void closeEvent(QCloseEvent* pEvent) override;
    void showEvent(QShowEvent* pEvent) override;
    void changeEvent(QEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void focusInEvent(QFocusEvent* pEvent) override;

private:
    CRondoView& m_view;
};
