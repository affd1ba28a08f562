#pragma once

// The built-in synthesizer (device MIDI_MAPPER): one FluidSynth instance for
// the whole process, played by one driver at a time. Three clocks can drive
// it, all through the same render routine, so a hit lands on the same frame
// whichever plays it:
//  - the audio device's callback (FluidSynth's audio driver, our callback);
//  - the "file" driver: a thread of ours paced by the monotonic clock that
//    writes what it renders to a WAV file (for machines without sound);
//  - the offline driver: no clock of its own, its owner calls Render.

#include "midiout/MidiDriver.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class CSettingsStore;
class CSynthEngine;

struct SynthOptions
{
    // Without a value in the settings: DefaultSoundFont().
    QString soundFont;
    // A FluidSynth audio driver name ("alsa", "pulseaudio", ...); empty lets
    // FluidSynth choose; "file" is our own paced WAV writer.
    QString audioDriver;
    // Loud enough for a single hit, and twelve hits at full velocity on the
    // same step stay below full scale with the usual GM kits.
    double gain = kDefaultGain;
    // Where the "file" driver writes; see DefaultAudioFile().
    QString audioFile;
    int sampleRate = 44100;

    static constexpr double kDefaultGain = 0.35;

    // Settings section "Synth": SoundFont, AudioDriver, Gain (decimal text),
    // AudioFile. Missing or unusable values take the defaults.
    static SynthOptions FromSettings(const CSettingsStore& settings);
    // default-GM.sf2 in the system's sound font folder, else the first *.sf2
    // there by name, else the default-GM.sf2 path (which then fails to load
    // with a message naming it).
    static QString DefaultSoundFont();
    // rondo-synth.wav in the user's music folder when it exists, else in the
    // temporary folder.
    static QString DefaultAudioFile();
};

// What every synthesizer driver shares: the render routine that turns the
// stream's events into audio, and the sink that hands them to FluidSynth.
class CSynthDriver : public CMidiDriver, private IMidiSink
{
public:
    ~CSynthDriver() override;

    int64_t UnitsPerSecond() const override;
    int Start(CMidiStream& stream) override;
    // Stops the clock and releases the held notes; the next open silences
    // the synthesizer before its first block.
    void Shutdown() override;
    int Health() const override { return m_nHealth.load(); }

protected:
    explicit CSynthDriver(CSynthEngine& engine);
    // Stops whatever calls RenderBlock; after it returns, nothing does.
    virtual void StopClock() {}

    // Renders nFrames into left/right (overwritten), applying every event of
    // the stream due before the end of the block at its own frame. Silence
    // until Start. Called on the clock's thread only; no allocation, no
    // waiting but on the stream's short critical section.
    void RenderBlock(int nFrames, float* left, float* right);
    CMidiStream* Stream() const { return m_pStream.load(std::memory_order_acquire); }

    CSynthEngine& m_engine;
    std::atomic<int> m_nHealth{0};

private:
    void Send(uint32_t msg) override;

    std::atomic<CMidiStream*> m_pStream{nullptr};
    CMidiDispatcher m_dispatcher;
    int64_t m_frame = 0;  // frame position of the next block
    bool m_bShutDown = false;
};

// Played by its owner: each Render call is one period of a device that
// always has the next buffer in time.
class COfflineSynthDriver final : public CSynthDriver
{
public:
    static constexpr int kMaxBlock = 512;

    explicit COfflineSynthDriver(CSynthEngine& engine) : CSynthDriver(engine) {}

    // Renders nFrames (any count; taken in blocks of at most kMaxBlock) and
    // waits after each block until the stream's callback has run, so refills
    // are queued before the next block. 0, or an error code when the driver
    // has no stream.
    int Render(int nFrames, float* left, float* right);
};

class CSynthEngine
{
public:
    explicit CSynthEngine(SynthOptions options);
    // Every driver of the engine must be closed by now.
    ~CSynthEngine();
    CSynthEngine(const CSynthEngine&) = delete;
    CSynthEngine& operator=(const CSynthEngine&) = delete;

    const SynthOptions& Options() const { return m_options; }

    // Starts loading the sound font on a thread of its own, so that the first
    // open sounds at once. Only the first call does anything.
    void PreloadAsync();
    // Waits for the load (starting it when nobody has). 0, or an error code
    // whose detail says what to change.
    int WaitReady();

    // The driver that plays in real time: the audio device, or the "file"
    // writer. MMSYSERR_ALLOCATED while another driver of the engine is open;
    // MMSYSERR_NOTENABLED when the audio device cannot be opened.
    int OpenRealtimeDriver(std::unique_ptr<CMidiDriver>& driver);
    // The driver its owner advances by hand with Render; *ppOffline stays
    // valid while the stream that takes the driver is open.
    int OpenOfflineDriver(std::unique_ptr<CMidiDriver>& driver, COfflineSynthDriver** ppOffline);

    // After the last driver has closed: renders what still rings (its notes
    // were released at the close), for the end of an offline render.
    // MMSYSERR_ALLOCATED while a driver is open.
    int RenderTail(int nFrames, float* left, float* right);

private:
    friend class CSynthDriver;
    struct Fluid;

    void Load();
    // Claims the engine for one user; MMSYSERR_ALLOCATED when it is taken.
    int Claim();
    // Called by a driver whose clock has stopped.
    void Release();
    // Silences and resets what the last driver left, for a new one.
    void ResetForNextDriver();
    // Renders nFrames into left/right (added to them), keeping the block phase.
    void Process(float* left, float* right, int nFrames);
    // Advances the synthesizer, throwing the sound away.
    void RenderUnheard(int nFrames);

    SynthOptions m_options;
    std::unique_ptr<Fluid> m_fluid;

    std::mutex m_startLock;
    bool m_bLoadStarted = false;
    std::mutex m_joinLock;
    std::thread m_loader;
    int m_nLoadResult = 0;
    QString m_loadDetail;

    std::atomic<bool> m_bClaimed{false};
    // Frames rendered since the synthesizer's last internal block began.
    // Touched only by the one open driver's clock, then by its closing.
    int m_nBlockPhase = 0;
    bool m_bNeedsReset = false;
};
