#include "JackRig.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

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
    const std::string name = m_name.toStdString(), rate = std::to_string(nRate), period = std::to_string(nPeriod);
    const char* argv[] = {"jackd", "-n", name.c_str(), "-d", "dummy", "-r", rate.c_str(), "-p", period.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int err = posix_spawnp(&pid, "jackd", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        m_error = QStringLiteral("jackd could not be started: %1 (scripts/install-deps installs jackd2)")
                      .arg(QString::fromLocal8Bit(strerror(err)));
        return;
    }
    m_pid = pid;
    using namespace std::chrono;
    const steady_clock::time_point deadline = steady_clock::now() + seconds(10);
    while (steady_clock::now() < deadline) {
        if (jack_client_t* pClient = Open(m_name, "rondo-test-wait")) {
            jack_client_close(pClient);
            m_bRunning = true;
            return;
        }
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_error = QStringLiteral("jackd exited at once (status %1)").arg(status);
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
    kill(m_pid, SIGKILL);
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

} // namespace rondo_test
