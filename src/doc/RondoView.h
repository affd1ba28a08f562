#pragma once

#include "midi/AudioFileJob.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

// What a long task sees of the window that shows its progress.
struct TaskProgress
{
    std::atomic<int64_t> nDone{0};
    std::atomic<bool> bCancel{false};
};

// What the document needs of the editor view. The Qt view implements it; a
// headless implementation serves the command line and the tests.
class IRondoView
{
public:
    // PlayFailed: a Start that failed, with a way to the settings that
    // decide it (MsgResult::Settings).
    enum class MsgKind { Ok, YesNoCancel, PlayFailed };
    enum class MsgResult { Ok, Yes, No, Cancel, Settings };
    enum class FileKind { OpenLoop, SaveLoop, ExportMidi, SoundFont, ExportAudio };

    virtual ~IRondoView() = default;

    // Rows shown (4..12), shown and hidden from the bottom. DeleteVoice clears
    // the hidden row through CRondoDoc::ClearVoiceCells and makes voice 0
    // current when the current voice was the row hidden.
    virtual int VoicesShown() const = 0;
    virtual void AddVoice() = 0;
    virtual void DeleteVoice() = 0;

    virtual int CurVoice() const = 0;
    virtual void SetCurVoice(int nVoice) = 0;
    virtual void SetShifting(bool bShifting) = 0;

    virtual int TempoPos() const = 0;
    virtual void SetTempoPos(int nBPM) = 0;
    // The swing control, 50..75 per cent.
    virtual void SetSwingPos(int /*nSwing*/) {}
    // An undo step was made, undone or redone, or the history began anew.
    virtual void HistoryChanged() {}

    virtual void SetWindowTitle(const QString& title) = 0;
    virtual void InvalidateView() = 0;
    virtual void InvalidateCells(int nVoice) = 0;
    // Asks an open property window to close (posted, not immediate).
    virtual void CloseSheet() = 0;

    virtual MsgResult MessageBox(const QString& text, MsgKind kind) = 0;
    // The file dialogs: a full path, or nothing when the user cancels.
    virtual std::optional<QString> ChooseFile(FileKind kind, const QString& initialName) = 0;

    // The Export Audio dialog: the choices made (the target aside), or
    // nothing when the user cancels.
    virtual std::optional<AudioFileJob> ChooseAudioExport(const AudioFileJob& initial) = 0;
    // Runs work away from the user-interface thread while a window shows how
    // far it is of nTotal and offers Cancel, which sets bCancel; returns once
    // work has. Without a window it simply runs work.
    virtual void RunTask(const QString& label, int64_t nTotal, const std::function<void(TaskProgress&)>& work)
    {
        (void)label;
        (void)nTotal;
        TaskProgress progress;
        work(progress);
    }

    // The Save command: true only when the loop was written.
    virtual bool SaveLoop() = 0;

    // Playback. The "Note Reminder" button of an open property window
    // follows the playing state.
    virtual void SetNoteReminderEnabled(bool bEnabled) = 0;
    // Called on the stream's callback thread: implementations hand these to
    // the user-interface thread and return at once. The first reports the
    // tempo read back from the device; the second asks the UI thread to end
    // playback with CRondoDoc::OnPlaybackFailed.
    virtual void PostBpmFromDevice(int nBPM) = 0;
    virtual void PostPlaybackFailed() = 0;

    // A loop file was opened or saved: for the list of recent files.
    virtual void NoteRecentFile(const QString& path) { (void)path; }
};
