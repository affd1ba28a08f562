#include "view/RondoView.h"

#include "doc/RondoDoc.h"
#include "settings/SettingsStore.h"
#include "view/Commands.h"
#include "view/ExportAudioDlg.h"
#include "view/GridAccessible.h"
#include "view/GridButtons.h"
#include "view/PropSheetHost.h"

#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QLayout>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

constexpr int kRowTop = 34;  // dialog units
constexpr int kFirstTempo = 100;
// Often enough that the lit step changes within a few milliseconds of the
// stream's clock; each look is one atomic read.
constexpr int kPlayheadMs = 10;

// Undo and Redo reach the loop even while the swing has the focus: the
// spin box's own text undo would only make another step.
class CSwingBox final : public QSpinBox
{
public:
    using QSpinBox::QSpinBox;

protected:
    bool event(QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::ShortcutOverride) {
            const auto* pKey = static_cast<QKeyEvent*>(pEvent);
            const QKeySequence key(pKey->keyCombination());
            if (pKey->matches(QKeySequence::Undo) || pKey->matches(QKeySequence::Redo) ||
                key == QKeySequence(QStringLiteral("Ctrl+Y")))
                return QWidget::event(pEvent);
        }
        return QSpinBox::event(pEvent);
    }
};

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
    m_wndSwing = new CSwingBox(this);
    m_wndSwing->setRange(swing::kStraight, swing::kMax);
    m_wndSwing->setValue(swing::kStraight);
    m_wndSwing->setPrefix(QStringLiteral("Swing "));
    m_wndSwing->setSuffix(QStringLiteral(" %"));
    m_wndSwing->setAccessibleName(QStringLiteral("Swing"));
    m_wndSwing->setToolTip(QStringLiteral("Swing: how late the off-beat sixteenths come; 50 % plays straight"));
    for (QWidget* w : {static_cast<QWidget*>(m_btnStart), static_cast<QWidget*>(m_btnStop), static_cast<QWidget*>(m_wndTempo),
                       static_cast<QWidget*>(m_wndSwing)})
        w->setFocusPolicy(Qt::StrongFocus);
    InstallGridAccessibility();
    for (int v = 0; v < CRondoDoc::kVoices; ++v) {
        m_voiceButtons[size_t(v)] = new CVoiceButton(*this, v);
        for (int b = 0; b < CRondoDoc::kBeats; ++b) m_cellButtons[size_t(v * 16 + b)] = new CBeatCell(*this, v, b);
        m_muteSwitches[size_t(v)] = new CVoiceSwitch(*this, v, CVoiceSwitch::Mute);
        m_soloSwitches[size_t(v)] = new CVoiceSwitch(*this, v, CVoiceSwitch::Solo);
    }
    // Tab goes through the transport, down the voice buttons, then into the
    // grid at its one focus cell.
    QWidget* pPrev = m_btnStart;
    for (QWidget* w : {static_cast<QWidget*>(m_btnStop), static_cast<QWidget*>(m_wndTempo), static_cast<QWidget*>(m_wndSwing)}) {
        setTabOrder(pPrev, w);
        pPrev = w;
    }
    for (CVoiceButton* pButton : m_voiceButtons) {
        setTabOrder(pPrev, pButton);
        pPrev = pButton;
    }
    // Widgets without focus are left out of the chain: each cell takes its
    // place while it could take the focus, and only one keeps it.
    for (CBeatCell* pCell : m_cellButtons) {
        pCell->setFocusPolicy(Qt::TabFocus);
        setTabOrder(pPrev, pCell);
        pPrev = pCell;
    }
    for (CBeatCell* pCell : m_cellButtons) pCell->setFocusPolicy(pCell == FocusCell() ? Qt::TabFocus : Qt::NoFocus);

    m_playheadTimer = new QTimer(this);
    m_playheadTimer->setInterval(kPlayheadMs);
    connect(m_playheadTimer, &QTimer::timeout, this, &CRondoView::UpdatePlayhead);

    connect(m_btnStart, &QPushButton::clicked, this, &CRondoView::OnStart);
    connect(m_btnStop, &QPushButton::clicked, this, &CRondoView::OnStop);
    connect(m_wndTempo, &QSlider::valueChanged, this, &CRondoView::OnTempoChanged);
    // One drag of the slider is one undo step.
    connect(m_wndTempo, &QSlider::sliderReleased, this, [this] { m_doc.CommitEdit("Tempo"); });
    connect(m_wndSwing, &QSpinBox::valueChanged, this, &CRondoView::OnSwingChanged);

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
    return QSize(m_nFormWidth, m_du.Y(105) + (nRows - CRondoDoc::kMinRows) * RowPitch());
}

void CRondoView::LayOut()
{
    m_wndTempo->setGeometry(m_du.Rect(125, 8, 90, 24));
    m_wndSwing->setGeometry(m_du.Rect(220, 10, 55, 15));
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
        // Mute and solo at the end of the row, clear of the last cell
        // however the columns rounded.
        const int mute = Cell(v, CRondoDoc::kBeats - 1)->geometry().right() + 1 + m_du.X(4);
        const int solo = mute + m_du.X(9) + m_du.X(1);
        m_muteSwitches[size_t(v)]->setGeometry(mute, cell0.top() + v * h, m_du.X(9), cell0.height());
        m_soloSwitches[size_t(v)]->setGeometry(solo, cell0.top() + v * h, m_du.X(9), cell0.height());
        m_nFormWidth = std::max(m_du.X(280), solo + m_du.X(9) + m_du.X(6));
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
    m_muteSwitches[size_t(nRow)]->setVisible(bShow);
    m_soloSwitches[size_t(nRow)]->setVisible(bShow);
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
        m_playheadTimer->start();
        UpdatePlayhead();
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
    StopPlayhead();
    Q_EMIT bpmFromDevice(0);
    Q_EMIT commandStateChanged();
}

void CRondoView::OnTempoChanged(int nPos)
{
    // Any move while playing, by mouse or key, is the tempo that plays and
    // the loop's tempo; a drag becomes an undo step when it ends.
    if (m_bSettingTempo || !m_doc.m_bPlaying) return;
    m_doc.SetTempo(unsigned(nPos));
    m_doc.SetLoopTempo(nPos);
    if (!m_wndTempo->isSliderDown()) m_doc.CommitEdit("Tempo");
}

void CRondoView::OnSwingChanged(int nSwing)
{
    if (m_bSettingSwing) return;
    m_doc.SetSwing(nSwing);
    m_doc.CommitEdit("Swing");
    // Swing moves where the off-beats' steps begin.
    UpdatePlayhead();
}

void CRondoView::SetSwingPos(int nSwing)
{
    m_bSettingSwing = true;
    m_wndSwing->setValue(nSwing);
    m_bSettingSwing = false;
}

void CRondoView::HistoryChanged()
{
    Q_EMIT commandStateChanged();
}

// --- the playhead ---

void CRondoView::UpdatePlayhead()
{
    const int step = m_doc.PlayingStep();
    if (step == m_nPlayStep) return;
    const int previous = m_nPlayStep;
    m_nPlayStep = step;
    InvalidateColumn(previous);
    InvalidateColumn(step);
}

void CRondoView::StopPlayhead()
{
    m_playheadTimer->stop();
    UpdatePlayhead();
}

void CRondoView::InvalidateColumn(int nBeat)
{
    if (nBeat < 0 || nBeat >= CRondoDoc::kBeats) return;
    for (int v = 0; v < m_nVoices; ++v) Cell(v, nBeat)->update();
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
    // A report that arrives after the stop belongs to a playback that ended.
    if (!m_doc.m_bPlaying) return;
    const int nBPM = m_nPendingBpm.load();
    // A tempo the device's clock set (a JACK transport's master) moves the
    // slider too, and is the loop's tempo from now on: an undo step. The one
    // the slider set reads back as itself; a drag in progress keeps the thumb.
    if (nBPM != TempoPos() && nBPM >= CRondoDoc::kMinBPM && nBPM <= CRondoDoc::kMaxBPM && !m_wndTempo->isSliderDown()) {
        SetTempoPos(nBPM);
        m_doc.CommitEdit("Tempo");
    }
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
    StopPlayhead();
    Q_EMIT bpmFromDevice(0);
    Q_EMIT commandStateChanged();
    ReportPlayFailure();
}

// --- commands ---

bool CRondoView::IsCommandEnabled(int nCommand) const
{
    const bool bPlaying = m_doc.m_bPlaying;
    switch (nCommand) {
    case ID_EXPORT: return !bPlaying;
    // Renders a copy of the loop on a synthesizer of its own: playing may go on.
    case ID_EXPORT_AUDIO: return !m_bShifting;
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
    case ID_EDIT_UNDO: return m_doc.History().CanUndo() && !m_bShifting;
    case ID_EDIT_REDO: return m_doc.History().CanRedo() && !m_bShifting;
    default: return false;
    }
}

void CRondoView::OnCommand(int nCommand)
{
    if (!IsCommandEnabled(nCommand)) return;
    switch (nCommand) {
    case ID_EXPORT: m_doc.ExportMidiFile(); break;
    case ID_EXPORT_AUDIO: m_doc.ExportAudioCommand(); break;
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
    case ID_EDIT_UNDO:
        EndStroke();
        m_doc.Undo();
        break;
    case ID_EDIT_REDO:
        EndStroke();
        m_doc.Redo();
        break;
    default: break;
    }
    Q_EMIT commandStateChanged();
}

void CRondoView::OnLoopNew()
{
    if (m_doc.NewLoop()) Q_EMIT bpmFromDevice(0);
}

void CRondoView::OnLoopOpen()
{
    if (m_doc.OpenLoopCommand()) Q_EMIT bpmFromDevice(0);
}

void CRondoView::OnLoopSave()
{
    SaveLoop();
}

void CRondoView::OnLoopSaveAs()
{
    m_doc.SaveLoopAsCommand();
}

std::optional<AudioFileJob> CRondoView::ChooseAudioExport(const AudioFileJob& initial)
{
    if (m_onChooseAudioExport) return m_onChooseAudioExport(initial);
    CExportAudioDlg dlg(initial, window());
    if (dlg.exec() != QDialog::Accepted) return std::nullopt;
    return dlg.Choices();
}

void CRondoView::RunTask(const QString& label, int64_t nTotal, const std::function<void(TaskProgress&)>& work)
{
    TaskProgress progress;
    QProgressDialog dlg(label + QStringLiteral("..."), QStringLiteral("Cancel"), 0, 1000, window());
    dlg.setWindowTitle(QStringLiteral("Rondo"));
    dlg.setWindowModality(Qt::WindowModal);
    dlg.setMinimumDuration(300);
    dlg.setAutoReset(false);
    dlg.setAutoClose(false);
    connect(&dlg, &QProgressDialog::canceled, &dlg, [&progress] { progress.bCancel = true; });
    // The work keeps to itself and its progress; the window only reads it.
    QThread* pThread = QThread::create([&work, &progress] { work(progress); });
    QEventLoop loop;
    connect(pThread, &QThread::finished, &loop, &QEventLoop::quit);
    QTimer timer;
    connect(&timer, &QTimer::timeout, &dlg, [&] {
        const int64_t done = progress.nDone.load(std::memory_order_relaxed);
        dlg.setValue(nTotal > 0 ? int(std::min<int64_t>(1000, done * 1000 / nTotal)) : 0);
    });
    timer.start(50);
    pThread->start();
    loop.exec();
    pThread->wait();
    delete pThread;
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
    if (m_nFocusVoice == row) MoveFocusCell(0, m_nFocusBeat);
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

void CRondoView::SelectCellVoice(int nVoice)
{
    if (nVoice == m_nCurVoice) return;
    const int previous = ChangeCurVoice(nVoice);
    if (m_pSheetFrame) SyncNotesPage(previous);
}

void CRondoView::SetCellLevel(int nVoice, int nBeat, CellLevel level)
{
    m_doc.SetLevel(nVoice, nBeat, level);
    Cell(nVoice, nBeat)->update();
}

void CRondoView::OnCellPressed(int nVoice, int nBeat)
{
    EndStroke();
    SetCellLevel(nVoice, nBeat, m_doc.IsCellOn(nVoice, nBeat) ? CellLevel::Off : CellLevel::On);
    m_doc.CommitEdit("Paint");
    SelectCellVoice(nVoice);
}

void CRondoView::BeginStroke(int nVoice, int nBeat, Qt::KeyboardModifiers modifiers)
{
    EndStroke();
    m_stroke = Stroke{};
    m_stroke.bActive = true;
    m_stroke.nFirstVoice = m_stroke.nLastVoice = nVoice;
    m_stroke.nFirstBeat = m_stroke.nLastBeat = nBeat;
    m_stroke.lastPos = Cell(nVoice, nBeat)->geometry().center();
    const CellLevel level = m_doc.LevelAt(nVoice, nBeat);
    if (modifiers & Qt::ShiftModifier) {
        m_stroke.bAccents = true;
        m_stroke.brush = cells::kAccent;
        SetCellLevel(nVoice, nBeat, cells::Cycle(level));
    } else {
        const CellLevel now = level == CellLevel::Off ? CellLevel::On : CellLevel::Off;
        m_stroke.brush = cells::ValueOf(now);
        SetCellLevel(nVoice, nBeat, now);
    }
    SelectCellVoice(nVoice);
}

void CRondoView::StrokeTo(const QPoint& posInView, Qt::KeyboardModifiers modifiers)
{
    if (!m_stroke.bActive) return;
    // Every cell on the way, however fast the pointer moved between events.
    const QPoint from = m_stroke.lastPos;
    const QPoint delta = posInView - from;
    const int n = std::max(1, std::max(std::abs(delta.x()), std::abs(delta.y())) / 2);
    for (int i = 1; i <= n; ++i) {
        const QPoint at = from + delta * i / n;
        const auto* pCell = dynamic_cast<const CBeatCell*>(childAt(at));
        if (pCell == nullptr || (pCell->Voice() == m_stroke.nLastVoice && pCell->Beat() == m_stroke.nLastBeat)) continue;
        PaintStrokeCell(pCell->Voice(), pCell->Beat(), modifiers);
    }
    m_stroke.lastPos = posInView;
}

void CRondoView::PaintStrokeCell(int nVoice, int nBeat, Qt::KeyboardModifiers modifiers)
{
    m_stroke.nLastVoice = nVoice;
    m_stroke.nLastBeat = nBeat;
    int32_t value = m_stroke.brush;
    if (m_stroke.bAccents && !m_stroke.bFirstAccent) {
        // A Shift press that becomes a drag is an accent stroke from its first cell.
        m_stroke.bFirstAccent = true;
        SetCellLevel(m_stroke.nFirstVoice, m_stroke.nFirstBeat, CellLevel::Accent);
    }
    if ((modifiers & Qt::ShiftModifier) && value != cells::kOff) value = cells::kAccent;
    m_doc.SetCell(nVoice, nBeat, value);
    Cell(nVoice, nBeat)->update();
}

void CRondoView::EndStroke()
{
    if (!m_stroke.bActive) return;
    m_stroke.bActive = false;
    m_doc.CommitEdit(m_stroke.bAccents ? "Accent" : "Paint");
}

void CRondoView::StepLevel(int nVoice, int nBeat, int nSteps)
{
    const CellLevel level = cells::Step(m_doc.LevelAt(nVoice, nBeat), nSteps);
    if (level == m_doc.LevelAt(nVoice, nBeat)) return;
    SetCellLevel(nVoice, nBeat, level);
    m_doc.CommitEdit("Accent", CRondoDoc::kMergeCellLevel + nVoice * CRondoDoc::kBeats + nBeat);
}

void CRondoView::CycleLevel(int nVoice, int nBeat)
{
    EndStroke();
    SetCellLevel(nVoice, nBeat, cells::Cycle(m_doc.LevelAt(nVoice, nBeat)));
    m_doc.CommitEdit("Accent");
}

bool CRondoView::IsGridKey(const QKeyEvent& event)
{
    if (event.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
    switch (event.key()) {
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_Space:
    case Qt::Key_Plus:
    case Qt::Key_Equal:
    case Qt::Key_Minus:
    case Qt::Key_M:
    case Qt::Key_S: return true;
    default: return false;
    }
}

bool CRondoView::OnCellKey(int nVoice, int nBeat, QKeyEvent* pEvent)
{
    if (!IsGridKey(*pEvent)) return false;
    pEvent->accept();
    switch (pEvent->key()) {
    case Qt::Key_Left: MoveFocusCell(nVoice, nBeat - 1); break;
    case Qt::Key_Right: MoveFocusCell(nVoice, nBeat + 1); break;
    case Qt::Key_Up: MoveFocusCell(nVoice - 1, nBeat); break;
    case Qt::Key_Down: MoveFocusCell(nVoice + 1, nBeat); break;
    case Qt::Key_Home: MoveFocusCell(nVoice, 0); break;
    case Qt::Key_End: MoveFocusCell(nVoice, CRondoDoc::kBeats - 1); break;
    case Qt::Key_Space:
        if (pEvent->isAutoRepeat()) break;
        if (pEvent->modifiers() & Qt::ShiftModifier) CycleLevel(nVoice, nBeat);
        else OnCellPressed(nVoice, nBeat);
        break;
    case Qt::Key_Plus:
    case Qt::Key_Equal: StepLevel(nVoice, nBeat, +1); break;
    case Qt::Key_Minus: StepLevel(nVoice, nBeat, -1); break;
    default: return OnMixerKey(nVoice, pEvent);
    }
    return true;
}

bool CRondoView::OnMixerKey(int nVoice, QKeyEvent* pEvent)
{
    if (pEvent->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return false;
    if (pEvent->key() == Qt::Key_M) MuteSwitch(nVoice)->toggle();
    else if (pEvent->key() == Qt::Key_S) SoloSwitch(nVoice)->toggle();
    else return false;
    pEvent->accept();
    return true;
}

void CRondoView::MoveFocusCell(int nVoice, int nBeat)
{
    nVoice = std::clamp(nVoice, 0, m_nVoices - 1);
    nBeat = std::clamp(nBeat, 0, CRondoDoc::kBeats - 1);
    CBeatCell* pOld = FocusCell();
    CBeatCell* pNew = Cell(nVoice, nBeat);
    if (pOld == pNew) return;
    const bool bHadFocus = pOld->hasFocus();
    m_nFocusVoice = nVoice;
    m_nFocusBeat = nBeat;
    // Only this cell is a tab stop: Tab leaves the grid in one step.
    pNew->setFocusPolicy(Qt::TabFocus);
    if (bHadFocus) pNew->setFocus(Qt::OtherFocusReason);
    pOld->setFocusPolicy(Qt::NoFocus);
    pOld->update();
    pNew->update();
}

void CRondoView::OnCellFocused(int nVoice, int nBeat)
{
    MoveFocusCell(nVoice, nBeat);
    SelectCellVoice(nVoice);
    Cell(nVoice, nBeat)->update();
}

void CRondoView::OnSwitchToggled(int nVoice, int nKind, bool bOn)
{
    if (nKind == CVoiceSwitch::Mute) m_doc.SetMuted(nVoice, bOn);
    else m_doc.SetSolo(nVoice, bOn);
    // A solo silences every other row: all of them repaint.
    for (CBeatCell* pCell : m_cellButtons) pCell->update();
    m_voiceButtons[size_t(nVoice)]->update();
}

void CRondoView::RefreshSwitches()
{
    for (int v = 0; v < CRondoDoc::kVoices; ++v) {
        for (CVoiceSwitch* pSwitch : {MuteSwitch(v), SoloSwitch(v)}) {
            const QSignalBlocker block(pSwitch);
            pSwitch->setChecked(pSwitch->SwitchKind() == CVoiceSwitch::Mute ? m_doc.IsMuted(v) : m_doc.IsSolo(v));
            pSwitch->update();
        }
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
    const int v = cell.Voice(), b = cell.Beat();
    CellLook look{ColorFromRef(m_crNote), ColorFromRef(m_crNoteOn), ColorFromRef(m_crNoteOff)};
    look.bPlayhead = b == m_nPlayStep;
    look.bSilent = !m_doc.IsAudible(v);
    // Only this thread writes the cells, so reading needs no lock.
    PaintBeatCell(p, cell.rect(), m_doc.LevelAt(v, b), look);
    if (cell.hasFocus()) {
        const QRect rc = cell.rect().adjusted(1, 1, -3, -2);
        p.setPen(QPen(QColor(255, 255, 255), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRect(rc);
        p.setPen(QPen(QColor(0, 0, 0), 1, Qt::DotLine));
        p.drawRect(rc);
    }
}

void CRondoView::DrawVoiceSwitch(QPainter& p, const CVoiceSwitch& button) const
{
    const QRect rc = button.rect();
    const bool bOn = button.isChecked();
    const QColor lit = button.SwitchKind() == CVoiceSwitch::Mute ? QColor(255, 191, 0) : QColor(110, 210, 110);
    p.fillRect(rc, bOn ? lit : palette().color(QPalette::Button));
    PaintButtonEdge(p, rc, bOn || button.isDown());
    QFont font = p.font();
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(0, 0, 0));
    p.drawText(rc.adjusted(0, 1, 0, 0), Qt::AlignCenter, button.text());
}

QString CRondoView::VoiceLabel(int nVoice) const
{
    const QString name = m_doc.VoiceName(nVoice);
    return name.trimmed().isEmpty() ? QStringLiteral("Voice %1").arg(nVoice + 1) : name;
}

QString CRondoView::CellAccessibleName(int nVoice, int nBeat) const
{
    return QStringLiteral("%1, step %2, %3")
        .arg(VoiceLabel(nVoice))
        .arg(nBeat + 1)
        .arg(QLatin1String(cells::LevelName(m_doc.LevelAt(nVoice, nBeat))));
}

QString CRondoView::VoiceAccessibleName(int nVoice) const
{
    QStringList parts{VoiceLabel(nVoice), QStringLiteral("voice %1").arg(nVoice + 1)};
    if (nVoice == m_nCurVoice) parts << QStringLiteral("current");
    if (m_doc.IsMuted(nVoice)) parts << QStringLiteral("muted");
    if (m_doc.IsSolo(nVoice)) parts << QStringLiteral("solo");
    return parts.join(QStringLiteral(", "));
}

QString CRondoView::SwitchAccessibleName(int nVoice, int nKind) const
{
    return (nKind == CVoiceSwitch::Mute ? QStringLiteral("Mute %1") : QStringLiteral("Solo %1")).arg(VoiceLabel(nVoice));
}

void CRondoView::InvalidateView()
{
    update();
    for (CVoiceButton* pButton : m_voiceButtons) pButton->update();
    for (CBeatCell* pCell : m_cellButtons) pCell->update();
    RefreshSwitches();
    // An undo may have changed the pitch or the name the Notes page shows.
    if (m_pSheetFrame) {
        m_pSheetFrame->SyncNotesPage(-1);
        m_pSheetFrame->Window()->update();
    }
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
    case FileKind::ExportAudio: {
        // The extension of the format chosen in the dialog before.
        const QString suffix = initial.suffix();
        dlg.setWindowTitle(QStringLiteral("Export Audio"));
        dlg.setAcceptMode(QFileDialog::AcceptSave);
        dlg.setNameFilters({suffix == QStringLiteral("flac") ? QStringLiteral("FLAC Files (*.flac)")
                                                              : QStringLiteral("WAV Files (*.wav)"),
                            QStringLiteral("All Files (*)")});
        dlg.setDefaultSuffix(suffix);
        dlg.selectFile(initial.fileName());
        break;
    }
    }
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
    return QDir::cleanPath(dlg.selectedFiles().constFirst());
}
