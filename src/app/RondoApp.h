#pragma once

#include "settings/SettingsStore.h"

#include <QString>

#include <memory>

class CMainFrame;
class CRondoDoc;
class CSystemMidiOut;
class IMidiOutService;

// The application: the settings store, the document, the main window and
// its view, from start-up to exit.
class CRondoApp
{
public:
    // Without a service of its own the program plays through this machine's
    // built-in synthesizer and MIDI ports.
    explicit CRondoApp(IMidiOutService* pMidiOut = nullptr);
    ~CRondoApp();
    CRondoApp(const CRondoApp&) = delete;
    CRondoApp& operator=(const CRondoApp&) = delete;

    // Opens the settings, builds the window and shows it with a new loop, or
    // with loopFile when one is given. False when nothing could be shown.
    bool InitInstance(const QString& loopFile = QString());

    CMainFrame* MainFrame() const { return m_pFrame.get(); }
    CRondoDoc* Document() const { return m_pDoc.get(); }

    CSettingsStore m_settings;

private:
    IMidiOutService* m_pMidiOut;
    std::unique_ptr<CSystemMidiOut> m_pSystemMidiOut;
    std::unique_ptr<CRondoDoc> m_pDoc;
    std::unique_ptr<CMainFrame> m_pFrame;
};

// The editor window's main: `rondo [LOOP.rlf]`, the options already read.
// Without a display it says so in one line and returns 1.
int RunEditor(int argc, char** argv, const QString& loopFile);
