// Renders the editor window with a demonstration loop to PNG files, for the
// README and for looking at the window without a display:
//   rondo_screenshot OUT_DIR
// Run it with QT_QPA_PLATFORM=offscreen (and QT_SCALE_FACTOR=2 for 200 %).

#include "app/MainFrame.h"
#include "app/RondoApp.h"
#include "doc/RondoDoc.h"
#include "midiout/VirtualMidiOut.h"
#include "view/RondoView.h"

#include <QApplication>
#include <QDir>
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

// A rock beat with a fill on the toms.
constexpr DemoVoice kDemo[] = {
    {"Kick", 36, "x.....x.x.....x."}, {"Snare", 38, "....x.......x..x"}, {"Closed Hat", 42, "x.x.x.x.x.x.x.x."},
    {"Open Hat", 46, "..............x."}, {"Crash", 49, "x..............."}, {"High Tom", 50, "..........x....."},
    {"Low Tom", 45, "...........x...."},
};

void FillDemo(CRondoDoc& doc)
{
    int v = 0;
    for (const DemoVoice& voice : kDemo) {
        std::memset(doc.m_voices[v].szName, 0, sizeof doc.m_voices[v].szName);
        std::strncpy(doc.m_voices[v].szName, voice.name, CRondoDoc::kNameMax);
        doc.m_voices[v].byPitch = uint8_t(voice.pitch);
        for (int b = 0; b < CRondoDoc::kBeats; ++b) doc.m_cells[v][b] = voice.beats[b] == 'x' ? 1 : 0;
        ++v;
    }
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
    pView->InvalidateView();
    pView->SetWindowTitle(QStringLiteral("Rock Beat - Rondo"));
    pFrame->OnBpmFromDevice(100);
    QApplication::processEvents();

    const QString file = outDir + QStringLiteral("/main-window.png");
    if (!pFrame->grab().save(file)) {
        std::fprintf(stderr, "rondo_screenshot: cannot write %s\n", qPrintable(file));
        return 1;
    }
    std::printf("%s\n", qPrintable(file));
    doc.m_bDirty = false;
    return 0;
}
