#pragma once

class QWidget;

// What the editor view needs of the property window: a top-level window it
// can place, show and turn to a page, and whose Notes page follows the
// current voice. The window tells the view when it goes away.
class IPropSheetFrame
{
public:
    virtual ~IPropSheetFrame() = default;
    virtual QWidget* Window() = 0;
    virtual void SetActivePage(int nPage) = 0;
    // The Notes page after the current voice changed from nPreviousVoice.
    virtual void SyncNotesPage(int nPreviousVoice) = 0;
    virtual void SetNoteReminderEnabled(bool bEnabled) = 0;
    // Stores the window's position ("Screen2").
    virtual void SavePosition() = 0;
};
