#include "JackRig.h"

#include <QFile>
#include <QStandardPaths>

#include <jack/midiport.h>
#include <jack/transport.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <cstdlib>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace rondo_test {

namespace {

void Quiet(const char*)
{
}

jack_client_t* Open(const QString& server, const char* name)
{
    jack_set_error_function(&Quiet);
    jack_set_info_function(&Quiet);
    jack_status_t status{};
    const QByteArray serverName = server.toUtf8();
    return jack_client_open(name, jack_options_t(JackNoStartServer | JackServerName), &status,
                            serverName.constData());
}

} // namespace

JackServer::JackServer(int nRate, int nPeriod)
{
    static std::atomic<int> s_nServers{0};
    m_name = QStringLiteral("rondo-test-%1-%2").arg(getpid()).arg(s_nServers.fetch_add(1));
    // Servers that start at the same moment trip over each other's shared
    // memory registry: test programs running side by side take turns.
    const int lock = open("/tmp/rondo-test-jackd.lock", O_CREAT | O_RDWR, 0666);
    if (lock >= 0) flock(lock, LOCK_EX);
    for (int attempt = 0; attempt < 5 && !m_bRunning; ++attempt) Spawn(nRate, nPeriod);
    if (lock >= 0) {
        flock(lock, LOCK_UN);
        close(lock);
    }
}

void JackServer::Spawn(int nRate, int nPeriod)
{
    const std::string name = m_name.toStdString(), rate = std::to_string(nRate), period = std::to_string(nPeriod);
    const QByteArray jackd = QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("jackd")));
    if (jackd.isEmpty()) {
        m_error = QStringLiteral("jackd is not installed (scripts/install-deps installs jackd2)");
        return;
    }
    const char* argv[] = {jackd.constData(), "-n", name.c_str(), "-d", "dummy", "-r", rate.c_str(), "-p", period.c_str(),
                          nullptr};
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // A test program that dies (a sanitizer's abort) takes its server
        // with it. Only calls that are safe between fork and exec.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(1);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execv(argv[0], const_cast<char**>(argv));
        _exit(127);
    }
    if (pid < 0) {
        m_error = QStringLiteral("jackd could not be started: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return;
    }
    m_pid = pid;
    using namespace std::chrono;
    const steady_clock::time_point deadline = steady_clock::now() + seconds(10);
    while (steady_clock::now() < deadline) {
        if (jack_client_t* pClient = Open(m_name, "rondo-test-wait")) {
            jack_client_close(pClient);
            m_bRunning = true;
            m_error.clear();
            return;
        }
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_error = QStringLiteral("jackd exited at once (status %1)").arg(status);
            std::this_thread::sleep_for(milliseconds(200));
            return;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    m_error = QStringLiteral("jackd took no client within 10 s");
}

JackServer::~JackServer()
{
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    using namespace std::chrono;
    const steady_clock::time_point deadline = steady_clock::now() + seconds(5);
    int status = 0;
    while (waitpid(m_pid, &status, WNOHANG) == 0) {
        if (steady_clock::now() > deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

void JackServer::Kill()
{
    if (m_pid <= 0) return;
    kill(m_pid, SIGTERM);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    m_bRunning = false;
}

QProcessEnvironment JackServer::ClientEnvironment(QProcessEnvironment env) const
{
    env.insert(QStringLiteral("JACK_DEFAULT_SERVER"), m_name);
    env.insert(QStringLiteral("JACK_NO_START_SERVER"), QStringLiteral("1"));
    return env;
}

jack_client_t* JackServer::OpenClient(const char* name) const
{
    return m_bRunning ? Open(m_name, name) : nullptr;
}

bool JackServer::Connected(const QString& a, const QString& b) const
{
    jack_client_t* pClient = OpenClient("rondo-test-look");
    if (pClient == nullptr) return false;
    bool bConnected = false;
    if (jack_port_t* pPort = jack_port_by_name(pClient, a.toUtf8().constData()))
        bConnected = jack_port_connected_to(pPort, b.toUtf8().constData()) != 0;
    jack_client_close(pClient);
    return bConnected;
}

JackAudioRecorder::JackAudioRecorder(const JackServer& server, int nMaxSeconds)
{
    m_pClient = server.OpenClient("rondo-test-rec");
    if (m_pClient == nullptr) return;
    m_nRate = int(jack_get_sample_rate(m_pClient));
    for (auto& data : m_data) data.assign(size_t(nMaxSeconds) * size_t(m_nRate), 0.0f);
    m_ports[0] = jack_port_register(m_pClient, "in_l", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    m_ports[1] = jack_port_register(m_pClient, "in_r", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(m_pClient, &JackAudioRecorder::Process, this);
    if (!m_ports[0] || !m_ports[1] || jack_activate(m_pClient) != 0) {
        jack_client_close(m_pClient);
        m_pClient = nullptr;
    }
}

JackAudioRecorder::~JackAudioRecorder()
{
    if (m_pClient) jack_client_close(m_pClient);
}

int JackAudioRecorder::Process(jack_nframes_t nFrames, void* pArg)
{
    auto* self = static_cast<JackAudioRecorder*>(pArg);
    const size_t at = self->m_nFrames.load(std::memory_order_relaxed);
    const size_t n = std::min<size_t>(nFrames, self->m_data[0].size() - at);
    for (int c = 0; c < 2; ++c) {
        const auto* in = static_cast<const float*>(jack_port_get_buffer(self->m_ports[c], nFrames));
        std::copy(in, in + n, self->m_data[c].begin() + std::ptrdiff_t(at));
    }
    self->m_nFrames.store(at + n, std::memory_order_release);
    return 0;
}

bool JackAudioRecorder::ConnectWhenThere(const char* left, const char* right, int timeoutMs)
{
    using namespace std::chrono;
    const steady_clock::time_point deadline = steady_clock::now() + milliseconds(timeoutMs);
    bool bLeft = false, bRight = false;
    // A client's ports exist a moment before it is active, and only an
    // active client's ports connect.
    while (m_pClient && !(bLeft && bRight) && steady_clock::now() < deadline) {
        if (!bLeft && jack_port_by_name(m_pClient, left))
            bLeft = jack_connect(m_pClient, left, jack_port_name(m_ports[0])) == 0;
        if (!bRight && jack_port_by_name(m_pClient, right))
            bRight = jack_connect(m_pClient, right, jack_port_name(m_ports[1])) == 0;
        if (!(bLeft && bRight)) std::this_thread::sleep_for(milliseconds(1));
    }
    return bLeft && bRight;
}

std::vector<float> JackAudioRecorder::Mono() const
{
    const size_t n = m_nFrames.load(std::memory_order_acquire);
    std::vector<float> mono(n);
    for (size_t i = 0; i < n; ++i) mono[i] = std::max(std::fabs(m_data[0][i]), std::fabs(m_data[1][i]));
    return mono;
}

JackMidiRecorder::JackMidiRecorder(const JackServer& server, const char* name)
{
    m_events.resize(400000);
    m_pClient = server.OpenClient(name);
    if (m_pClient == nullptr) return;
    m_pPort = jack_port_register(m_pClient, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(m_pClient, &JackMidiRecorder::Process, this);
    if (m_pPort == nullptr || jack_activate(m_pClient) != 0) {
        jack_client_close(m_pClient);
        m_pClient = nullptr;
    }
}

JackMidiRecorder::~JackMidiRecorder()
{
    if (m_pClient) jack_client_close(m_pClient);
}

int JackMidiRecorder::Process(jack_nframes_t nFrames, void* pArg)
{
    auto* self = static_cast<JackMidiRecorder*>(pArg);
    void* pBuffer = jack_port_get_buffer(self->m_pPort, nFrames);
    const int64_t cycle = self->m_clock.Advance(jack_last_frame_time(self->m_pClient), nFrames);
    jack_position_t pos{};
    const bool bRolling = jack_transport_query(self->m_pClient, &pos) == JackTransportRolling;
    size_t at = self->m_nEvents.load(std::memory_order_relaxed);
    const jack_nframes_t n = jack_midi_get_event_count(pBuffer);
    for (jack_nframes_t i = 0; i < n && at < self->m_events.size(); ++i) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, pBuffer, i) != 0) continue;
        Event& e = self->m_events[at++];
        e.frame = cycle + ev.time;
        e.transportFrame = bRolling ? int64_t(pos.frame) + ev.time : -1;
        e.size = uint8_t(std::min<size_t>(ev.size, 3));
        for (size_t b = 0; b < e.size; ++b) e.bytes[b] = ev.buffer[b];
    }
    self->m_nEvents.store(at, std::memory_order_release);
    return 0;
}

bool JackMidiRecorder::ConnectFrom(const char* source, int timeoutMs)
{
    using namespace std::chrono;
    const steady_clock::time_point deadline = steady_clock::now() + milliseconds(timeoutMs);
    while (m_pClient && steady_clock::now() < deadline) {
        if (IsConnectedFrom(source)) return true;
        if (jack_port_by_name(m_pClient, source)) jack_connect(m_pClient, source, jack_port_name(m_pPort));
        std::this_thread::sleep_for(milliseconds(1));
    }
    return false;
}

bool JackMidiRecorder::IsConnectedFrom(const char* source) const
{
    return m_pPort && jack_port_connected_to(m_pPort, source) != 0;
}

std::vector<JackMidiRecorder::Event> JackMidiRecorder::Events() const
{
    const size_t n = m_nEvents.load(std::memory_order_acquire);
    const size_t from = std::min(n, m_nCleared.load());
    return std::vector<Event>(m_events.begin() + std::ptrdiff_t(from), m_events.begin() + std::ptrdiff_t(n));
}

std::vector<JackMidiRecorder::Event> JackMidiRecorder::NoteOns() const
{
    std::vector<Event> ons;
    for (const Event& e : Events()) {
        if (e.size == 3 && (e.bytes[0] & 0xF0) == 0x90 && e.bytes[2] != 0) ons.push_back(e);
    }
    return ons;
}

} // namespace rondo_test
