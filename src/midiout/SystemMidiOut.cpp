#include "midiout/SystemMidiOut.h"

CSystemMidiOut::CSystemMidiOut(SynthOptions options) : m_synth(std::move(options))
{
}

unsigned CSystemMidiOut::GetNumDevs() const
{
    m_ports.Refresh();
    return m_ports.Count();
}

int CSystemMidiOut::GetDevCaps(unsigned nDevice, MidiOutCaps& caps) const
{
    return m_ports.GetName(nDevice, caps.szPname);
}

int CSystemMidiOut::OpenDriver(uint32_t uDeviceID, std::unique_ptr<CMidiDriver>& driver)
{
    if (uDeviceID == MIDI_MAPPER) return m_synth.OpenRealtimeDriver(driver);
    return m_ports.OpenDriver(uDeviceID, driver);
}

int COfflineMidiOut::OpenDriver(uint32_t, std::unique_ptr<CMidiDriver>& driver)
{
    return m_synth.OpenOfflineDriver(driver, &m_pRenderer);
}
