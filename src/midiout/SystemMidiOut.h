#pragma once

#include "midiout/MidiOut.h"
#include "midiout/PortDriver.h"
#include "midiout/SynthDriver.h"

#include <memory>

// The devices of this machine: the built-in synthesizer as MIDI_MAPPER and
// the ALSA sequencer's output ports as devices 0..n-1.
class CSystemMidiOut final : public IMidiOutService
{
public:
    explicit CSystemMidiOut(SynthOptions options);

    // Loads the sound font in the background, so the first Start sounds at once.
    void PreloadSynth() { m_pSynth->PreloadAsync(); }
    // The engine that plays the built-in synthesizer's stream, or will at
    // the next open.
    CSynthEngine& Synth() { return *m_pSynth; }
    // New choices for the built-in synthesizer: a new engine loads them in
    // the background, and the next open plays through it. Nothing changes
    // for a stream that plays now.
    void SetSynthOptions(const SynthOptions& options);
    void ApplySynthSettings(const CSettingsStore& settings) override;

    // The port list is taken anew at each count, so ports that came or went
    // since the last new loop are seen.
    unsigned GetNumDevs() const override;
    int GetDevCaps(unsigned nDevice, MidiOutCaps& caps) const override;
    int OpenDriver(uint32_t uDeviceID, std::unique_ptr<CMidiDriver>& driver) override;

    // Sounds one drum hit through a synthesizer of these options, in real
    // time, and says plainly how that went: 0 and what played, or an error
    // code and why nothing did. Blocks for about a second.
    static int TestOutput(const SynthOptions& options, QString& report);

private:
    std::unique_ptr<CSynthEngine> m_pSynth;
    std::unique_ptr<CSynthEngine> m_pNextSynth;
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
