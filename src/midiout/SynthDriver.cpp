#include "midiout/SynthDriver.h"

#include "midiout/JackServer.h"
#include "midiout/MidiStream.h"
#include "midiout/AudioFileWriter.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <QStandardPaths>

#include <fluidsynth.h>
#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

const QString kSection = QStringLiteral("Synth");
const QString kSoundFontFolder = QStringLiteral("/usr/share/sounds/sf2");

// FluidSynth's messages, kept instead of printed: the last one is the detail
// of the error code that follows it. Messages may come from the audio thread,
// so storing never waits: a message that finds the slot busy is dropped.
class CLogSlot
{
public:
    void Store(const char* text)
    {
        if (m_busy.test_and_set(std::memory_order_acquire)) return;
        std::strncpy(m_text, text, sizeof m_text - 1);
        m_text[sizeof m_text - 1] = 0;
        m_busy.clear(std::memory_order_release);
    }
    QString Take()
    {
        while (m_busy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
        QString text = QString::fromUtf8(m_text).trimmed();
        m_text[0] = 0;
        m_busy.clear(std::memory_order_release);
        return text;
    }

private:
    std::atomic_flag m_busy = ATOMIC_FLAG_INIT;
    char m_text[512]{};
};

CLogSlot g_lastError;    // panic, error, warning
CLogSlot g_lastMessage;  // any level

void KeepFluidMessage(int level, const char* message, void*)
{
    if (message == nullptr) return;
    if (level <= FLUID_WARN) g_lastError.Store(message);
    g_lastMessage.Store(message);
}

void InstallLogHandlers()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (int level = FLUID_PANIC; level <= FLUID_DBG; ++level)
            fluid_set_log_function(level, KeepFluidMessage, nullptr);
        // The sound-font loaders' own libraries complain about a damaged
        // font through glib: kept like FluidSynth's messages, never printed.
        g_log_set_default_handler(
            [](const gchar*, GLogLevelFlags, const gchar* message, gpointer) { g_lastMessage.Store(message); }, nullptr);
    });
    // FluidSynth's ALSA driver probing a missing card.
    SilenceAlsaConsole();
}

void ClearFluidLog()
{
    g_lastError.Take();
    g_lastMessage.Take();
}

// What FluidSynth said about the failure that just happened.
QString FluidReason()
{
    QString reason = g_lastError.Take();
    if (reason.isEmpty()) reason = g_lastMessage.Take();
    g_lastMessage.Take();
    return reason.isEmpty() ? QStringLiteral("FluidSynth gave no reason.") : reason;
}

// Where the user changes what a failure names, in the window and in the file.
QString ChangeHint(const char* key)
{
    return QStringLiteral("Choose another on the Sound page of the Object Properties window (Edit \u25B8 Sound...), "
                          "or set %1 in section [Synth] of the preferences.")
        .arg(QLatin1String(key));
}

// The drivers FluidSynth has that can take our render callback. Its file
// driver is among those that cannot (ours replaces it).
QStringList FluidAudioDrivers(fluid_settings_t* settings)
{
    QStringList names;
    fluid_settings_foreach_option(settings, "audio.driver", &names, [](void* data, const char*, const char* option) {
        static const char* const kWithoutCallback[] = {"file", "sdl2", "sdl3", "portaudio", "dart", "dsound"};
        for (const char* name : kWithoutCallback) {
            if (std::strcmp(option, name) == 0) return;
        }
        static_cast<QStringList*>(data)->append(QString::fromUtf8(option));
    });
    return names;
}

// The sound font's file, read through callbacks of ours so that a read on
// a clock's thread (while it renders) can be counted: there should be none.
thread_local bool t_bRendering = false;
std::atomic<int64_t> g_nReadsWhileRendering{0};

void* OpenFontFile(const char* path)
{
    return std::fopen(path, "rb");
}

int ReadFontFile(void* buf, fluid_long_long_t count, void* handle)
{
    if (t_bRendering) g_nReadsWhileRendering.fetch_add(1, std::memory_order_relaxed);
    return std::fread(buf, 1, size_t(count), static_cast<std::FILE*>(handle)) == size_t(count) ? FLUID_OK : FLUID_FAILED;
}

int SeekFontFile(void* handle, fluid_long_long_t offset, int origin)
{
    return fseeko(static_cast<std::FILE*>(handle), off_t(offset), origin) == 0 ? FLUID_OK : FLUID_FAILED;
}

fluid_long_long_t TellFontFile(void* handle)
{
    return ftello(static_cast<std::FILE*>(handle));
}

int CloseFontFile(void* handle)
{
    return std::fclose(static_cast<std::FILE*>(handle)) == 0 ? FLUID_OK : FLUID_FAILED;
}

// Marks the thread as a clock's for the time of one block.
class CRenderingScope
{
public:
    CRenderingScope() { t_bRendering = true; }
    ~CRenderingScope() { t_bRendering = false; }
    CRenderingScope(const CRenderingScope&) = delete;
    CRenderingScope& operator=(const CRenderingScope&) = delete;
};

} // namespace

int64_t CSynthEngine::SoundFontReadsWhileRendering()
{
    return g_nReadsWhileRendering.load();
}

// --- options ---

QString SynthOptions::DefaultSoundFont()
{
    const QDir dir(kSoundFontFolder);
    const QString preferred = dir.filePath(QStringLiteral("default-GM.sf2"));
    if (QFileInfo(preferred).isFile()) return preferred;
    const QStringList fonts =
        dir.entryList(QStringList{QStringLiteral("*.sf2")}, QDir::Files | QDir::Readable, QDir::Name);
    return fonts.isEmpty() ? preferred : dir.filePath(fonts.first());
}

QString SynthOptions::DefaultAudioFile()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QDir::tempPath();
    return QDir(folder).filePath(QStringLiteral("rondo-synth.wav"));
}

QStringList SynthOptions::InstalledSoundFonts()
{
    const QDir dir(kSoundFontFolder);
    QStringList fonts;
    for (const QString& name :
         dir.entryList(QStringList{QStringLiteral("*.sf2"), QStringLiteral("*.sf3")}, QDir::Files | QDir::Readable, QDir::Name))
        fonts.append(dir.filePath(name));
    return fonts;
}

QStringList SynthOptions::AudioDrivers()
{
    // Desktop sound servers first, then the hardware, then the rest.
    static const char* const kPreferred[] = {"pipewire", "pulseaudio", "alsa", "jack", "oss"};
    fluid_settings_t* settings = new_fluid_settings();
    QStringList offered = settings ? FluidAudioDrivers(settings) : QStringList();
    if (settings) delete_fluid_settings(settings);
    QStringList ordered;
    for (const char* name : kPreferred) {
        if (offered.removeAll(QLatin1String(name)) > 0) ordered.append(QLatin1String(name));
    }
    offered.sort();
    ordered += offered;
    ordered.append(QStringLiteral("file"));
    return ordered;
}

void SynthOptions::ToSettings(CSettingsStore& settings) const
{
    settings.SetString(kSection, QStringLiteral("SoundFont"), soundFont);
    settings.SetString(kSection, QStringLiteral("AudioDriver"), audioDriver);
    settings.SetString(kSection, QStringLiteral("Gain"), QString::number(gain));
    settings.SetInt(kSection, QStringLiteral("PeriodSize"), periodSize);
}

SynthOptions SynthOptions::FromSettings(const CSettingsStore& settings)
{
    SynthOptions options;
    options.soundFont = settings.GetString(kSection, QStringLiteral("SoundFont"), QString()).trimmed();
    if (options.soundFont.isEmpty()) options.soundFont = DefaultSoundFont();
    options.audioDriver = settings.GetString(kSection, QStringLiteral("AudioDriver"), QString()).trimmed();
    bool bOk = false;
    const double gain = settings.GetString(kSection, QStringLiteral("Gain"), QString()).trimmed().toDouble(&bOk);
    // FluidSynth accepts 0..10; silence is no use as a setting.
    options.gain = bOk && gain > 0.0 && gain <= 10.0 ? gain : kDefaultGain;
    const int period = settings.GetInt(kSection, QStringLiteral("PeriodSize"), kDefaultPeriodSize);
    options.periodSize = period >= kMinPeriodSize && period <= kMaxPeriodSize ? period : kDefaultPeriodSize;
    options.audioFile = settings.GetString(kSection, QStringLiteral("AudioFile"), QString()).trimmed();
    if (options.audioFile.isEmpty()) options.audioFile = DefaultAudioFile();
    return options;
}

// --- the engine ---

struct CSynthEngine::Fluid
{
    fluid_settings_t* settings = nullptr;
    fluid_synth_t* synth = nullptr;
    int blockSize = 64;  // FluidSynth renders and starts notes in blocks of this

    ~Fluid()
    {
        if (synth) delete_fluid_synth(synth);
        if (settings) delete_fluid_settings(settings);
    }
};

CSynthEngine::CSynthEngine(SynthOptions options) : m_options(std::move(options)), m_fluid(std::make_unique<Fluid>())
{
    if (m_options.sampleRate <= 0) m_options.sampleRate = 44100;
    m_nSampleRate = m_options.sampleRate;
    InstallLogHandlers();
}

CSynthEngine::~CSynthEngine()
{
    std::lock_guard<std::mutex> lock(m_joinLock);
    if (m_loader.joinable()) m_loader.join();
}

void CSynthEngine::PreloadAsync()
{
    std::lock_guard<std::mutex> lock(m_startLock);
    if (m_bLoadStarted) return;
    m_bLoadStarted = true;
    m_loader = std::thread([this] { Load(); });
}

int CSynthEngine::WaitReady()
{
    PreloadAsync();
    std::lock_guard<std::mutex> lock(m_joinLock);
    if (m_loader.joinable()) m_loader.join();
    if (m_nLoadResult != MMSYSERR_NOERROR) midiout::SetErrorDetail(m_nLoadResult, m_loadDetail);
    return m_nLoadResult;
}

void CSynthEngine::Load()
{
    const QString font = m_options.soundFont;
    const QString change = ChangeHint("SoundFont");
    const QFileInfo info(font);
    if (!info.isFile() || !info.isReadable()) {
        m_nLoadResult = MMSYSERR_NODRIVER;
        m_loadDetail = QStringLiteral("The sound font \"%1\" does not exist or cannot be read.\n\n%2").arg(font, change);
        return;
    }

    // Checked first: other loaders would complain about it on the terminal.
    if (!fluid_is_soundfont(QFile::encodeName(font).constData())) {
        m_nLoadResult = MMSYSERR_NODRIVER;
        m_loadDetail = QStringLiteral("The sound font \"%1\" is not a SoundFont 2 file.\n\n%2").arg(font, change);
        return;
    }

    fluid_settings_t* settings = m_fluid->settings = new_fluid_settings();
    if (settings == nullptr) {
        m_nLoadResult = MMSYSERR_NOMEM;
        m_loadDetail = QStringLiteral("The built-in synthesizer could not be set up: out of memory.");
        return;
    }
    fluid_settings_setnum(settings, "synth.sample-rate", double(m_options.sampleRate));
    fluid_settings_setnum(settings, "synth.gain", m_options.gain);
    // A loop of twelve voices with ringing cymbals stays far below this.
    fluid_settings_setint(settings, "synth.polyphony", 256);
    fluid_settings_setint(settings, "synth.cpu-cores", 1);
    // One thread plays the synthesizer at a time (loader, then the clock, then
    // the closing thread), so its own lock would only cost.
    fluid_settings_setint(settings, "synth.threadsafe-api", 0);
    // A small dry-ish room; chorus smears the attacks drums live on.
    fluid_settings_setint(settings, "synth.chorus.active", 0);
    fluid_settings_setint(settings, "synth.reverb.active", 1);
    fluid_settings_setnum(settings, "synth.reverb.room-size", 0.3);
    fluid_settings_setnum(settings, "synth.reverb.damp", 0.4);
    fluid_settings_setnum(settings, "synth.reverb.level", 0.5);
    // Only the presets that channels select hold their samples: a large GM
    // font costs the kits in use, not every instrument it has.
    fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
    fluid_settings_setint(settings, "audio.period-size", m_options.periodSize);
    fluid_settings_setint(settings, "audio.periods", SynthOptions::kPeriods);
    // A JACK user finds us by name, connected to the speakers.
    fluid_settings_setstr(settings, "audio.jack.id", "Rondo");
    fluid_settings_setint(settings, "audio.jack.autoconnect", 1);

    ClearFluidLog();
    m_fluid->synth = new_fluid_synth(settings);
    if (m_fluid->synth == nullptr) {
        m_nLoadResult = MMSYSERR_NOMEM;
        m_loadDetail = QStringLiteral("The built-in synthesizer could not start: %1").arg(FluidReason());
        return;
    }
    // Tried before FluidSynth's own loader.
    if (fluid_sfloader_t* loader = new_fluid_defsfloader(settings)) {
        fluid_sfloader_set_callbacks(loader, &OpenFontFile, &ReadFontFile, &SeekFontFile, &TellFontFile, &CloseFontFile);
        fluid_synth_add_sfloader(m_fluid->synth, loader);
    }
    ClearFluidLog();
    if (fluid_synth_sfload(m_fluid->synth, QFile::encodeName(font).constData(), 1) == FLUID_FAILED) {
        m_nLoadResult = MMSYSERR_NODRIVER;
        m_loadDetail = QStringLiteral("The sound font \"%1\" could not be loaded: %2\n\n%3")
                           .arg(font, FluidReason(), change);
        return;
    }
    m_fluid->blockSize = std::max(1, fluid_synth_get_internal_bufsize(m_fluid->synth));
    m_nLoadResult = MMSYSERR_NOERROR;
}

int CSynthEngine::Claim()
{
    bool bExpected = false;
    if (!m_bClaimed.compare_exchange_strong(bExpected, true)) {
        midiout::SetErrorDetail(MMSYSERR_ALLOCATED, QStringLiteral("The built-in synthesizer is already playing."));
        return MMSYSERR_ALLOCATED;
    }
    return MMSYSERR_NOERROR;
}

void CSynthEngine::RenderUnheard(int nFrames)
{
    float scratch[2][64];
    while (nFrames > 0) {
        const int n = std::min<int>(nFrames, int(std::size(scratch[0])));
        std::fill(&scratch[0][0], &scratch[0][0] + 2 * std::size(scratch[0]), 0.0f);
        float* out[2] = {scratch[0], scratch[1]};
        fluid_synth_process(m_fluid->synth, n, 2, out, 2, out);
        nFrames -= n;
    }
}

void CSynthEngine::Release()
{
    // Held notes go into their release, so that RenderTail can let them ring
    // out; the next open silences whatever is left.
    fluid_synth_all_notes_off(m_fluid->synth, -1);
    m_bNeedsReset = true;
    m_bClaimed.store(false);
}

void CSynthEngine::ResetForNextDriver()
{
    if (!m_bNeedsReset) return;
    m_bNeedsReset = false;
    // The rest of a block already rendered would open the next driver, and
    // its notes would start off FluidSynth's block grid: play it out here, so
    // that every driver's frame 0 begins a block and renders repeat exactly.
    const int block = m_fluid->blockSize;
    RenderUnheard((block - m_nBlockPhase) % block);
    m_nBlockPhase = 0;
    // Nothing the last driver left sounding or set reaches this one. Each
    // takes effect at the next block; the reset also empties the reverb, but
    // only once the voices are gone.
    fluid_synth_all_sounds_off(m_fluid->synth, -1);
    RenderUnheard(block);
    fluid_synth_system_reset(m_fluid->synth);
    RenderUnheard(block);
}

void CSynthEngine::Process(float* left, float* right, int nFrames)
{
    // Reverb and chorus mix into the dry pair: one stereo signal.
    float* out[2] = {left, right};
    float* fx[4] = {left, right, left, right};
    fluid_synth_process(m_fluid->synth, nFrames, 4, fx, 2, out);
    m_nBlockPhase = int((m_nBlockPhase + int64_t(nFrames)) % m_fluid->blockSize);

    float blockPeak = 0.0f;
    for (int i = 0; i < nFrames; ++i) blockPeak = std::max({blockPeak, std::fabs(left[i]), std::fabs(right[i])});
    const float peak = std::max(blockPeak, m_peak.load(std::memory_order_relaxed));
    m_peak.store(peak, std::memory_order_relaxed);
    const int64_t frames = m_nFramesRendered.load(std::memory_order_relaxed) + nFrames;
    if (blockPeak > peak * kQuietFloor) m_nLastLoudFrame.store(frames, std::memory_order_relaxed);
    m_nFramesRendered.store(frames, std::memory_order_relaxed);
}

void CSynthEngine::SetSampleRate(int nRate)
{
    if (nRate <= 0 || nRate == m_nSampleRate) return;
    m_nSampleRate = nRate;
    // The audio drivers open the device at the setting's rate.
    fluid_settings_setnum(m_fluid->settings, "synth.sample-rate", double(nRate));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    // Not for a playing synthesizer; nothing renders while the engine opens.
    fluid_synth_set_sample_rate(m_fluid->synth, float(nRate));
#pragma GCC diagnostic pop
}

void CSynthEngine::PrepareProgram(int nChannel, int nProgram)
{
    std::lock_guard<std::mutex> lock(m_renderLock);
    fluid_synth_t* synth = m_fluid->synth;
    // A pinned preset keeps its samples whatever the channels select: the
    // program change the clock applies later neither loads nor frees any.
    const auto pinSelected = [&] {
        int sfont = 0, bank = 0, preset = 0;
        if (fluid_synth_get_program(synth, nChannel, &sfont, &bank, &preset) == FLUID_OK)
            fluid_synth_pin_preset(synth, sfont, bank, preset);
    };
    pinSelected();
    fluid_synth_program_change(synth, nChannel, nProgram);
    pinSelected();
}

QString CSynthEngine::OpenedAudioDriver() const
{
    std::lock_guard<std::mutex> lock(m_openedLock);
    return m_strOpenedDriver;
}

int CSynthEngine::RenderTail(int nFrames, float* left, float* right)
{
    if (nFrames < 0 || left == nullptr || right == nullptr) return MMSYSERR_INVALPARAM;
    std::fill(left, left + nFrames, 0.0f);
    std::fill(right, right + nFrames, 0.0f);
    if (const int err = WaitReady()) return err;
    if (const int err = Claim()) return err;
    Process(left, right, nFrames);
    m_bClaimed.store(false);
    return MMSYSERR_NOERROR;
}

// --- the render routine ---

CSynthDriver::CSynthDriver(CSynthEngine& engine) : m_engine(engine)
{
}

CSynthDriver::~CSynthDriver()
{
    Shutdown();
}

int64_t CSynthDriver::UnitsPerSecond() const
{
    return m_engine.SampleRate();
}

void CSynthDriver::PrepareBuffer(const MidiHdr& hdr)
{
    ForEachShortMessage(hdr, [this](uint32_t msg) {
        if ((msg & 0xF0) == 0xC0) m_engine.PrepareProgram(int(msg & 0x0F), int((msg >> 8) & 0x7F));
    });
}

int CSynthDriver::Start(CMidiStream& stream)
{
    if (m_bShutDown) return MMSYSERR_INVALHANDLE;
    m_frame = 0;
    m_pStream.store(&stream, std::memory_order_release);
    return MMSYSERR_NOERROR;
}

void CSynthDriver::Shutdown()
{
    if (m_bShutDown) return;
    m_bShutDown = true;
    StopClock();
    m_pStream.store(nullptr, std::memory_order_release);
    m_engine.Release();
}

void CSynthDriver::RenderBlock(int nFrames, float* left, float* right)
{
    std::fill(left, left + nFrames, 0.0f);
    std::fill(right, right + nFrames, 0.0f);
    CMidiStream* pStream = Stream();
    if (pStream == nullptr || nFrames <= 0) return;
    std::unique_lock<std::mutex> lock(m_engine.m_renderLock, std::try_to_lock);
    if (!lock.owns_lock()) return;
    const CRenderingScope rendering;

    const int64_t begin = m_frame;
    const int64_t end = begin + nFrames;
    int rendered = 0;
    MidiDue due[64];
    size_t n;
    do {
        n = pStream->Collect(begin, end, due, std::size(due));
        for (size_t i = 0; i < n; ++i) {
            // Late events sound at once. FluidSynth starts a note at its next
            // 64-frame step, so rendering up to the event's frame first puts
            // it within 64 frames of its time, whatever the block size.
            const int at = int(std::clamp(due[i].time, begin + rendered, end) - begin);
            if (at > rendered) {
                m_engine.Process(left + rendered, right + rendered, at - rendered);
                rendered = at;
            }
            m_dispatcher.Dispatch(due[i].msg, *this);
        }
    } while (n == std::size(due));
    if (rendered < nFrames) m_engine.Process(left + rendered, right + rendered, nFrames - rendered);
    m_frame = end;
}

void CSynthDriver::Send(uint32_t msg)
{
    fluid_synth_t* synth = m_engine.m_fluid->synth;
    const int ch = int(msg & 0x0F);
    const int data1 = int((msg >> 8) & 0x7F);
    const int data2 = int((msg >> 16) & 0x7F);
    switch (msg & 0xF0) {
    case 0x80: fluid_synth_noteoff(synth, ch, data1); break;
    case 0x90:
        if (data2 == 0) {
            fluid_synth_noteoff(synth, ch, data1);
        } else {
            fluid_synth_noteon(synth, ch, data1, data2);
        }
        break;
    case 0xA0: fluid_synth_key_pressure(synth, ch, data1, data2); break;
    case 0xB0: fluid_synth_cc(synth, ch, data1, data2); break;
    case 0xC0: fluid_synth_program_change(synth, ch, data1); break;
    case 0xD0: fluid_synth_channel_pressure(synth, ch, data1); break;
    case 0xE0: fluid_synth_pitch_bend(synth, ch, data1 | data2 << 7); break;
    default: break;  // system messages mean nothing to the synthesizer
    }
}

// --- the clocks ---

int COfflineSynthDriver::Render(int nFrames, float* left, float* right)
{
    if (nFrames < 0 || left == nullptr || right == nullptr) return MMSYSERR_INVALPARAM;
    CMidiStream* pStream = Stream();
    if (pStream == nullptr) {
        std::fill(left, left + nFrames, 0.0f);
        std::fill(right, right + nFrames, 0.0f);
        return MMSYSERR_INVALHANDLE;
    }
    for (int done = 0; done < nFrames;) {
        const int n = std::min(kMaxBlock, nFrames - done);
        RenderBlock(n, left + done, right + done);
        pStream->WaitIdle();
        done += n;
    }
    return MMSYSERR_NOERROR;
}

namespace {

// The sound card's clock: FluidSynth's audio driver calls RenderBlock for
// every period it needs.
class CAudioSynthDriver final : public CSynthDriver
{
public:
    CAudioSynthDriver(CSynthEngine& engine, fluid_settings_t* settings) : CSynthDriver(engine), m_settings(settings) {}
    ~CAudioSynthDriver() override { Shutdown(); }

    // Opens FluidSynth's audio driver name ("" keeps the setting's value).
    // False with FluidSynth's reason.
    bool TryOpen(const QString& name, QString& reason)
    {
        if (!name.isEmpty()) fluid_settings_setstr(m_settings, "audio.driver", name.toUtf8().constData());
        ClearFluidLog();
        m_pDriver = new_fluid_audio_driver2(m_settings, &CAudioSynthDriver::Callback, this);
        if (m_pDriver) return true;
        reason = FluidReason();
        return false;
    }

private:
    void StopClock() override
    {
        if (m_pDriver) delete_fluid_audio_driver(m_pDriver);  // joins the audio thread
        m_pDriver = nullptr;
    }

    static int Callback(void* data, int len, int, float**, int nout, float* out[])
    {
        if (nout >= 2 && len > 0) static_cast<CAudioSynthDriver*>(data)->RenderBlock(len, out[0], out[1]);
        return FLUID_OK;
    }

    fluid_settings_t* m_settings;
    fluid_audio_driver_t* m_pDriver = nullptr;
};

// A clock for machines without sound: renders in real time, period by
// period on the monotonic clock, and keeps what it renders in a WAV file.
class CFileSynthDriver final : public CSynthDriver
{
public:
    static constexpr int kPeriod = 256;

    explicit CFileSynthDriver(CSynthEngine& engine) : CSynthDriver(engine) {}
    ~CFileSynthDriver() override { Shutdown(); }

    int Open()
    {
        const QString path = m_engine.Options().audioFile;
        if (m_writer.Open(path, m_engine.Options().sampleRate)) return MMSYSERR_NOERROR;
        midiout::SetErrorDetail(MMSYSERR_NOTENABLED,
                                QStringLiteral("The built-in synthesizer could not write \"%1\": %2\n\n"
                                               "Set AudioFile in section [Synth] of the preferences.")
                                    .arg(path, m_writer.ErrorString()));
        return MMSYSERR_NOTENABLED;
    }

    int Start(CMidiStream& stream) override
    {
        if (const int err = CSynthDriver::Start(stream)) return err;
        m_bQuit.store(false);
        m_thread = std::thread([this] { Run(); });
        return MMSYSERR_NOERROR;
    }

private:
    void StopClock() override
    {
        m_bQuit.store(true);
        if (m_thread.joinable()) m_thread.join();
        m_writer.Close();
    }

    void Run()
    {
        using namespace std::chrono;
        const int64_t rate = m_engine.Options().sampleRate;
        const steady_clock::time_point t0 = steady_clock::now();
        // Each deadline comes from the period count, so sleeping late never adds up.
        for (int64_t nPeriods = 1; !m_bQuit.load(); ++nPeriods) {
            RenderBlock(kPeriod, m_left, m_right);
            if (!m_writer.Append(m_left, m_right, kPeriod) && m_nHealth.load() == MMSYSERR_NOERROR) {
                midiout::SetErrorDetail(MMSYSERR_ERROR, QStringLiteral("Writing \"%1\" failed: %2")
                                                            .arg(m_engine.Options().audioFile, m_writer.ErrorString()));
                m_nHealth.store(MMSYSERR_ERROR);
            }
            std::this_thread::sleep_until(t0 + nanoseconds(nPeriods * kPeriod * 1000000000 / rate));
        }
    }

    CAudioFileWriter m_writer;
    std::thread m_thread;
    std::atomic<bool> m_bQuit{false};
    float m_left[kPeriod]{};
    float m_right[kPeriod]{};
};

} // namespace

int CSynthEngine::OpenRealtimeDriver(std::unique_ptr<CMidiDriver>& driver)
{
    if (const int err = WaitReady()) return err;
    if (const int err = Claim()) return err;
    ResetForNextDriver();
    SetSampleRate(m_options.sampleRate);
    // From here the driver owns the claim: destroying it releases the engine.
    if (m_options.audioDriver == QLatin1String("file")) {
        auto file = std::make_unique<CFileSynthDriver>(*this);
        if (const int err = file->Open()) return err;
        {
            std::lock_guard<std::mutex> lock(m_openedLock);
            m_strOpenedDriver = m_options.audioDriver;
        }
        driver = std::move(file);
        return MMSYSERR_NOERROR;
    }

    // Automatic: FluidSynth's own choice as it stands, then every other
    // driver it offers, in the order a desktop is most likely to sound.
    const bool bAutomatic = m_options.audioDriver.isEmpty();
    QStringList candidates;
    if (bAutomatic) {
        char* current = nullptr;
        if (fluid_settings_dupstr(m_fluid->settings, "audio.driver", &current) == FLUID_OK && current) {
            candidates.append(QString::fromUtf8(current));
            fluid_free(current);
        }
        for (const QString& name : SynthOptions::AudioDrivers()) {
            if (name != QLatin1String("file") && !candidates.contains(name)) candidates.append(name);
        }
    } else {
        candidates.append(m_options.audioDriver);
    }

    auto audio = std::make_unique<CAudioSynthDriver>(*this, m_fluid->settings);
    QStringList tried, reasons;
    for (const QString& name : candidates) {
        QString reason;
        if (name == QLatin1String("jack")) {
            // Only a server that runs: Rondo never starts one.
            int nJackRate = 0;
            if (!midiout::JackServerRunning(&nJackRate)) {
                reasons.append(QStringLiteral("no JACK server is running."));
                tried.append(QStringLiteral("jack: ") + reasons.back());
                continue;
            }
            SetSampleRate(nJackRate);
        }
        if (audio->TryOpen(name, reason)) {
            {
                std::lock_guard<std::mutex> lock(m_openedLock);
                m_strOpenedDriver = name;
            }
            driver = std::move(audio);
            return MMSYSERR_NOERROR;
        }
        SetSampleRate(m_options.sampleRate);
        reasons.append(reason);
        tried.append(QStringLiteral("%1: %2").arg(name, reason));
    }
    const QString detail =
        bAutomatic ? QStringLiteral("The built-in synthesizer could not open an audio output.\n\nTried:\n%1\n\n%2")
                         .arg(tried.join(QLatin1Char('\n')), ChangeHint("AudioDriver"))
                   : QStringLiteral("The built-in synthesizer could not open the audio output \"%1\": %2\n\n%3")
                         .arg(m_options.audioDriver, reasons.value(0), ChangeHint("AudioDriver"));
    midiout::SetErrorDetail(MMSYSERR_NOTENABLED, detail);
    return MMSYSERR_NOTENABLED;
}

int CSynthEngine::OpenOfflineDriver(std::unique_ptr<CMidiDriver>& driver, COfflineSynthDriver** ppOffline)
{
    if (ppOffline == nullptr) return MMSYSERR_INVALPARAM;
    *ppOffline = nullptr;
    if (const int err = WaitReady()) return err;
    if (const int err = Claim()) return err;
    ResetForNextDriver();
    SetSampleRate(m_options.sampleRate);
    auto offline = std::make_unique<COfflineSynthDriver>(*this);
    *ppOffline = offline.get();
    driver = std::move(offline);
    return MMSYSERR_NOERROR;
}
