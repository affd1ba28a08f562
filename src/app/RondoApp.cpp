#include "app/RondoApp.h"

#include "app/CommandLine.h"
#include "app/MainFrame.h"
#include "doc/DataFiles.h"
#include "doc/RondoDoc.h"
#include "midiout/SystemMidiOut.h"
#include "sheet/PropSheet.h"
#include "view/RondoView.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>

CRondoApp::CRondoApp(IMidiOutService* pMidiOut) : m_pMidiOut(pMidiOut) {}

CRondoApp::~CRondoApp()
{
    // However the program ends, the callback thread must be gone before the
    // view it reports to.
    if (m_pDoc) m_pDoc->Stop();
    m_pFrame.reset();
    m_pDoc.reset();
}

bool CRondoApp::InitInstance(const QString& loopFile)
{
    // A store that cannot be opened reads as defaults.
    m_settings.OpenForApplication();
    if (m_pMidiOut == nullptr) {
        m_pSystemMidiOut = std::make_unique<CSystemMidiOut>(SynthOptions::FromSettings(m_settings), &m_settings);
        // The sound font loads while the user draws the first loop.
        m_pSystemMidiOut->PreloadSynth();
        m_pMidiOut = m_pSystemMidiOut.get();
    }
    m_pDoc = std::make_unique<CRondoDoc>(m_settings, *m_pMidiOut);
    m_pDoc->m_strExampleFolder = ExampleLoopFolder();
    m_pFrame = std::make_unique<CMainFrame>(*m_pDoc);
    CRondoView* pView = m_pFrame->GetActiveView();
    pView->m_sheetFactory = [](CRondoView& view) -> IPropSheetFrame* { return new CPropSheetFrame(view); };
    pView->OnInitialUpdate();
    m_pFrame->show();
    if (!loopFile.isEmpty()) m_pDoc->LoadLoopFrom(QFileInfo(loopFile).absoluteFilePath());
    return true;
}

int RunEditor(int argc, char** argv)
{
    QApplication app(argc, argv);
    SetApplicationIdentity();
    // Names the installed launcher, so desktops match the window to it.
    QApplication::setDesktopFileName(QStringLiteral(RONDO_APP_ID));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/rondo.svg")));

    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("LOOP.rlf"), QStringLiteral("The loop to open."));
    if (!parser.parse(QApplication::arguments()) || parser.positionalArguments().size() > 1) {
        const QString error = parser.errorText().isEmpty() ? QStringLiteral("give at most one loop file.")
                                                           : parser.errorText();
        std::fprintf(stderr, "rondo: %s (see rondo --help)\n", error.toLocal8Bit().constData());
        return kExitUsage;
    }
    CRondoApp theApp;
    if (!theApp.InitInstance(parser.positionalArguments().value(0))) return kExitFileError;
    return QApplication::exec();
}
