#include "midiout/JackServer.h"

#include <jack/jack.h>

#include <cstdlib>
#include <mutex>

namespace {

void IgnoreJackMessage(const char*)
{
}

void SilenceJackConsole()
{
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(&IgnoreJackMessage);
        jack_set_info_function(&IgnoreJackMessage);
    });
}

} // namespace

namespace midiout {

void NeverStartJackServer()
{
    setenv("JACK_NO_START_SERVER", "1", 1);
    SilenceJackConsole();
}

bool JackServerRunning(int* pnSampleRate)
{
    SilenceJackConsole();
    jack_status_t status{};
    jack_client_t* pClient = jack_client_open("rondo-probe", JackNoStartServer, &status);
    if (pClient == nullptr) return false;
    if (pnSampleRate) *pnSampleRate = int(jack_get_sample_rate(pClient));
    jack_client_close(pClient);
    return true;
}

} // namespace midiout
