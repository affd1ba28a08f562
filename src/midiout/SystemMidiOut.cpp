#include "midiout/SystemMidiOut.h"

#include "midiout/MidiStream.h"
#include "settings/SettingsStore.h"

#include <chrono>
#include <thread>

CSystemMidiOut::CSystemMidiOut(SynthOptions options) : m_pSynth(std::make_unique<CSynthEngine>(std::move(options)))
{
}

void CSystemMidiOut::SetSynthOptions(const SynthOptions& options)
{
    const CSynthEngine& latest = m_pNextSynth ? *m_pNextSynth : *m_pSynth;
    if (latest.Options() == options) return;
    m_pNextSynth = std::make_unique<CSynthEngine>(options);
    m_pNextSynth->PreloadAsync();
}

void CSystemMidiOut::ApplySynthSettings(const CSettingsStore& settings)
{
    SetSynthOptions(SynthOptions::FromSettings(settings));
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
    if (uDeviceID != MIDI_MAPPER) return m_ports.OpenDriver(uDeviceID, driver);
    // The engine of the last choices takes over once the old one is idle.
    if (m_pNextSynth && !m_pSynth->IsClaimed()) m_pSynth = std::move(m_pNextSynth);
    return m_pSynth->OpenRealtimeDriver(driver);
}

int CSystemMidiOut::TestOutput(const SynthOptions& options, QString& report)
{
    using namespace std::chrono;
    class CEngineService final : public IMidiOutService
    {
    public:
        explicit CEngineService(CSynthEngine& engine) : m_engine(engine) {}
        unsigned GetNumDevs() const override { return 0; }
        int GetDevCaps(unsigned, MidiOutCaps&) const override { return MMSYSERR_BADDEVICEID; }
        int OpenDriver(uint32_t, std::unique_ptr<CMidiDriver>& driver) override
        {
            return m_engine.OpenRealtimeDriver(driver);
        }

    private:
        CSynthEngine& m_engine;
    };

    CSynthEngine engine(options);
    CEngineService service(engine);
    HMidiStream hStream = nullptr;
    uint32_t uDevice = MIDI_MAPPER;
    if (const int err = midiout::StreamOpen(service, &hStream, &uDevice, 1, nullptr, nullptr)) {
        report = midiout::GetErrorText(err);
        return err;
    }
    // An acoustic snare on the drum channel, long enough to be heard whole.
    const int64_t before = engine.FramesRendered();
    const steady_clock::time_point start = steady_clock::now();
    int err = midiout::ShortMsg(hStream, 0x99u | 38u << 8 | 110u << 16);
    std::this_thread::sleep_for(milliseconds(700));
    if (err == MMSYSERR_NOERROR) err = midiout::ShortMsg(hStream, 0x89u | 38u << 8);
    const int64_t played = engine.FramesRendered() - before;
    const double seconds = duration<double>(steady_clock::now() - start).count();
    const float peak = engine.PeakLevel();
    const QString driver = engine.OpenedAudioDriver();
    const int health = hStream->Driver().Health();
    midiout::StreamClose(hStream);

    if (err == MMSYSERR_NOERROR) err = health;
    if (err != MMSYSERR_NOERROR) {
        report = QStringLiteral("The audio output \"%1\" opened, then failed.\n\n%2").arg(driver, midiout::GetErrorText(err));
        return err;
    }
    // A device that takes the sound plays about as many frames as time passed.
    if (double(played) < 0.5 * seconds * engine.SampleRate()) {
        report = QStringLiteral("The audio output \"%1\" opened but hardly played: %2 of %3 frames in %4 s.")
                     .arg(driver)
                     .arg(played)
                     .arg(qint64(seconds * engine.SampleRate()))
                     .arg(seconds, 0, 'f', 1);
        return MMSYSERR_ERROR;
    }
    if (peak < CSynthEngine::kQuietFloor) {
        report = QStringLiteral("The audio output \"%1\" played, but the sound font \"%2\" made no sound for a snare "
                                "drum on channel 10.")
                     .arg(driver, options.soundFont);
        return MMSYSERR_ERROR;
    }
    report = driver == QLatin1String("file")
                 ? QStringLiteral("The test hit was written to \"%1\".").arg(options.audioFile)
                 : QStringLiteral("The test hit played through \"%1\" (%2 ms of buffering).")
                       .arg(driver)
                       .arg(qRound(options.LatencyMs()));
    return MMSYSERR_NOERROR;
}

int COfflineMidiOut::OpenDriver(uint32_t, std::unique_ptr<CMidiDriver>& driver)
{
    return m_synth.OpenOfflineDriver(driver, &m_pRenderer);
}
