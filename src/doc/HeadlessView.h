#pragma once

#include "doc/RondoView.h"

#include <QStringList>

#include <atomic>
#include <functional>

class CRondoDoc;

// The view of the command line and of the core tests: it keeps the state a
// window would show, answers message boxes and file dialogs through
// replaceable handlers, and records what it was asked to show.
class CHeadlessView final : public IRondoView
{
public:
    using MessageHandler = std::function<MsgResult(const QString& text, MsgKind kind)>;
    using FileHandler = std::function<std::optional<QString>(FileKind kind, const QString& initialName)>;
    using AudioExportHandler = std::function<std::optional<AudioFileJob>(const AudioFileJob& initial)>;

    explicit CHeadlessView(CRondoDoc& doc);

    int VoicesShown() const override { return m_nVoices; }
    void AddVoice() override;
    void DeleteVoice() override;
    int CurVoice() const override { return m_nCurVoice; }
    void SetCurVoice(int nVoice) override { m_nCurVoice = nVoice; }
    void SetShifting(bool bShifting) override { m_bShifting = bShifting; }
    int TempoPos() const override { return m_nTempoPos; }
    void SetTempoPos(int nBPM) override { m_nTempoPos = nBPM; }
    void SetSwingPos(int nSwing) override { m_nSwingPos = nSwing; }
    void HistoryChanged() override { ++m_nHistoryChanges; }
    void SetWindowTitle(const QString& title) override { m_strTitle = title; }
    void InvalidateView() override { ++m_nViewInvalidations; }
    void InvalidateCells(int nVoice) override { m_lastInvalidatedRow = nVoice; }
    void CloseSheet() override { ++m_nSheetCloses; }
    MsgResult MessageBox(const QString& text, MsgKind kind) override;
    std::optional<QString> ChooseFile(FileKind kind, const QString& initialName) override;
    std::optional<AudioFileJob> ChooseAudioExport(const AudioFileJob& initial) override
    {
        return m_onChooseAudioExport ? m_onChooseAudioExport(initial) : std::nullopt;
    }
    bool SaveLoop() override;
    void SetNoteReminderEnabled(bool bEnabled) override { m_bNoteReminder = bEnabled; }
    void PostBpmFromDevice(int nBPM) override;
    void PostPlaybackFailed() override { m_nFailurePosts.fetch_add(1); }
    // Runs on the calling thread what the callback thread handed over:
    // the end of a failed playback. Returns how many were run.
    int RunPosted();

    // Unset: messages are answered with OK, or Cancel for a question,
    // which never loses work.
    MessageHandler m_onMessage;
    // Unset: every file dialog is cancelled.
    FileHandler m_onChooseFile;
    // Unset: the Export Audio dialog is cancelled.
    AudioExportHandler m_onChooseAudioExport;

    int m_nVoices = 4;
    int m_nCurVoice = 0;
    bool m_bShifting = false;
    int m_nTempoPos = 100;
    int m_nSwingPos = 50;
    int m_nHistoryChanges = 0;
    QString m_strTitle = QStringLiteral("Rondo");
    int m_nViewInvalidations = 0;
    int m_lastInvalidatedRow = -1;
    int m_nSheetCloses = 0;
    QStringList m_messages;
    QStringList m_fileRequests;  // initial names the dialogs were opened with
    bool m_bNoteReminder = false;
    std::atomic<int> m_nBpmReports{0};
    std::atomic<int> m_nLastBpmReport{0};
    std::atomic<int> m_nFailurePosts{0};

private:
    CRondoDoc& m_doc;
};
