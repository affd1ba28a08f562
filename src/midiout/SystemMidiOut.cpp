#include "midiout/SystemMidiOut.h"

#include "midiout/JackServer.h"
#include "midiout/MidiStream.h"
#include "settings/SettingsStore.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

const QString kJackSection = QStringLiteral("JACK");
constexpr int kMaxRemembered = 32;

} // namespace

CSystemMidiOut::CSystemMidiOut(SynthOptions options, CSettingsStore* pSettings)
    : m_pSynth(std::make_unique<CSynthEngine>(std::move(options))), m_pSettings(pSettings)
{
}

CSystemMidiOut::~CSystemMidiOut()
{
    CloseJackClient();
}

int CSystemMidiOut::OpenJackClient()
{
    if (m_pJack && !m_pJack->IsServerGone()) return MMSYSERR_NOERROR;
    m_pJack.reset();
    QStringList remembered;
    if (m_pSettings) {
        const int n = std::clamp(m_pSettings->GetInt(kJackSection, QStringLiteral("Connections"), 0), 0, kMaxRemembered);
        for (int i = 1; i <= n; ++i) {
            const QString port = m_pSettings->GetString(kJackSection, QStringLiteral("Connection%1").arg(i), QString());
            if (!port.isEmpty()) remembered.append(port);
        }
    }
    QString error;
    m_pJack = CJackMidiClient::Open(remembered, error);
    if (m_pJack) return MMSYSERR_NOERROR;
    midiout::SetErrorDetail(MIDIERR_NODEVICE, QStringLiteral("JACK MIDI cannot play: %1").arg(error));
    return MIDIERR_NODEVICE;
}

void CSystemMidiOut::RememberJackConnections()
{
    if (!m_pJack || m_pJack->IsServerGone() || m_pSettings == nullptr) return;
    const QStringList ports = m_pJack->Connections().mid(0, kMaxRemembered);
    const int before = m_pSettings->GetInt(kJackSection, QStringLiteral("Connections"), 0);
    m_pSettings->SetInt(kJackSection, QStringLiteral("Connections"), int(ports.size()));
    for (int i = 1; i <= std::max(int(ports.size()), std::min(before, kMaxRemembered)); ++i)
        m_pSettings->SetString(kJackSection, QStringLiteral("Connection%1").arg(i), ports.value(i - 1));
}

void CSystemMidiOut::CloseJackClient()
{
    RememberJackConnections();
    m_pJack.reset();
}

void CSystemMidiOut::OnDeviceChosen(uint32_t uDeviceID)
{
    if (m_pSettings == nullptr) return;
    if (m_nJackId >= 0 && uDeviceID == uint32_t(m_nJackId)) {
        // The port is there for a patchbay or a DAW before the first Start.
        OpenJackClient();
    } else {
        CloseJackClient();
    }
    m_ports.Choose(uDeviceID);
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
    const bool bJack = (m_pJack && !m_pJack->IsServerGone()) || midiout::JackServerRunning();
    m_nJackId = bJack ? int(m_ports.Count()) : -1;
    return m_ports.Count() + (bJack ? 1 : 0);
}

int CSystemMidiOut::GetDevCaps(unsigned nDevice, MidiOutCaps& caps) const
{
    if (m_nJackId >= 0 && nDevice == unsigned(m_nJackId)) {
        caps.szPname = kJackMidiName;
        return MMSYSERR_NOERROR;
    }
    return m_ports.GetName(nDevice, caps.szPname);
}

int CSystemMidiOut::OpenDriver(uint32_t uDeviceID, std::unique_ptr<CMidiDriver>& driver)
{
    if (m_nJackId >= 0 && uDeviceID == uint32_t(m_nJackId)) {
        if (const int err = OpenJackClient()) return err;
        RememberJackConnections();
        const bool bFollow = m_pSettings && m_pSettings->GetInt(QStringLiteral("Device"), QStringLiteral("FollowTransport"), 0) != 0;
        driver = std::make_unique<CJackMidiDriver>(*m_pJack, bFollow);
        return MMSYSERR_NOERROR;
    }
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
