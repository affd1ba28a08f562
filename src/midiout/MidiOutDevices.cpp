#include "midiout/MidiOutDevices.h"

namespace {

// Until the port backends arrive the machine offers no external device; the
// built-in synthesizer (-1) is listed by the document itself.
class CNoExternalDevices final : public IMidiOutDevices
{
public:
    unsigned GetNumDevs() const override { return 0; }
    int GetDevCaps(unsigned, MidiOutCaps&) const override { return MMSYSERR_BADDEVICEID; }
};

} // namespace

IMidiOutDevices& SystemMidiOutDevices()
{
    static CNoExternalDevices devices;
    return devices;
}

QString MidiOutErrorText(int nError)
{
    switch (nError) {
    case MMSYSERR_NOERROR: return QStringLiteral("The operation completed successfully.");
    case MMSYSERR_BADDEVICEID: return QStringLiteral("The MIDI output device id is out of range.");
    case MMSYSERR_INVALPARAM: return QStringLiteral("An invalid parameter was passed to the MIDI output service.");
    default: return QStringLiteral("MIDI output error %1.").arg(nError);
    }
}
