#include "midiout/JackMidiDriver.h"

#include "midiout/JackServer.h"
#include "midiout/MidiStream.h"
#include "midiout/PortDriver.h"

#include <jack/midiport.h>
#include <jack/transport.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>

namespace {

constexpr int64_t kMicrosPerMinute = 60000000;

} // namespace

// --- the client ---

std::unique_ptr<CJackMidiClient> CJackMidiClient::Open(const QStringList& connections, QString& error)
{
    int nRate = 0;
    if (!midiout::JackServerRunning(&nRate)) {
        error = QStringLiteral("No JACK server is running (Rondo never starts one).");
        return nullptr;
    }
    std::unique_ptr<CJackMidiClient> client(new CJackMidiClient);
    jack_status_t status{};
    client->m_pClient = jack_client_open(kClientName, JackNoStartServer, &status);
    if (client->m_pClient == nullptr) {
        error = QStringLiteral("The JACK server did not take the client \"Rondo\" (status 0x%1).").arg(int(status), 0, 16);
        return nullptr;
    }
    client->m_nSampleRate = int(jack_get_sample_rate(client->m_pClient));
    client->m_pPort = jack_port_register(client->m_pClient, kPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(client->m_pClient, &CJackMidiClient::Process, client.get());
    jack_on_shutdown(client->m_pClient, &CJackMidiClient::OnShutdown, client.get());
    jack_set_xrun_callback(client->m_pClient, &CJackMidiClient::OnXrun, client.get());
    if (client->m_pPort == nullptr || jack_activate(client->m_pClient) != 0) {
        error = QStringLiteral("The JACK client \"Rondo\" could not open its MIDI port.");
        return nullptr;
    }
    client->Connect(connections);
    return client;
}

CJackMidiClient::~CJackMidiClient()
{
    if (m_pClient == nullptr) return;
    // A server that went away leaves a client that only wants closing.
    if (!m_bServerGone.load()) jack_deactivate(m_pClient);
    jack_client_close(m_pClient);
}

QString CJackMidiClient::PortName() const
{
    return m_pPort ? QString::fromUtf8(jack_port_name(m_pPort)) : QString();
}

QStringList CJackMidiClient::Connections() const
{
    QStringList ports;
    if (m_pPort == nullptr || m_bServerGone.load()) return ports;
    if (const char** names = jack_port_get_all_connections(m_pClient, m_pPort)) {
        for (int i = 0; names[i]; ++i) ports.append(QString::fromUtf8(names[i]));
        jack_free(names);
    }
    return ports;
}

void CJackMidiClient::Connect(const QStringList& ports)
{
    if (m_pPort == nullptr || m_bServerGone.load()) return;
    const QByteArray self = PortName().toUtf8();
    for (const QString& port : ports) {
        const QByteArray name = port.toUtf8();
        // A port that is not there (yet) is no error: the remembered list
        // is tried again at the next open.
        if (jack_port_by_name(m_pClient, name.constData())) jack_connect(m_pClient, self.constData(), name.constData());
    }
}

int CJackMidiClient::Process(jack_nframes_t nFrames, void* pArg)
{
    auto* self = static_cast<CJackMidiClient*>(pArg);
    self->m_bInProcess.store(true);
    void* pBuffer = jack_port_get_buffer(self->m_pPort, nFrames);
    if (CJackMidiDriver* pDriver = self->m_pDriver.load()) {
        timespec begin{}, end{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &begin);
        pDriver->Process(nFrames, pBuffer);
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
        const uint64_t ns = uint64_t((end.tv_sec - begin.tv_sec) * 1000000000LL + (end.tv_nsec - begin.tv_nsec));
        self->m_nPlayingCycles.fetch_add(1, std::memory_order_relaxed);
        self->m_nProcessNs.fetch_add(ns, std::memory_order_relaxed);
        if (ns > self->m_nProcessNsMax.load(std::memory_order_relaxed))
            self->m_nProcessNsMax.store(ns, std::memory_order_relaxed);
    } else {
        jack_midi_clear_buffer(pBuffer);
    }
    self->m_nCycles.fetch_add(1);
    self->m_bInProcess.store(false);
    return 0;
}

void CJackMidiClient::OnShutdown(void* pArg)
{
    // Called on a thread of libjack's, as a signal would be: flags only.
    auto* self = static_cast<CJackMidiClient*>(pArg);
    self->m_bServerGone.store(true);
    self->m_wake.release();
}

int CJackMidiClient::OnXrun(void* pArg)
{
    static_cast<CJackMidiClient*>(pArg)->m_nXruns.fetch_add(1);
    return 0;
}

void CJackMidiClient::Attach(CJackMidiDriver* pDriver)
{
    m_pDriver.store(pDriver);
}

void CJackMidiClient::Detach()
{
    m_pDriver.store(nullptr);
    // The callback sets its flag before it reads the driver: once the flag
    // is seen clear after the store, it no longer holds the driver.
    while (m_bInProcess.load() && !m_bServerGone.load()) std::this_thread::yield();
}

bool CJackMidiClient::WaitForServerGone()
{
    m_wake.acquire();
    return m_bServerGone.load();
}

void CJackMidiClient::WaitCycles(uint64_t nCycles, int timeoutMs) const
{
    using namespace std::chrono;
    const uint64_t until = m_nCycles.load() + nCycles;
    const steady_clock::time_point deadline = steady_clock::now() + milliseconds(timeoutMs);
    while (m_nCycles.load() < until && !m_bServerGone.load() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(microseconds(200));
}

// --- the clock ---

CJackMidiDriver::CJackMidiDriver(CJackMidiClient& client, bool bFollowTransport)
    : m_client(client), m_bFollowTransport(bFollowTransport)
{
}

CJackMidiDriver::~CJackMidiDriver()
{
    Shutdown();
}

int CJackMidiDriver::Start(CMidiStream& stream)
{
    if (m_client.IsServerGone()) return MIDIERR_NODEVICE;
    m_pStream.store(&stream);
    m_bQuit.store(false);
    m_watcher = std::thread([this] { Watch(); });
    m_client.Attach(this);
    return MMSYSERR_NOERROR;
}

void CJackMidiDriver::Shutdown()
{
    if (!m_watcher.joinable()) return;
    // The notes off that Stop queued last still go out, in the next period.
    m_client.WaitCycles(2, 500);
    m_client.Detach();
    m_bQuit.store(true);
    m_client.Wake();
    m_watcher.join();
    m_pStream.store(nullptr);
}

int CJackMidiDriver::Health() const
{
    if (!m_client.IsServerGone()) return MMSYSERR_NOERROR;
    if (!m_bDetailRecorded.exchange(true))
        midiout::SetErrorDetail(MIDIERR_NODEVICE,
                                QStringLiteral("The JACK server went away while the loop played.\n\n"
                                               "Start the server again, then press Start."));
    return MIDIERR_NODEVICE;
}

void CJackMidiDriver::Watch()
{
    // Without a server no period comes: the queued buffers are handed back
    // here, so that the client learns of it from its own refills.
    bool bGone = false;
    while (!bGone && !m_bQuit.load()) bGone = m_client.WaitForServerGone();
    if (!bGone) return;
    Health();
    MidiDue due[64];
    while (!m_bQuit.load()) {
        if (CMidiStream* pStream = m_pStream.load()) {
            while (pStream->Collect(0, std::numeric_limits<int64_t>::max() / 4, due, std::size(due)) == std::size(due)) {
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

uint64_t CJackMidiDriver::HeadLoopTick() const
{
    CMidiStream* pStream = m_pStream.load();
    const uint64_t loop = pStream ? pStream->LoopTicks() : 0;
    if (loop == 0) return 0;
    return (m_locateLoopTick + pStream->TickPosition() - m_locateTick) % loop;
}

int64_t CJackCycleClock::Advance(uint32_t serverFrame, uint32_t nFrames)
{
    if (!m_bStarted) {
        m_bStarted = true;
        m_lastServer32 = serverFrame;
    }
    m_server += int64_t(uint32_t(serverFrame - m_lastServer32));
    m_lastServer32 = serverFrame;
    const int64_t jump = m_server - m_next;
    if (jump != 0 && jump == m_pendingJump) {
        m_next += jump;
        m_pendingJump = 0;
    } else {
        m_pendingJump = jump;
    }
    const int64_t t0 = m_next;
    m_next += nFrames;
    return t0;
}

void CJackMidiDriver::Process(jack_nframes_t nFrames, void* pPortBuffer)
{
    jack_midi_clear_buffer(pPortBuffer);
    m_pBuffer = pPortBuffer;
    CMidiStream* pStream = m_pStream.load();
    if (pStream == nullptr || nFrames == 0) return;

    const int64_t t0 = m_clock.Advance(jack_last_frame_time(m_client.Handle()), nFrames);
    const int64_t t1 = t0 + nFrames;

    if (m_bFollowTransport) FollowTransport(t0, nFrames);

    MidiDue due[64];
    size_t n;
    jack_nframes_t last = 0;
    do {
        n = pStream->Collect(t0, t1, due, std::size(due));
        for (size_t i = 0; i < n; ++i) {
            // Late ones go at once; offsets never go back within a period.
            const int64_t at = std::clamp<int64_t>(due[i].time - t0, 0, int64_t(nFrames) - 1);
            last = std::max(last, jack_nframes_t(at));
            m_nOffset = last;
            m_dispatcher.Dispatch(due[i].msg, *this);
        }
    } while (n == std::size(due));
}

void CJackMidiDriver::Send(uint32_t msg)
{
    unsigned char bytes[3];
    const size_t n = PackShortMessage(msg, bytes);
    if (n == 0) return;
    if (jack_midi_event_write(m_pBuffer, m_nOffset, bytes, n) != 0) m_nLost.fetch_add(1, std::memory_order_relaxed);
}

void CJackMidiDriver::FollowTransport(int64_t t0, jack_nframes_t nFrames)
{
    CMidiStream* pStream = m_pStream.load();
    jack_position_t pos{};
    const jack_transport_state_t state = jack_transport_query(m_client.Handle(), &pos);
    m_nOffset = 0;
    if (state != JackTransportRolling) {
        // A stop silences at once; what was queued waits, from the loop's
        // first step, for the transport to roll again.
        if (m_bRolling || !m_bParked) {
            if (m_bRolling) m_dispatcher.Dispatch(kMidiResetMessage, *this);
            pStream->Locate(std::numeric_limits<int64_t>::max() / 4, 0);
            pStream->Park();
            m_locateTick = pStream->TickPosition();
            m_locateLoopTick = 0;
            m_bParked = true;
        }
        m_bRolling = false;
        return;
    }

    const uint32_t loop = pStream->LoopTicks();
    const uint32_t division = pStream->TimeDivision();
    if (loop == 0 || division == 0) return;
    const double rate = m_client.SampleRate();
    // Where in the bar the transport is, and how long its bar lasts.
    double framesPerQuarter = 0.0, barFrames = 0.0, inBar = 0.0;
    if ((pos.valid & JackPositionBBT) && pos.beats_per_minute > 0.0 && pos.beats_per_bar > 0.0 &&
        pos.ticks_per_beat > 0.0) {
        const double framesPerBeat = rate * 60.0 / pos.beats_per_minute;
        framesPerQuarter = framesPerBeat * pos.beat_type / 4.0;
        barFrames = framesPerBeat * pos.beats_per_bar;
        // A whole tick is several frames: the finer one when the master gives it.
        const double tick = (pos.valid & JackTickDouble) ? pos.tick_double : double(pos.tick);
        inBar = (double(pos.beat - 1) + tick / pos.ticks_per_beat) * framesPerBeat;
        const auto usPerQuarter = uint32_t(std::lround(double(kMicrosPerMinute) / pos.beats_per_minute * 4.0 / pos.beat_type));
        MidiPropTempo tempo;
        if (pStream->Property(&tempo, MIDIPROP_GET | MIDIPROP_TEMPO) == MMSYSERR_NOERROR && tempo.dwTempo != usPerQuarter)
            pStream->SetTempoAt(usPerQuarter, t0);
    } else {
        MidiPropTempo tempo;
        if (pStream->Property(&tempo, MIDIPROP_GET | MIDIPROP_TEMPO) != MMSYSERR_NOERROR || tempo.dwTempo == 0) return;
        framesPerQuarter = rate * tempo.dwTempo / 1e6;
        barFrames = framesPerQuarter * double(loop) / division;
        inBar = std::fmod(double(pos.frame), barFrames);
    }

    const bool bWasRolling = m_bRolling;
    const bool bMoved = !bWasRolling || pos.frame != m_expectedFrame;
    m_expectedFrame = pos.frame + nFrames;
    m_bRolling = true;
    if (!bMoved) return;

    // The sixteenth of the loop where the transport is, or the next one.
    const double framesPerTick = barFrames / loop;
    const uint32_t stepTicks = std::max<uint32_t>(division / 4, 1);
    const double loopPos = inBar / framesPerTick;
    uint64_t step = uint64_t(std::ceil(loopPos / stepTicks - 1e-9));
    double ahead = (double(step * stepTicks) - loopPos) * framesPerTick;
    if (bWasRolling) m_dispatcher.Dispatch(kMidiResetMessage, *this);
    if ((step * stepTicks) % loop == HeadLoopTick()) {
        // What is queued is that step: it plays from its frame, even in
        // this period.
        pStream->MoveTo(t0 + std::llround(ahead));
    } else {
        // Other steps: they come from the client, which needs a moment.
        const double lead = double(nFrames) + rate / 500.0;
        while (ahead < lead) {
            ++step;
            ahead += stepTicks * framesPerTick;
        }
        const uint64_t loopTick = (step * stepTicks) % loop;
        pStream->Locate(t0 + std::llround(ahead), uint32_t(loopTick));
        m_locateTick = pStream->TickPosition();
        m_locateLoopTick = loopTick;
    }
    m_bParked = false;
}
