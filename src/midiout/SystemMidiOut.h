#pragma once

#include "midiout/MidiOut.h"
#include "midiout/PortDriver.h"
#include "midiout/SynthDriver.h"

// The devices of this machine: the built-in synthesizer as MIDI_MAPPER and
// the ALSA sequencer's output ports as devices 0..n-1.
class CSystemMidiOut final : public IMidiOutService
{
public:
    explicit CSystemMidiOut(SynthOptions options);

    // Loads the sound font in the background, so the first Start sounds at once.
    void PreloadSynth() { m_synth.PreloadAsync(); }
    CSynthEngine& Synth() { return m_synth; }

    // The port list is taken anew at each count, so ports that came or went
    // since the last new loop are seen.
    unsigned GetNumDevs() const override;
    int GetDevCaps(unsigned nDevice, MidiOutCaps& caps) const override;
    int OpenDriver(uint32_t uDeviceID, std::unique_ptr<CMidiDriver>& driver) override;

private:
    CSynthEngine m_synth;
    mutable CAlsaPorts m_ports;
};

// The built-in synthesizer alone, played by its owner faster than real
// time: every device id opens the offline driver.
class COfflineMidiOut final : public IMidiOutService
{
public:
    explicit COfflineMidiOut(CSynthEngine& synth) : m_synth(synth) {}

    unsigned GetNumDevs() const override { return 0; }
    int GetDevCaps(unsigned, MidiOutCaps&) const override { return MMSYSERR_BADDEVICEID; }
    int OpenDriver(uint32_t uDeviceID, std::unique_ptr<CMidiDriver>& driver) override;

    // The driver of the open stream, or null.
    COfflineSynthDriver* Renderer() const { return m_pRenderer; }

private:
    CSynthEngine& m_synth;
    COfflineSynthDriver* m_pRenderer = nullptr;
};
