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
#include <QStringList>

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
    // A FluidSynth audio driver name ("alsa", "pulseaudio", ...); empty is
    // Automatic: FluidSynth's own choice first, then the others it offers;
    // "file" is our own paced WAV writer.
    QString audioDriver;
    // Loud enough for a single hit, and twelve hits at full velocity on the
    // same step stay below full scale with the usual GM kits.
    double gain = kDefaultGain;
    // Where the "file" driver writes; see DefaultAudioFile().
    QString audioFile;
    int sampleRate = 44100;
    // Frames the audio device takes at a time; it holds kPeriods of them.
    int periodSize = kDefaultPeriodSize;

    static constexpr double kDefaultGain = 0.35;
    static constexpr int kDefaultPeriodSize = 256;
    static constexpr int kMinPeriodSize = 64;
    static constexpr int kMaxPeriodSize = 4096;
    static constexpr int kPeriods = 3;

    // Settings section "Synth": SoundFont, AudioDriver, Gain (decimal text),
    // PeriodSize, AudioFile. Missing or unusable values take the defaults.
    static SynthOptions FromSettings(const CSettingsStore& settings);
    // Writes the values the Sound page chooses (all but AudioFile).
    void ToSettings(CSettingsStore& settings) const;
    bool operator==(const SynthOptions&) const = default;
    // How long the device's buffer holds, in milliseconds.
    double LatencyMs() const { return 1000.0 * periodSize * kPeriods / sampleRate; }
    // default-GM.sf2 in the system's sound font folder, else the first *.sf2
    // there by name, else the default-GM.sf2 path (which then fails to load
    // with a message naming it).
    static QString DefaultSoundFont();
    // rondo-synth.wav in the user's music folder when it exists, else in the
    // temporary folder.
    static QString DefaultAudioFile();
    // The sound fonts installed in the system's folder (*.sf2, *.sf3), by name.
    static QStringList InstalledSoundFonts();
    // The audio drivers this FluidSynth offers, in the order Automatic tries
    // them after FluidSynth's own choice, and our "file" writer last.
    static QStringList AudioDrivers();
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
    // Selects the programs the buffer's program changes ask for and keeps
    // their samples loaded, so the clock never loads one while it plays.
    void PrepareBuffer(const MidiHdr& hdr) override;

protected:
    explicit CSynthDriver(CSynthEngine& engine);
    // Stops whatever calls RenderBlock; after it returns, nothing does.
    virtual void StopClock() {}

    // Renders nFrames into left/right (overwritten), applying every event of
    // the stream due before the end of the block at its own frame. Silence
    // until Start. Called on the clock's thread only; no allocation, no
    // waiting but on the stream's short critical section. While a program
    // is being prepared the block is silence and the clock stands still.
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
    // The frames per second the synthesizer renders now: the options' rate,
    // or the JACK server's while the JACK driver plays.
    int SampleRate() const { return m_nSampleRate; }
    // The audio driver the last real-time open chose ("alsa", "jack", ...).
    QString OpenedAudioDriver() const;
    // Whether a driver of the engine is open.
    bool IsClaimed() const { return m_bClaimed.load(); }

    // What the synthesizer has played: frames rendered since the engine was
    // made, the loudest sample, and the frame count when the sound last rose
    // above kQuietFloor of that peak. Read from any thread.
    static constexpr float kQuietFloor = 0.001f;  // -60 dB
    int64_t FramesRendered() const { return m_nFramesRendered.load(std::memory_order_relaxed); }
    float PeakLevel() const { return m_peak.load(std::memory_order_relaxed); }
    int64_t LastLoudFrame() const { return m_nLastLoudFrame.load(std::memory_order_relaxed); }
    // Reads of sound font files that a clock made while it rendered, by
    // every engine of the process: samples loaded at the moment they play.
    static int64_t SoundFontReadsWhileRendering();

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
    // Changes the synthesizer's rate; only while no clock renders.
    void SetSampleRate(int nRate);
    // Selects nProgram on nChannel as a program change does, and pins both
    // the preset it replaces and the one it selects. Waits for the render.
    void PrepareProgram(int nChannel, int nProgram);
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
    int m_nSampleRate = 44100;
    // Held by a clock while it renders and by PrepareProgram; a clock that
    // finds it taken renders silence instead of waiting.
    std::mutex m_renderLock;
    mutable std::mutex m_openedLock;
    QString m_strOpenedDriver;
    std::atomic<int64_t> m_nFramesRendered{0};
    std::atomic<float> m_peak{0.0f};
    std::atomic<int64_t> m_nLastLoudFrame{0};
    // Frames rendered since the synthesizer's last internal block began.
    // Touched only by the one open driver's clock, then by its closing.
    int m_nBlockPhase = 0;
    bool m_bNeedsReset = false;
};
