#include "midiout/MidiOut.h"

#include <mutex>

namespace {

std::mutex g_detailLock;
int g_nDetailError = MMSYSERR_NOERROR;
QString g_detail;

QString BaseText(int nError)
{
    switch (nError) {
    case MMSYSERR_NOERROR: return QStringLiteral("The operation completed successfully.");
    case MMSYSERR_ERROR: return QStringLiteral("The MIDI output device reported an error.");
    case MMSYSERR_BADDEVICEID: return QStringLiteral("The MIDI output device id is out of range.");
    case MMSYSERR_NOTENABLED: return QStringLiteral("The MIDI output device could not be started.");
    case MMSYSERR_ALLOCATED: return QStringLiteral("The MIDI output device is already in use.");
    case MMSYSERR_INVALHANDLE: return QStringLiteral("The MIDI stream is not open.");
    case MMSYSERR_NODRIVER: return QStringLiteral("No driver is installed for the MIDI output device.");
    case MMSYSERR_NOMEM: return QStringLiteral("The MIDI output service has no room for more buffers.");
    case MMSYSERR_INVALFLAG: return QStringLiteral("An invalid flag was passed to the MIDI output service.");
    case MMSYSERR_INVALPARAM: return QStringLiteral("An invalid parameter was passed to the MIDI output service.");
    case MIDIERR_UNPREPARED: return QStringLiteral("The MIDI buffer was not prepared.");
    case MIDIERR_STILLPLAYING: return QStringLiteral("MIDI buffers are still queued.");
    case MIDIERR_NOTREADY: return QStringLiteral("The MIDI output device is busy; try again.");
    case MIDIERR_NODEVICE: return QStringLiteral("The MIDI output device is no longer there.");
    default: return QStringLiteral("MIDI output error %1.").arg(nError);
    }
}

} // namespace

namespace midiout {

QString GetErrorText(int nError)
{
    {
        std::lock_guard<std::mutex> lock(g_detailLock);
        if (nError != MMSYSERR_NOERROR && nError == g_nDetailError && !g_detail.isEmpty()) return g_detail;
    }
    return BaseText(nError);
}

QString GetErrorDetail(int nError)
{
    std::lock_guard<std::mutex> lock(g_detailLock);
    return nError != MMSYSERR_NOERROR && nError == g_nDetailError ? g_detail : QString();
}

QString GetErrorSummary(int nError)
{
    const QString text = GetErrorText(nError);
    const qsizetype end = text.indexOf(QStringLiteral("\n\n"));
    return end < 0 ? text : text.left(end);
}

void SetErrorDetail(int nError, const QString& detail)
{
    std::lock_guard<std::mutex> lock(g_detailLock);
    g_nDetailError = nError;
    g_detail = detail;
}

} // namespace midiout
