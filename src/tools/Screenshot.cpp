// Renders the editor window with a demonstration loop (stopped, and playing
// with its playhead), the Edit menu, its property window on each page and
// the About box to PNG files, for the README and for
// looking at them without a display:
//   rondo_screenshot OUT_DIR
// Run it with QT_QPA_PLATFORM=offscreen (and QT_SCALE_FACTOR=2 for 200 %).

#include "app/MainFrame.h"
#include "app/RondoApp.h"
#include "doc/RondoDoc.h"
#include "midiout/SynthDriver.h"
#include "midiout/VirtualMidiOut.h"
#include "sheet/AboutDlg.h"
#include "sheet/PropSheet.h"
#include "view/ColorButton.h"
#include "view/ExportAudioDlg.h"
#include "view/GridButtons.h"
#include "view/RondoView.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSpinBox>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>

namespace {

struct DemoVoice
{
    const char* name;
    int pitch;
    const char* beats;  // 'x' on, '.' off
};

// A rock beat with a fill on the toms: 'x' a hit, 'A' an accent, 'g' a ghost.
constexpr DemoVoice kDemo[] = {
    {"Kick", 36, "A.....x.A.....x."}, {"Snare", 38, "..g.A..g..g.A..x"}, {"Closed Hat", 42, "AxxxAxxxAxxxAxxx"},
    {"Open Hat", 46, "..............x."}, {"Crash", 49, "A..............."}, {"High Tom", 50, "..........x....."},
    {"Low Tom", 45, "...........x...."},
};

void FillDemo(CRondoDoc& doc)
{
    int v = 0;
    for (const DemoVoice& voice : kDemo) {
        std::memset(doc.m_voices[v].szName, 0, sizeof doc.m_voices[v].szName);
        std::strncpy(doc.m_voices[v].szName, voice.name, CRondoDoc::kNameMax);
        doc.m_voices[v].byPitch = uint8_t(voice.pitch);
        for (int b = 0; b < CRondoDoc::kBeats; ++b) {
            const char c = voice.beats[b];
            doc.SetCell(v, b, c == 'A' ? cells::kAccent : c == 'g' ? cells::kGhost : c == 'x' ? cells::kOn : cells::kOff);
        }
        ++v;
    }
}

bool Save(QWidget* pWidget, const QString& file)
{
    QApplication::processEvents();
    if (!pWidget->grab().save(file)) {
        std::fprintf(stderr, "rondo_screenshot: cannot write %s\n", qPrintable(file));
        return false;
    }
    std::printf("%s\n", qPrintable(file));
    return true;
}

// The pointer resting on a control, as the mouse leaves it.
void Hover(QWidget* pControl)
{
    const QPoint local(pControl->width() / 2, pControl->height() / 2);
    QMouseEvent move(QEvent::MouseMove, QPointF(local), QPointF(pControl->mapToGlobal(local)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(pControl, &move);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: rondo_screenshot OUT_DIR\n");
        return 64;
    }
    // Never the user's own preferences.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    qputenv("XDG_CONFIG_DIRS", config.path().toLocal8Bit());

    QApplication app(argc, argv);
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outDir);

    CVirtualMidiOut midiOut;
    CRondoApp rondo(&midiOut);
    rondo.InitInstance();
    CMainFrame* pFrame = rondo.MainFrame();
    CRondoView* pView = pFrame->GetActiveView();
    CRondoDoc& doc = *rondo.Document();

    FillDemo(doc);
    while (pView->m_nVoices < int(std::size(kDemo))) pView->AddVoice();
    pView->SetCurVoice(1);
    doc.CommitEdit("Paint");
    pView->SwingBox()->setValue(58);
    pView->InvalidateView();
    pView->SetWindowTitle(QStringLiteral("Rock Beat - Rondo"));
    QApplication::processEvents();

    bool bSaved = Save(pFrame, outDir + QStringLiteral("/main-window.png"));

    // Playing on the virtual clock: the playhead on step 7, the open hat
    // muted, the tempo the device reports.
    pView->OnStart();
    if (CVirtualMidiDriver* pClock = midiOut.Clock()) pClock->AdvanceTo(6 * 150000000LL + 80000000LL);
    QApplication::processEvents();
    pView->UpdatePlayhead();
    pView->MuteSwitch(3)->click();
    pFrame->OnBpmFromDevice(100);
    pView->FocusCell()->setFocus();
    bSaved = Save(pFrame, outDir + QStringLiteral("/playing.png")) && bSaved;
    pView->OnStop();
    pView->MuteSwitch(3)->click();

    // The Edit menu names the step Undo takes back.
    doc.ShiftBeats(true);
    doc.Undo();
    pFrame->UpdateCommandUI();
    if (QMenu* pEdit = pFrame->menuBar()->findChild<QMenu*>(QStringLiteral("editMenu"))) {
        pEdit->popup(pFrame->mapToGlobal(QPoint(0, 0)));
        bSaved = Save(pEdit, outDir + QStringLiteral("/edit-menu.png")) && bSaved;
        pEdit->hide();
    }

    // The property window on each page: the Notes page with a tip showing.
    pView->ShowPropertySheet(CModelessPropSheet::kNotes, -1);
    auto* pSheet = dynamic_cast<CPropSheetFrame*>(pView->m_pSheetFrame);
    if (pSheet == nullptr) return 1;
    Hover(pSheet->m_pSheet->m_notesPage.PitchButton(46));
    bSaved = Save(pSheet, outDir + QStringLiteral("/notes-page.png")) && bSaved;
    pSheet->SetActivePage(CModelessPropSheet::kPreferences);
    bSaved = Save(pSheet, outDir + QStringLiteral("/preferences-page.png")) && bSaved;
    bSaved = Save(pSheet->m_pSheet->m_prefsPage.m_btnNoteOn->Popup(), outDir + QStringLiteral("/color-popup.png")) && bSaved;
    pSheet->SetActivePage(CModelessPropSheet::kMidi);
    bSaved = Save(pSheet, outDir + QStringLiteral("/midi-page.png")) && bSaved;
    pSheet->SetActivePage(CModelessPropSheet::kSound);
    bSaved = Save(pSheet, outDir + QStringLiteral("/sound-page.png")) && bSaved;

    // A Start that found no audio output: the reason this machine gives,
    // or (where one opens) that of an output that does not exist here.
    SynthOptions options = SynthOptions::FromSettings(doc.Settings());
    options.soundFont = QStringLiteral("/usr/share/sounds/sf2/TimGM6mb.sf2");
    QString failure;
    for (const QString& driver : {QString(), QStringLiteral("oss")}) {
        options.audioDriver = driver;
        CSynthEngine engine(options);
        std::unique_ptr<CMidiDriver> driverOpened;
        if (const int err = engine.OpenRealtimeDriver(driverOpened)) {
            failure = midiout::GetErrorText(err);
            break;
        }
    }
    const std::unique_ptr<QMessageBox> pBox = pView->CreateMessageBox(failure, IRondoView::MsgKind::PlayFailed);
    pBox->show();
    bSaved = Save(pBox.get(), outDir + QStringLiteral("/start-failed.png")) && bSaved;
    pBox->hide();

    // Export Audio with the choices of a loop for a sampler.
    AudioFileJob job = doc.AudioExportChoices();
    job.render.nPasses = 2;
    job.render.bLoopReady = true;
    job.format = AudioFormat::Flac;
    CExportAudioDlg exportAudio(job, pFrame);
    bSaved = Save(&exportAudio, outDir + QStringLiteral("/export-audio.png")) && bSaved;

    // The File menu with its recent loops.
    for (const char* name : {"Bossa Nova.rlf", "Rock Beat.rlf"})
        pFrame->AddRecentFile(doc.m_strExampleFolder + u'/' + QString::fromLatin1(name));
    if (QMenu* pFile = pFrame->menuBar()->findChild<QMenu*>(QStringLiteral("fileMenu"))) {
        pFile->popup(pFrame->mapToGlobal(QPoint(0, 0)));
        bSaved = Save(pFile, outDir + QStringLiteral("/file-menu.png")) && bSaved;
        pFile->hide();
    }

    CAboutDlg about(pFrame->m_bVisited, pFrame);
    bSaved = Save(&about, outDir + QStringLiteral("/about.png")) && bSaved;

    doc.m_bDirty = false;
    return bSaved ? 0 : 1;
}
