#include "view/RondoView.h"

#include "doc/RondoDoc.h"
#include "settings/SettingsStore.h"
#include "view/Commands.h"
#include "view/GridButtons.h"
#include "view/PropSheetHost.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QLayout>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSlider>

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace {

constexpr int kRowTop = 34;  // dialog units
constexpr int kFirstTempo = 100;

} // namespace

CRondoView::CRondoView(CRondoDoc& doc, QWidget* pParent)
    : QWidget(pParent)
    , m_crNote(COLORREF(doc.Settings().GetInt("Color", "Note", 0x000000)))
    , m_crNoteOn(COLORREF(doc.Settings().GetInt("Color", "NoteOn", 0xFF00FF)))
    , m_crNoteOff(COLORREF(doc.Settings().GetInt("Color", "NoteOff", 0x800080)))
    , m_doc(doc)
    , m_du(fontMetrics())
{
    m_btnStart = new QPushButton(QStringLiteral("Start"), this);
    m_btnStop = new QPushButton(QStringLiteral("Stop"), this);
    m_wndTempo = new QSlider(Qt::Horizontal, this);
    m_wndTempo->setTickPosition(QSlider::TicksAbove);
    m_wndTempo->setRange(CRondoDoc::kMinBPM, CRondoDoc::kMaxBPM);
    m_wndTempo->setValue(kFirstTempo);
    m_wndTempo->setTickInterval(10);
    m_wndTempo->setPageStep(10);
    m_wndTempo->setToolTip(QStringLiteral("Tempo"));
    m_wndTempo->setAccessibleName(QStringLiteral("Tempo"));
    for (QWidget* w : {static_cast<QWidget*>(m_btnStart), static_cast<QWidget*>(m_btnStop), static_cast<QWidget*>(m_wndTempo)})
        w->setFocusPolicy(Qt::StrongFocus);
    for (int v = 0; v < CRondoDoc::kVoices; ++v) {
        m_voiceButtons[size_t(v)] = new CVoiceButton(*this, v);
        for (int b = 0; b < CRondoDoc::kBeats; ++b) m_cellButtons[size_t(v * 16 + b)] = new CBeatCell(*this, v, b);
    }
    // Tab goes through the transport, then down the voice buttons.
    QWidget* pPrev = m_btnStart;
    for (QWidget* w : {static_cast<QWidget*>(m_btnStop), static_cast<QWidget*>(m_wndTempo)}) {
        setTabOrder(pPrev, w);
        pPrev = w;
    }
    for (CVoiceButton* pButton : m_voiceButtons) {
        setTabOrder(pPrev, pButton);
        pPrev = pButton;
    }

    connect(m_btnStart, &QPushButton::clicked, this, &CRondoView::OnStart);
    connect(m_btnStop, &QPushButton::clicked, this, &CRondoView::OnStop);
    connect(m_wndTempo, &QSlider::valueChanged, this, &CRondoView::OnTempoChanged);

    LayOut();
    for (int v = 0; v < CRondoDoc::kVoices; ++v) ShowRow(v, v < m_nVoices);
    SetTransport(false);
}

CRondoView::~CRondoView()
{
    if (m_doc.View() == this) m_doc.SetView(nullptr);
}

QSize CRondoView::FormSize(int nRows) const
{
    return QSize(m_du.X(270), m_du.Y(105) + (nRows - CRondoDoc::kMinRows) * RowPitch());
}

void CRondoView::LayOut()
{
    m_wndTempo->setGeometry(m_du.Rect(125, 8, 125, 24));
    m_btnStart->setGeometry(m_du.Rect(15, 10, 50, 15));
    m_btnStop->setGeometry(m_du.Rect(75, 10, 40, 15));
    const int h = RowPitch(), w = ColumnPitch();
    const QRect button0 = m_du.Rect(15, kRowTop, 50, 15);
    const QRect cell0 = m_du.Rect(75, kRowTop, 10, 15);
    for (int v = 0; v < CRondoDoc::kVoices; ++v) {
        m_voiceButtons[size_t(v)]->setGeometry(button0.translated(0, v * h));
        for (int b = 0; b < CRondoDoc::kBeats; ++b) {
            // Half a column between groups of four.
            const int left = cell0.left() + b * w + ((b / 4) * w) / 2;
            Cell(v, b)->setGeometry(left, cell0.top() + v * h, w, cell0.height());
        }
    }
    // The width is the form's; the height runs from four to twelve rows.
    setFixedWidth(FormSize(CRondoDoc::kMinRows).width());
    setMinimumHeight(FormSize(CRondoDoc::kMinRows).height());
    setMaximumHeight(FormSize(CRondoDoc::kMaxRows).height());
}

void CRondoView::ShowRow(int nRow, bool bShow)
{
    m_voiceButtons[size_t(nRow)]->setVisible(bShow);
    for (int b = 0; b < CRondoDoc::kBeats; ++b) Cell(nRow, b)->setVisible(bShow);
}

void CRondoView::OnInitialUpdate()
{
    const QRect rc = CalcFrameRect();
    window()->resize(rc.size());
    m_sizeMinFrame = rc.size();
    m_bLayoutDone = true;
    m_doc.ResetLoop();
    SetTransport(false);
}

QRect CRondoView::CalcFrameRect() const
{
    QWidget* pFrame = window();
    if (pFrame == this) return QRect(pos(), FormSize(m_nVoices));
    // Menu, toolbar and status bar: what the frame adds around the view. The
    // frame's limits follow the view's, so their difference measures it.
    if (pFrame->layout()) pFrame->layout()->activate();
    const QSize around = pFrame->minimumSize() - minimumSize();
    return QRect(pFrame->pos(), around + FormSize(m_nVoices));
}

void CRondoView::MoveFrameToFit()
{
    window()->resize(CalcFrameRect().size());
}

// --- transport ---

void CRondoView::SetTransport(bool bPlaying)
{
    // Keyboard users keep a focused transport button under their finger.
    const bool bFocusOnTransport = m_btnStart->hasFocus() || m_btnStop->hasFocus();
    m_btnStart->setEnabled(!bPlaying);
    m_btnStop->setEnabled(bPlaying);
    m_wndTempo->setEnabled(bPlaying);
    if (bFocusOnTransport) (bPlaying ? m_btnStop : m_btnStart)->setFocus();
}

void CRondoView::OnStart()
{
    SetTransport(true);
    if (m_doc.Play()) {
        Q_EMIT statusMessage(QString());
    } else {
        SetTransport(false);
        ReportPlayFailure();
    }
    Q_EMIT commandStateChanged();
}

void CRondoView::ReportPlayFailure()
{
    // The status bar keeps the gist; the box has the whole reason and the
    // way to the page that decides it; a terminal gets the reason too.
    Q_EMIT statusMessage(m_doc.PlayErrorSummary());
    const QString reason = QString(m_doc.PlayError()).replace(QStringLiteral("\n\n"), QStringLiteral("\n"));
    std::fprintf(stderr, "rondo: %s\n", reason.toLocal8Bit().constData());
    if (MessageBox(m_doc.PlayError(), MsgKind::PlayFailed) != MsgResult::Settings) return;
    if (m_doc.m_uDeviceID == MIDI_MAPPER) {
        ShowSoundPage();
    } else {
        ShowPropertySheet(kMidiPage, -1);
    }
}

void CRondoView::ShowSoundPage()
{
    if (m_pSheetFrame) {
        m_pSheetFrame->SetActivePage(kSoundPage);
        m_pSheetFrame->Window()->raise();
        m_pSheetFrame->Window()->activateWindow();
        return;
    }
    ShowPropertySheet(kSoundPage, -1);
}

void CRondoView::OnStop()
{
    SetTransport(false);
    m_doc.Stop();
    Q_EMIT commandStateChanged();
}

void CRondoView::OnTempoChanged(int nPos)
{
    // Any move while playing, by mouse or key, is the tempo that plays.
    if (m_bSettingTempo || !m_doc.m_bPlaying) return;
    m_doc.SetTempo(unsigned(nPos));
    m_doc.m_bDirty = true;
}

int CRondoView::TempoPos() const
{
    return m_wndTempo->value();
}

void CRondoView::SetTempoPos(int nBPM)
{
    m_bSettingTempo = true;
    m_wndTempo->setValue(nBPM);
    m_bSettingTempo = false;
}

void CRondoView::PostBpmFromDevice(int nBPM)
{
    // Callback thread: one queued call at a time, the latest tempo wins.
    m_nPendingBpm.store(nBPM);
    if (!m_bBpmPosted.exchange(true)) QMetaObject::invokeMethod(this, &CRondoView::DeliverBpm, Qt::QueuedConnection);
}

void CRondoView::DeliverBpm()
{
    m_bBpmPosted.store(false);
    const int nBPM = m_nPendingBpm.load();
    // A tempo the device's clock set (a JACK transport's master) moves the
    // slider too; the one the slider set reads back as itself.
    if (m_doc.m_bPlaying && nBPM != TempoPos() && nBPM >= CRondoDoc::kMinBPM && nBPM <= CRondoDoc::kMaxBPM)
        SetTempoPos(nBPM);
    Q_EMIT bpmFromDevice(nBPM);
}

void CRondoView::PostPlaybackFailed()
{
    QMetaObject::invokeMethod(this, &CRondoView::DeliverPlaybackFailed, Qt::QueuedConnection);
}

void CRondoView::DeliverPlaybackFailed()
{
    m_doc.OnPlaybackFailed();
    SetTransport(false);
    Q_EMIT commandStateChanged();
    ReportPlayFailure();
}

// --- commands ---

bool CRondoView::IsCommandEnabled(int nCommand) const
{
    const bool bPlaying = m_doc.m_bPlaying;
    switch (nCommand) {
    case ID_EXPORT: return !bPlaying;
    case ID_NOTES:
    case ID_PREFERENCES:
    case ID_MIDI:
    case ID_SOUND: return m_pSheetFrame == nullptr;
    case ID_ADD_VOICE: return m_nVoices < CRondoDoc::kMaxRows && !m_bShifting;
    case ID_DELETE_VOICE: return m_nVoices > CRondoDoc::kMinRows && !m_bShifting;
    case ID_SHIFT_LEFT:
    case ID_SHIFT_RIGHT:
    case ID_LOOP_SAVE_AS: return true;
    case ID_LOOP_NEW:
    case ID_LOOP_OPEN: return !bPlaying && !m_bShifting;
    case ID_LOOP_SAVE: return !m_bShifting;
    default: return false;
    }
}

void CRondoView::OnCommand(int nCommand)
{
    if (!IsCommandEnabled(nCommand)) return;
    switch (nCommand) {
    case ID_EXPORT: m_doc.ExportMidiFile(); break;
    case ID_NOTES: ShowPropertySheet(0, -1); break;
    case ID_PREFERENCES: ShowPropertySheet(1, -1); break;
    case ID_MIDI: ShowPropertySheet(kMidiPage, -1); break;
    case ID_SOUND: ShowPropertySheet(kSoundPage, -1); break;
    case ID_ADD_VOICE: AddVoice(); break;
    case ID_DELETE_VOICE: DeleteVoice(); break;
    case ID_SHIFT_LEFT: m_doc.ShiftBeats(false); break;
    case ID_SHIFT_RIGHT: m_doc.ShiftBeats(true); break;
    case ID_LOOP_NEW: OnLoopNew(); break;
    case ID_LOOP_OPEN: OnLoopOpen(); break;
    case ID_LOOP_SAVE: OnLoopSave(); break;
    case ID_LOOP_SAVE_AS: OnLoopSaveAs(); break;
    default: break;
    }
    Q_EMIT commandStateChanged();
}

void CRondoView::OnLoopNew()
{
    m_doc.NewLoop();
}

void CRondoView::OnLoopOpen()
{
    m_doc.OpenLoopCommand();
}

void CRondoView::OnLoopSave()
{
    SaveLoop();
}

void CRondoView::OnLoopSaveAs()
{
    m_doc.SaveLoopAsCommand();
}

bool CRondoView::SaveLoop()
{
    return m_doc.SaveLoopCommand();
}

// --- rows ---

void CRondoView::AddVoice()
{
    if (m_nVoices >= CRondoDoc::kMaxRows) return;
    const int row = m_nVoices++;
    MoveFrameToFit();
    ShowRow(row, true);
    Q_EMIT commandStateChanged();
}

void CRondoView::DeleteVoice()
{
    const int row = --m_nVoices;
    ShowRow(row, false);
    m_doc.ClearVoiceCells(row);
    if (m_nCurVoice == row) SyncNotesPage(ChangeCurVoice(0));
    MoveFrameToFit();
    Q_EMIT commandStateChanged();
}

void CRondoView::SetCurVoice(int nVoice)
{
    ChangeCurVoice(nVoice);
}

int CRondoView::ChangeCurVoice(int nVoice)
{
    const int previous = m_nCurVoice;
    m_nCurVoice = nVoice;
    // The green label moves.
    m_voiceButtons[size_t(previous)]->update();
    m_voiceButtons[size_t(nVoice)]->update();
    return previous;
}

void CRondoView::SetShifting(bool bShifting)
{
    m_bShifting = bShifting;
    Q_EMIT commandStateChanged();
}

// --- presses and painting ---

void CRondoView::OnVoicePressed(int nVoice)
{
    ShowPropertySheet(0, ChangeCurVoice(nVoice));
}

void CRondoView::OnCellPressed(int nVoice, int nBeat)
{
    {
        std::lock_guard<std::mutex> guard(m_doc.m_lock);
        int& cell = m_doc.m_cells[nVoice][nBeat];
        cell = cell ? 0 : 1;
    }
    m_doc.m_bDirty = true;
    Cell(nVoice, nBeat)->update();
    if (nVoice != m_nCurVoice) {
        const int previous = ChangeCurVoice(nVoice);
        if (m_pSheetFrame) SyncNotesPage(previous);
    }
}

void CRondoView::DrawVoiceButton(QPainter& p, const CVoiceButton& button) const
{
    const int v = button.Voice();
    const QRect rc = button.rect();
    PaintVoiceButton(p, rc, button.isDown(), v == m_nCurVoice, m_doc.VoiceName(v), palette().color(QPalette::Button));
    if (button.hasFocus()) {
        // Keyboard users see where the space bar goes.
        p.setPen(QPen(palette().color(QPalette::WindowText), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(rc.adjusted(3, 3, -4, -4));
    }
}

void CRondoView::DrawBeatCell(QPainter& p, const CBeatCell& cell) const
{
    // Only this thread writes the cells, so reading needs no lock.
    PaintBeatCell(p, cell.rect(), m_doc.IsCellOn(cell.Voice(), cell.Beat()), ColorFromRef(m_crNote),
                  ColorFromRef(m_crNoteOn), ColorFromRef(m_crNoteOff));
}

void CRondoView::InvalidateView()
{
    update();
    for (CVoiceButton* pButton : m_voiceButtons) pButton->update();
    for (CBeatCell* pCell : m_cellButtons) pCell->update();
}

void CRondoView::InvalidateCells(int nVoice)
{
    for (int b = 0; b < CRondoDoc::kBeats; ++b) Cell(nVoice, b)->update();
}

void CRondoView::SetWindowTitle(const QString& title)
{
    window()->setWindowTitle(title);
}

// --- property window ---

void CRondoView::ShowPropertySheet(int nPage, int nPreviousVoice)
{
    if (m_pSheetFrame == nullptr) {
        IPropSheetFrame* pFrame = m_sheetFactory ? m_sheetFactory(*this) : nullptr;
        // Nothing opened: the commands stay enabled for another try.
        if (pFrame == nullptr) return;
        m_pSheetFrame = pFrame;
        QWidget* pWindow = pFrame->Window();
        const CSettingsStore& settings = m_doc.Settings();
        pWindow->move(settings.GetInt("Screen2", "x", 0), settings.GetInt("Screen2", "y", 0));
        if (!pWindow->isVisible()) pWindow->show();
        // A place left on a screen that is gone would hide the window.
        const QRect rcFrame = pWindow->frameGeometry();
        if (QGuiApplication::screenAt(rcFrame.topLeft()) == nullptr) {
            const QRect rcWork = screen()->availableGeometry();
            pWindow->move(std::max(rcWork.left(), std::min(rcFrame.left(), rcWork.right() + 1 - rcFrame.width())),
                          std::max(rcWork.top(), std::min(rcFrame.top(), rcWork.bottom() + 1 - rcFrame.height())));
        }
        pFrame->SetActivePage(nPage);
        Q_EMIT commandStateChanged();
    } else if (nPreviousVoice >= 0 && nPage == 0) {
        SyncNotesPage(nPreviousVoice);
    }
    if (nPage == 0 && nPreviousVoice >= 0 && nPreviousVoice != m_nCurVoice)
        m_voiceButtons[size_t(nPreviousVoice)]->update();
}

void CRondoView::SyncNotesPage(int nPreviousVoice)
{
    if (m_pSheetFrame) m_pSheetFrame->SyncNotesPage(nPreviousVoice);
}

void CRondoView::OnSheetClosed()
{
    m_pSheetFrame = nullptr;
    Q_EMIT commandStateChanged();
}

void CRondoView::CloseSheet()
{
    if (m_pSheetFrame == nullptr) return;
    QPointer<QWidget> pWindow = m_pSheetFrame->Window();
    QMetaObject::invokeMethod(
        this, [pWindow] { if (pWindow) pWindow->close(); }, Qt::QueuedConnection);
}

void CRondoView::SetNoteReminderEnabled(bool bEnabled)
{
    if (m_pSheetFrame) m_pSheetFrame->SetNoteReminderEnabled(bEnabled);
}

// --- dialogs ---

IRondoView::MsgResult CRondoView::MessageBox(const QString& text, MsgKind kind)
{
    if (m_onMessage) return m_onMessage(text, kind);
    const std::unique_ptr<QMessageBox> pBox = CreateMessageBox(text, kind);
    const int nResult = pBox->exec();
    switch (kind) {
    case MsgKind::Ok: return MsgResult::Ok;
    case MsgKind::PlayFailed:
        return pBox->clickedButton() == pBox->defaultButton() ? MsgResult::Settings : MsgResult::Ok;
    case MsgKind::YesNoCancel: break;
    }
    switch (nResult) {
    case QMessageBox::Yes: return MsgResult::Yes;
    case QMessageBox::No: return MsgResult::No;
    default: return MsgResult::Cancel;
    }
}

std::unique_ptr<QMessageBox> CRondoView::CreateMessageBox(const QString& text, MsgKind kind)
{
    auto pBox = std::make_unique<QMessageBox>(window());
    pBox->setWindowTitle(QStringLiteral("Rondo"));
    pBox->setText(text);
    switch (kind) {
    case MsgKind::Ok:
        pBox->setIcon(QMessageBox::Warning);
        pBox->setStandardButtons(QMessageBox::Ok);
        break;
    case MsgKind::PlayFailed: {
        pBox->setIcon(QMessageBox::Warning);
        // The settings that decide it: the built-in synthesizer's, or the device's.
        QPushButton* pSettings = pBox->addButton(
            m_doc.m_uDeviceID == MIDI_MAPPER ? QStringLiteral("&Sound Settings...") : QStringLiteral("&MIDI Settings..."),
            QMessageBox::AcceptRole);
        pBox->addButton(QMessageBox::Close);
        pBox->setDefaultButton(pSettings);
        break;
    }
    case MsgKind::YesNoCancel:
        pBox->setIcon(QMessageBox::Question);
        pBox->setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        pBox->setDefaultButton(QMessageBox::Yes);
        pBox->setEscapeButton(QMessageBox::Cancel);
        break;
    }
    return pBox;
}

std::optional<QString> CRondoView::ChooseFile(FileKind kind, const QString& initialName)
{
    if (m_onChooseFile) return m_onChooseFile(kind, initialName);
    QFileDialog dlg(window());
    const QFileInfo initial(initialName);
    if (initialName.contains(QDir::separator())) dlg.setDirectory(initial.absolutePath());
    switch (kind) {
    case FileKind::OpenLoop:
        dlg.setWindowTitle(QStringLiteral("Open"));
        dlg.setAcceptMode(QFileDialog::AcceptOpen);
        dlg.setFileMode(QFileDialog::ExistingFile);
        dlg.setNameFilters({QStringLiteral("Rondo Files (*.rlf)")});
        dlg.setDefaultSuffix(QStringLiteral("rlf"));
        break;
    case FileKind::SaveLoop:
        dlg.setWindowTitle(QStringLiteral("Save As"));
        dlg.setAcceptMode(QFileDialog::AcceptSave);
        dlg.setNameFilters({QStringLiteral("Rondo Files (*.rlf)"), QStringLiteral("All Files (*)")});
        dlg.setDefaultSuffix(QStringLiteral("rlf"));
        dlg.selectFile(initial.fileName());
        break;
    case FileKind::SoundFont:
        dlg.setWindowTitle(QStringLiteral("Sound Font"));
        dlg.setAcceptMode(QFileDialog::AcceptOpen);
        dlg.setFileMode(QFileDialog::ExistingFile);
        dlg.setNameFilters({QStringLiteral("Sound Fonts (*.sf2 *.sf3)"), QStringLiteral("All Files (*)")});
        if (!initialName.isEmpty()) dlg.selectFile(initialName);
        break;
    case FileKind::ExportMidi:
        dlg.setWindowTitle(QStringLiteral("Export"));
        dlg.setAcceptMode(QFileDialog::AcceptSave);
        dlg.setNameFilters({QStringLiteral("MIDI Files (*.mid)"), QStringLiteral("All Files (*)")});
        dlg.setDefaultSuffix(QStringLiteral("mid"));
        dlg.selectFile(initial.fileName());
        break;
    }
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
    return QDir::cleanPath(dlg.selectedFiles().constFirst());
}
