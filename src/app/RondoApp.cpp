#include "app/RondoApp.h"

#include "app/CommandLine.h"
#include "app/MainFrame.h"
#include "doc/DataFiles.h"
#include "doc/RondoDoc.h"
#include "midiout/SystemMidiOut.h"
#include "sheet/PropSheet.h"
#include "view/RondoView.h"

#include <QApplication>
#include <QFileInfo>

#include <cstdlib>

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

namespace {

// What the platform plugin says while the window's application object is
// built is held back: without a display Qt would print a page of advice and
// abort; we say it in one line and exit.
struct StartupMessage
{
    QtMsgType type;
    QByteArray category;
    QString text;
};
QList<StartupMessage>* g_pStartupMessages = nullptr;

void HoldStartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtFatalMsg) {
        QString reason = text.section(u'\n', 0, 0);
        for (const StartupMessage& held : *g_pStartupMessages) {
            if (held.type != QtDebugMsg && held.type != QtInfoMsg) {
                reason = held.text;
                break;
            }
        }
        PrintError(QStringLiteral("rondo: the editor window needs a display, and none could be opened: %1").arg(reason));
        std::_Exit(kExitFileError);
    }
    g_pStartupMessages->append({type, QByteArray(context.category ? context.category : ""), text});
}

bool PlatformChosen(int argc, char** argv)
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return true;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--") break;
        const QByteArray arg(argv[i]);
        if (arg == "-platform" || arg.startsWith("-platform=")) return true;
    }
    return false;
}

} // namespace

int RunEditor(int argc, char** argv, const QString& loopFile)
{
    if (!PlatformChosen(argc, argv) && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        PrintError(QStringLiteral("rondo: the editor window needs a display, and neither DISPLAY nor WAYLAND_DISPLAY "
                                  "is set (the command-line modes need none: see rondo --help)"));
        return kExitFileError;
    }
    QList<StartupMessage> held;
    g_pStartupMessages = &held;
    qInstallMessageHandler(HoldStartupMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(nullptr);
    g_pStartupMessages = nullptr;
    for (const StartupMessage& message : held)
        qt_message_output(message.type, QMessageLogContext(nullptr, 0, nullptr, message.category.constData()),
                          message.text);

    SetApplicationIdentity();
    // Names the installed launcher, so desktops match the window to it.
    QApplication::setDesktopFileName(QStringLiteral(RONDO_APP_ID));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/rondo.svg")));
    CRondoApp theApp;
    if (!theApp.InitInstance(loopFile)) return kExitFileError;
    return QApplication::exec();
}
