#pragma once

#include "doc/LoopState.h"
#include "doc/RondoView.h"
#include "view/DialogUnits.h"
#include "view/GridPainting.h"

#include <QPoint>
#include <QSize>
#include <QWidget>

#include <array>
#include <atomic>
#include <functional>
#include <memory>

class CBeatCell;
class CRondoDoc;
class CVoiceButton;
class CVoiceSwitch;
class IPropSheetFrame;
class QMessageBox;
class QKeyEvent;
class QPushButton;
class QSlider;
class QSpinBox;
class QTimer;

// The editor: Start, Stop and the tempo slider above a grid of voice rows,
// each a voice button and sixteen beat cells. It owns only what concerns the
// display; the loop lives in the document.
class CRondoView final : public QWidget, public IRondoView
{
    Q_OBJECT

public:
    using MessageHandler = std::function<MsgResult(const QString& text, MsgKind kind)>;
    using FileHandler = std::function<std::optional<QString>(FileKind kind, const QString& initialName)>;
    using SheetFactory = std::function<IPropSheetFrame*(CRondoView& view)>;
    using AudioExportHandler = std::function<std::optional<AudioFileJob>(const AudioFileJob& initial)>;

    explicit CRondoView(CRondoDoc& doc, QWidget* pParent = nullptr);
    ~CRondoView() override;

    CRondoDoc& GetDocument() const { return m_doc; }

    // Sizes the main window for four rows and puts the loop to its defaults.
    void OnInitialUpdate();
    // The main window's geometry (position and client size) that fits the
    // rows shown.
    QRect CalcFrameRect() const;

    // --- commands ---
    bool IsCommandEnabled(int nCommand) const;
    void OnCommand(int nCommand);
    void OnStart();
    void OnStop();
    void OnLoopNew();
    void OnLoopOpen();
    void OnLoopSave();
    void OnLoopSaveAs();

    // --- property window ---
    enum : int { kNotesPage = 0, kPreferencesPage = 1, kMidiPage = 2, kSoundPage = 3 };
    void ShowPropertySheet(int nPage, int nPreviousVoice);
    // Opens the window on the Sound page, or turns an open one to it.
    void ShowSoundPage();
    void SyncNotesPage(int nPreviousVoice);
    // Called by the property window when it goes away.
    void OnSheetClosed();

    // --- presses, strokes and keys (the grid's buttons call these) ---
    void OnVoicePressed(int nVoice);
    // Toggles the cell as one undo step: Space, and a press from an assistive tool.
    void OnCellPressed(int nVoice, int nBeat);
    // A press toggles the cell (Shift: cycles its level) and takes the new
    // state as the brush; the stroke paints it into every cell the pointer
    // enters (with Shift held, or after a Shift press, accents) until
    // EndStroke. One stroke is one undo step.
    void BeginStroke(int nVoice, int nBeat, Qt::KeyboardModifiers modifiers);
    void StrokeTo(const QPoint& posInView, Qt::KeyboardModifiers modifiers);
    void EndStroke();
    bool IsStroking() const { return m_stroke.bActive; }
    // One level louder (nSteps > 0) or softer; the wheel's notches on one
    // cell in a row are one undo step.
    void StepLevel(int nVoice, int nBeat, int nSteps);
    // Cycles off, on, accent, ghost.
    void CycleLevel(int nVoice, int nBeat);
    // The keys a focused cell keeps from the window's shortcuts.
    static bool IsGridKey(const QKeyEvent& event);
    bool OnCellKey(int nVoice, int nBeat, QKeyEvent* pEvent);
    // M and S on a row's voice button or cells.
    bool OnMixerKey(int nVoice, QKeyEvent* pEvent);
    void OnCellFocused(int nVoice, int nBeat);
    // The one cell the Tab key reaches: the grid's keyboard focus.
    CBeatCell* FocusCell() const { return Cell(m_nFocusVoice, m_nFocusBeat); }
    void OnSwitchToggled(int nVoice, int nKind, bool bOn);
    void DrawVoiceButton(QPainter& p, const CVoiceButton& button) const;
    void DrawBeatCell(QPainter& p, const CBeatCell& cell) const;
    void DrawVoiceSwitch(QPainter& p, const CVoiceSwitch& button) const;

    // --- what assistive tools read ---
    QString CellAccessibleName(int nVoice, int nBeat) const;
    QString VoiceAccessibleName(int nVoice) const;
    QString SwitchAccessibleName(int nVoice, int nKind) const;

    // --- the playhead ---
    // The step lit as playing, -1 when none. UpdatePlayhead asks the
    // document where the stream's clock is; a timer calls it while playing.
    int PlayheadStep() const { return m_nPlayStep; }
    void UpdatePlayhead();

    // --- IRondoView ---
    int VoicesShown() const override { return m_nVoices; }
    void AddVoice() override;
    void DeleteVoice() override;
    int CurVoice() const override { return m_nCurVoice; }
    void SetCurVoice(int nVoice) override;
    void SetShifting(bool bShifting) override;
    int TempoPos() const override;
    void SetTempoPos(int nBPM) override;
    void SetSwingPos(int nSwing) override;
    void HistoryChanged() override;
    void SetWindowTitle(const QString& title) override;
    void InvalidateView() override;
    void InvalidateCells(int nVoice) override;
    void CloseSheet() override;
    MsgResult MessageBox(const QString& text, MsgKind kind) override;
    // The box MessageBox shows when no handler answers it.
    std::unique_ptr<QMessageBox> CreateMessageBox(const QString& text, MsgKind kind);
    std::optional<QString> ChooseFile(FileKind kind, const QString& initialName) override;
    std::optional<AudioFileJob> ChooseAudioExport(const AudioFileJob& initial) override;
    void RunTask(const QString& label, int64_t nTotal, const std::function<void(TaskProgress&)>& work) override;
    bool SaveLoop() override;
    void SetNoteReminderEnabled(bool bEnabled) override;
    void PostBpmFromDevice(int nBPM) override;
    void PostPlaybackFailed() override;
    void NoteRecentFile(const QString& path) override { Q_EMIT recentFile(path); }

    // Replaceable answers to the message boxes and file dialogs; unset, the
    // real dialogs ask the user.
    MessageHandler m_onMessage;
    FileHandler m_onChooseFile;
    AudioExportHandler m_onChooseAudioExport;
    // Builds the property window; unset or returning null, none opens.
    SheetFactory m_sheetFactory;

    // Geometry of the form in pixels.
    int RowPitch() const { return m_du.Y(17); }
    int ColumnPitch() const { return m_du.X(10); }
    QSize FormSize(int nRows) const;

    CVoiceButton* VoiceButton(int nVoice) const { return m_voiceButtons[size_t(nVoice)]; }
    CBeatCell* Cell(int nVoice, int nBeat) const { return m_cellButtons[size_t(nVoice * 16 + nBeat)]; }
    CVoiceSwitch* MuteSwitch(int nVoice) const { return m_muteSwitches[size_t(nVoice)]; }
    CVoiceSwitch* SoloSwitch(int nVoice) const { return m_soloSwitches[size_t(nVoice)]; }
    QSpinBox* SwingBox() const { return m_wndSwing; }
    QPushButton* StartButton() const { return m_btnStart; }
    QPushButton* StopButton() const { return m_btnStop; }
    QSlider* TempoSlider() const { return m_wndTempo; }

    // --- members ---
    int m_nVoices = 4;
    COLORREF m_crNote;
    COLORREF m_crNoteOn;
    COLORREF m_crNoteOff;
    int m_nCurVoice = 0;
    bool m_bShifting = false;
    QSize m_sizeMinFrame;
    bool m_bLayoutDone = false;
    IPropSheetFrame* m_pSheetFrame = nullptr;

Q_SIGNALS:
    // The state behind the commands' enabled states changed.
    void commandStateChanged();
    // A text for the status bar's message pane.
    void statusMessage(const QString& text);
    // The tempo the device reported, on the UI thread; 0 when playback ended
    // and no tempo is reported any more.
    void bpmFromDevice(int nBPM);
    // A loop file opened or saved.
    void recentFile(const QString& path);

private:
    void LayOut();
    void SetTransport(bool bPlaying);
    // Says why Start or playback failed and offers the page to mend it.
    void ReportPlayFailure();
    void OnTempoChanged(int nPos);
    void DeliverBpm();
    void DeliverPlaybackFailed();
    void ShowRow(int nRow, bool bShow);
    // Makes nVoice current; returns the voice that was.
    int ChangeCurVoice(int nVoice);
    // A cell press or focus in another row makes its voice current.
    void SelectCellVoice(int nVoice);
    void MoveFrameToFit();
    void OnSwingChanged(int nSwing);
    void StopPlayhead();
    void PaintStrokeCell(int nVoice, int nBeat, Qt::KeyboardModifiers modifiers);
    void SetCellLevel(int nVoice, int nBeat, CellLevel level);
    void MoveFocusCell(int nVoice, int nBeat);
    void RefreshSwitches();
    void InvalidateColumn(int nBeat);
    QString VoiceLabel(int nVoice) const;

    CRondoDoc& m_doc;
    CDialogUnits m_du;
    QPushButton* m_btnStart;
    QPushButton* m_btnStop;
    QSlider* m_wndTempo;
    QSpinBox* m_wndSwing;
    QTimer* m_playheadTimer;
    std::array<CVoiceButton*, 12> m_voiceButtons{};
    std::array<CBeatCell*, 192> m_cellButtons{};
    std::array<CVoiceSwitch*, 12> m_muteSwitches{};
    std::array<CVoiceSwitch*, 12> m_soloSwitches{};
    bool m_bSettingTempo = false;
    bool m_bSettingSwing = false;
    int m_nPlayStep = -1;
    int m_nFormWidth = 0;  // pixels: the form's width, wide enough for the mixer switches
    int m_nFocusVoice = 0;
    int m_nFocusBeat = 0;
    struct Stroke
    {
        bool bActive = false;
        bool bAccents = false;     // began with Shift: the cells it enters become accents
        bool bFirstAccent = false;  // the pressed cell has become one too
        int32_t brush = 0;
        int nFirstVoice = 0, nFirstBeat = 0;
        int nLastVoice = -1, nLastBeat = -1;
        QPoint lastPos;
    } m_stroke;
    // Reports from the callback thread, coalesced until the UI thread takes them.
    std::atomic<int> m_nPendingBpm{0};
    std::atomic<bool> m_bBpmPosted{false};
};
