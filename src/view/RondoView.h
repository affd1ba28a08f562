#pragma once

#include "doc/RondoView.h"
#include "view/DialogUnits.h"
#include "view/GridPainting.h"

#include <QSize>
#include <QWidget>

#include <array>
#include <atomic>
#include <functional>
#include <memory>

class CBeatCell;
class CRondoDoc;
class CVoiceButton;
class IPropSheetFrame;
class QMessageBox;
class QPushButton;
class QSlider;

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

    // --- presses (the grid's buttons call these) ---
    void OnVoicePressed(int nVoice);
    void OnCellPressed(int nVoice, int nBeat);
    void DrawVoiceButton(QPainter& p, const CVoiceButton& button) const;
    void DrawBeatCell(QPainter& p, const CBeatCell& cell) const;

    // --- IRondoView ---
    int VoicesShown() const override { return m_nVoices; }
    void AddVoice() override;
    void DeleteVoice() override;
    int CurVoice() const override { return m_nCurVoice; }
    void SetCurVoice(int nVoice) override;
    void SetShifting(bool bShifting) override;
    int TempoPos() const override;
    void SetTempoPos(int nBPM) override;
    void SetWindowTitle(const QString& title) override;
    void InvalidateView() override;
    void InvalidateCells(int nVoice) override;
    void CloseSheet() override;
    MsgResult MessageBox(const QString& text, MsgKind kind) override;
    // The box MessageBox shows when no handler answers it.
    std::unique_ptr<QMessageBox> CreateMessageBox(const QString& text, MsgKind kind);
    std::optional<QString> ChooseFile(FileKind kind, const QString& initialName) override;
    bool SaveLoop() override;
    void SetNoteReminderEnabled(bool bEnabled) override;
    void PostBpmFromDevice(int nBPM) override;
    void PostPlaybackFailed() override;
    void NoteRecentFile(const QString& path) override { Q_EMIT recentFile(path); }

    // Replaceable answers to the message boxes and file dialogs; unset, the
    // real dialogs ask the user.
    MessageHandler m_onMessage;
    FileHandler m_onChooseFile;
    // Builds the property window; unset or returning null, none opens.
    SheetFactory m_sheetFactory;

    // Geometry of the form in pixels.
    int RowPitch() const { return m_du.Y(17); }
    int ColumnPitch() const { return m_du.X(10); }
    QSize FormSize(int nRows) const;

    CVoiceButton* VoiceButton(int nVoice) const { return m_voiceButtons[size_t(nVoice)]; }
    CBeatCell* Cell(int nVoice, int nBeat) const { return m_cellButtons[size_t(nVoice * 16 + nBeat)]; }
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
    // The tempo the device reported, on the UI thread.
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
    void MoveFrameToFit();

    CRondoDoc& m_doc;
    CDialogUnits m_du;
    QPushButton* m_btnStart;
    QPushButton* m_btnStop;
    QSlider* m_wndTempo;
    std::array<CVoiceButton*, 12> m_voiceButtons{};
    std::array<CBeatCell*, 192> m_cellButtons{};
    bool m_bSettingTempo = false;
    // Reports from the callback thread, coalesced until the UI thread takes them.
    std::atomic<int> m_nPendingBpm{0};
    std::atomic<bool> m_bBpmPosted{false};
};
