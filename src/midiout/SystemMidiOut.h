#pragma once

#include "midiout/JackMidiDriver.h"
#include "midiout/MidiOut.h"
#include "midiout/PortDriver.h"
#include "midiout/SynthDriver.h"

#include <memory>

// The devices of this machine: the built-in synthesizer as MIDI_MAPPER, the
// ALSA sequencer's output ports (with Rondo's own virtual port) as devices
// 0..n-1, and "JACK MIDI" as device n while a JACK server runs.
//
// With settings, a chosen JACK MIDI or virtual port is kept open between
// plays, JACK MIDI keeps the connections of its port in section [JACK], and
// it follows the transport when "Device"/"FollowTransport" says so.
class CSystemMidiOut final : public IMidiOutService
{
public:
    static constexpr const char* kJackMidiName = "JACK MIDI";

    explicit CSystemMidiOut(SynthOptions options, CSettingsStore* pSettings = nullptr);
    // Remembers JACK MIDI's connections.
    ~CSystemMidiOut() override;

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
    void OnDeviceChosen(uint32_t uDeviceID) override;
    // The JACK client while JACK MIDI is chosen or playing, else null.
    CJackMidiClient* JackClient() const { return m_pJack.get(); }

    // Sounds one drum hit through a synthesizer of these options, in real
    // time, and says plainly how that went: 0 and what played, or an error
    // code and why nothing did. Blocks for about a second.
    static int TestOutput(const SynthOptions& options, QString& report);

private:
    // Joins the JACK server when not joined (or after it went away). 0 or
    // an error code with its detail.
    int OpenJackClient();
    void CloseJackClient();
    void RememberJackConnections();

    std::unique_ptr<CSynthEngine> m_pSynth;
    std::unique_ptr<CSynthEngine> m_pNextSynth;
    mutable CAlsaPorts m_ports;
    CSettingsStore* m_pSettings;
    std::unique_ptr<CJackMidiClient> m_pJack;
    // The id JACK MIDI had at the last count; -1 while it is not listed.
    mutable int m_nJackId = -1;
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
