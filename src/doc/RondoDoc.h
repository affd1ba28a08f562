#pragma once

#include "doc/LoopState.h"
#include "doc/RondoView.h"
#include "doc/UndoHistory.h"
#include "midiout/MidiOut.h"

#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class CSettingsStore;

// The one document: the loop, the texts and MIDI choices that travel with it,
// the device table, and the working storage of the MIDI engine.
//
// Texts (m_str... except the file path) are Windows-1252 bytes, as they go
// into the loop file and the MIDI file.
class CRondoDoc
{
public:
    using VoiceRecord = ::VoiceRecord;

    static constexpr int kVoices = kLoopVoices;
    static constexpr int kBeats = kLoopBeats;
    static constexpr int kMinRows = 4;
    static constexpr int kMaxRows = 12;
    static constexpr int kDeviceSlots = 20;
    static constexpr size_t kTextMax = 80;   // composer, company, loop title
    static constexpr size_t kNameMax = 16;   // voice names
    static constexpr int kMinBPM = 40;
    static constexpr int kMaxBPM = 200;
    static constexpr int kMidiFileSize = 10000;
    static constexpr int kStreamEventsSize = 4096;
    static constexpr int kStreamBlockSize = 16 * 24 * 4;  // stream form of the note events
    static constexpr int kLoopTicks = 480;                 // one 4/4 bar at 120 ticks per quarter

    static constexpr const char* kMsgSavePrompt = "The Rondo file has changed?\n\nDo you want to save it?";
    static constexpr const char* kMsgInvalidFile = "The file you chose is not a valid Rondo file.";

    struct DeviceSlot
    {
        MidiOutCaps caps;
        int nDeviceId = 0;
        int bValid = 0;
    };

    enum class LoadResult { Loaded, OpenFailed, Invalid };

    // What the stream callback does with a returned buffer.
    enum : int { CALLBACK_LIVE = 0, KILL_CALLBACK = 1, CALLBACK_DEAD = 2, CALLBACK_FAILED = 3 };
    // Microseconds per quarter note for a tempo in BPM, and back.
    static constexpr uint32_t kMicrosPerMinute = 60000000;

    CRondoDoc(CSettingsStore& settings, IMidiOutService& midiOut);
    ~CRondoDoc();
    CRondoDoc(const CRondoDoc&) = delete;
    CRondoDoc& operator=(const CRondoDoc&) = delete;

    void SetView(IRondoView* pView) { m_pView = pView; }
    IRondoView* View() const { return m_pView; }
    CSettingsStore& Settings() const { return m_settings; }
    IMidiOutService& MidiOut() const { return m_midiOut; }

    // --- loop model ---
    void ResetLoop();
    // New: the save prompt, then the new-loop defaults. False when cancelled.
    bool NewLoop();
    // Asks to save unsaved changes. True: go on; false: cancel the operation
    // that asked (also when a save the user chose did not happen).
    bool PromptSave();
    bool CanCloseFrame() { return PromptSave(); }
    // Recomputes m_nUsedVoices. Callers hold m_lock.
    void CountUsedVoices();
    // Rotates the current voice's cells one beat.
    void ShiftBeats(bool bRight);
    // The document's part of Delete Voice: clears the hidden row under the
    // lock; when any of its cells was on, that is an undo step.
    void ClearVoiceCells(int nVoice);

    // --- cells, tempo and swing ---
    int32_t Cell(int nVoice, int nBeat) const { return m_cells[nVoice][nBeat]; }
    CellLevel LevelAt(int nVoice, int nBeat) const { return cells::LevelOf(m_cells[nVoice][nBeat]); }
    // These take m_lock: the refill reads them while the loop plays.
    void SetCell(int nVoice, int nBeat, int32_t value);
    void SetLevel(int nVoice, int nBeat, CellLevel level) { SetCell(nVoice, nBeat, cells::ValueOf(level)); }
    // 50 (straight) to 75 per cent.
    void SetSwing(int nSwing);
    // The tempo saved and exported; the stream's follows with SetTempo.
    void SetLoopTempo(int nBPM);

    // --- mute and solo: heard while playing, never saved or exported ---
    void SetMuted(int nVoice, bool bMuted);
    void SetSolo(int nVoice, bool bSolo);
    bool IsMuted(int nVoice) const { return (m_muted >> nVoice) & 1u; }
    bool IsSolo(int nVoice) const { return (m_solo >> nVoice) & 1u; }
    // Not muted, and soloed while any voice is.
    bool IsAudible(int nVoice) const { return !IsMuted(nVoice) && (m_solo == 0 || IsSolo(nVoice)); }

    // --- undo and redo ---
    // Merge keys: consecutive steps with the same key are one step.
    enum : int { kMergeVoiceName = 0x100, kMergeCellLevel = 0x200 };
    // The loop as an undo step keeps it (under m_lock).
    LoopState CaptureState();
    // Makes the changes since the last step one undo step named name (the
    // menu says "Undo name"). nRowsBefore: the rows shown before the change,
    // when it changed them. False when nothing changed.
    bool CommitEdit(const char* name, int nMergeKey = 0, int nRowsBefore = -1);
    // Both apply under m_lock, so they are heard within two steps while
    // playing. Undoing back to the saved loop clears m_bDirty.
    bool Undo();
    bool Redo();
    const CUndoHistory& History() const { return m_history; }

    // --- the playhead ---
    // The step sounding now, from the stream's clock; -1 while stopped.
    int PlayingStep() const;

    // --- loop files ---
    // Writes the loop to m_strFilePath. On failure tells the user why and
    // leaves the title and m_bDirty as they were.
    bool SaveLoopFile();
    // Reads m_strFilePath into the document and the view.
    LoadResult LoadLoopFile();
    // Names the file in the main window's title and clears m_bDirty.
    void UpdateTitle();
    // Loads path; on any failure m_strFilePath goes back to what it was.
    LoadResult LoadLoopFrom(const QString& path);
    // Saves to path; on failure m_strFilePath goes back to what it was.
    bool SaveLoopTo(const QString& path);
    // The bytes of the loop file: the record, and the blocks after it when
    // the loop needs them. Takes m_lock.
    QByteArray LoopFileImage();
    // Takes the loop from the bytes of a loop file, as LoadLoopFile does.
    LoadResult LoadLoopImage(const QByteArray& bytes);

    // --- file commands, with the view's dialogs ---
    // Open: prompt, dialog in the remembered folder, load. True when a loop was loaded.
    bool OpenLoopCommand();
    // Open of a path known already (a recent file, a dropped file): the
    // prompt, then the load. True when a loop was loaded.
    bool OpenLoopPathCommand(const QString& path);
    // Save: to the current file, or through Save As when there is none.
    bool SaveLoopCommand();
    // Save As: dialog in the remembered folder, then save. True when written.
    bool SaveLoopAsCommand();

    // --- MIDI file ---
    void BuildMidiFile(bool bForStream);
    // Writes the note events of the chosen form at m_pNoteEvents and returns
    // the position after them.
    uint8_t* WriteNoteEvents(bool bForStream);

    // --- export ---
    // Builds the export image, asks the view for a file and writes it there.
    void ExportMidiFile();
    // The name the export dialog proposes: the loop title in the remembered folder.
    QString ExportInitialName() const;
    // Remembers the folder of path and writes the image there.
    bool ExportTo(const QString& path);
    // Writes the m_nDocSize bytes of the image to path; on failure tells the user.
    bool WriteMidiImage(const QString& path);

    // --- audio export ---
    // Export Audio: the dialog's choices, a file, then the render, with its
    // progress shown. True only when the file was written.
    bool ExportAudioCommand();
    // The choices remembered from the last export ("Export Audio": Passes,
    // Format, LoopReady), at the loop's tempo.
    AudioFileJob AudioExportChoices();
    // Renders the loop as it stands into job.target, as --render renders its
    // file, and remembers the choices; a failure is told to the user, a
    // cancel is not.
    bool ExportAudioTo(const AudioFileJob& job);
    // The render alone, remembering nothing.
    bool RenderAudioFile(const AudioFileJob& job);

    // --- playback ---
    // Start: builds the playback image, opens the stream on m_uDeviceID when
    // it is closed, queues the first two steps and starts it. False on
    // failure, with the reason in PlayError().
    bool Play();
    // False when a device call of the stop sequence failed.
    bool Stop();
    // The stream tempo while playing; does nothing while stopped.
    void SetTempo(unsigned nBPM);
    const QString& PlayError() const { return m_strPlayError; }
    // Its first sentence, for the status bar.
    const QString& PlayErrorSummary() const { return m_strPlayErrorSummary; }
    // On the UI thread, after the view's PostPlaybackFailed: ends the
    // playback whose refill could not be queued.
    void OnPlaybackFailed();
    // Sounds one note at once on the open stream, only while playing.
    int PlayPreviewNote(int nPitch);
    // The next Play queues nPasses passes of the loop and then lets the
    // stream run dry, so nothing of the pass after them sounds; 0 plays
    // without end.
    void SetPassLimit(int nPasses) { m_nStepLimit = int64_t(nPasses > 0 ? nPasses : 0) * kBeats; }
    // Steps the device has played out since the last Play.
    int64_t StepsPlayed() const { return m_nStepsPlayed.load(); }
    // With a pass limit: every step of it has played out.
    bool IsDrained() const { return m_nStepLimit > 0 && m_nStepsPlayed.load() >= m_nStepLimit; }
    // The stream callback, with the document as its instance data.
    static void MidiStreamProc(HMidiStream hStream, unsigned uMsg, void* pInstance, uintptr_t dwParam1,
                               uintptr_t dwParam2);
    void OnBufferDone(MidiHdr* pHdr);
    // The device's clock moved the loop (MOM_LOCATE): the next refills
    // continue at that tick of it.
    void OnLocate(uint32_t nLoopTick);
    // Converts one step at m_pStreamPos into stream records; returns their size in bytes.
    int FillBuffer(MidiHdr* pHdr, uint8_t* pEvents, bool bWithProgramChange);

    // Why the last file operation failed.
    const QString& LastError() const { return m_strLastError; }

    bool IsCellOn(int nVoice, int nBeat) const { return m_cells[nVoice][nBeat] != 0; }
    // The voice's name as the user reads it.
    QString VoiceName(int nVoice) const;
    // Takes m_lock.
    void SetChannel(int nChannel);
    // Makes the listed device with this id (as a number) or this full name
    // the one the next Start opens. False when none is listed.
    bool SelectDevice(const QString& idOrName);
    // Makes uDeviceID the device of the next Start (not stored).
    void ChooseDevice(uint32_t uDeviceID);
    // The listed name of a device, empty when it is not listed.
    QString DeviceName(uint32_t uDeviceID) const;

    // --- fields ---
    bool m_bNoSavePrompt = false;
    std::array<DeviceSlot, kDeviceSlots> m_devices{};
    int m_nUsedVoices = 0;
    uint8_t* m_pNoteEvents = nullptr;
    uint8_t* m_pStreamPos = nullptr;
    MidiHdr m_midiHdr[2]{};
    uint8_t m_streamEvents[2][kStreamEventsSize]{};
    uint32_t m_uDeviceID = 0xFFFFFFFFu;  // -1: the built-in synthesizer
    uint8_t m_byNoteOn = 0x99;
    int8_t m_nChannel = 9;
    uint8_t m_byProgChange = 0xC9;
    int8_t m_nInstrument = 0;
    bool m_bProgChgExport = true;
    bool m_bProgChgStream = true;
    bool m_bProgramChangeDue = false;  // under m_lock: the next refill sends it
    // MIDI clock to the device while playing (not to the built-in synthesizer).
    bool m_bClockOut = false;
    HMidiStream m_hStream = nullptr;
    std::string m_strComposer;
    std::string m_strCompany;
    std::string m_strCopyright;
    std::string m_strLoopTitle;
    std::string m_strTrackName;
    QString m_strFilePath;
    // Where Open starts while no folder has been remembered: the example loops.
    QString m_strExampleFolder;
    int16_t m_nFormat = 1;
    int16_t m_nTracks = 2;
    int16_t m_nDivision = 120;
    int m_nBPM = 100;
    int m_nSwing = swing::kStraight;
    std::atomic<bool> m_bReadTempo{true};
    int m_cells[kVoices][kBeats]{};
    VoiceRecord m_voices[kVoices]{};
    uint8_t m_midiFile[kMidiFileSize]{};
    int m_nDocSize = 0;
    std::atomic<int> m_nCallbackState{0};
    bool m_bHeadersPrepared = false;
    std::atomic<bool> m_bPlaying{false};
    std::atomic<int> m_nRefillError{0};  // why the last refill could not be queued
    uint8_t m_nTicksPerStep = 30;
    int64_t m_nStepLimit = 0;
    int64_t m_nStepsQueued = 0;  // under m_lock
    std::atomic<int64_t> m_nStepsPlayed{0};
    // The stream tick where a pass of the loop began; moved by a relocation.
    std::atomic<int64_t> m_nPlayheadOrigin{0};
    bool m_bDirty = false;
    std::mutex m_lock;

private:
    // Puts the loop in state, under m_lock; nRows >= 0 shows that many rows.
    void RestoreState(const LoopState& state, int nRows);
    void AfterHistoryMove();

    int OpenStream();
    int SetTimeDivision();
    int QueueBuffers();
    int StartStream();
    void SetStreamTempo(unsigned nBPM);
    void UnprepareBuffers();
    bool StopSequence();
    // Closes a stream left open, whatever its state.
    void CloseStream();
    bool PlayFailed(int nError);
    void Refill(MidiHdr* pHdr);

    void RebuildDeviceTable();
    void RememberFolder(const char* section, const QString& path);
    // name in the section's remembered folder, else in firstFolder (if any).
    QString InitialName(const char* section, const QString& name, const QString& firstFolder = QString()) const;
    void ReportFileError(const QString& text);

    CUndoHistory m_history;
    int m_nHistoryHold = 0;  // while the loop is replaced, its edits are no steps
    uint16_t m_muted = 0;  // bit per voice, written under m_lock
    uint16_t m_solo = 0;

    CSettingsStore& m_settings;
    IMidiOutService& m_midiOut;
    IRondoView* m_pView = nullptr;
    QString m_strLastError;
    QString m_strPlayError;
    QString m_strPlayErrorSummary;
};
