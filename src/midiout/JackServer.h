#pragma once

// What the program asks of a JACK server before it uses one. Rondo never
// starts a server: a client of this process only joins one that runs.

namespace midiout {

// Keeps every JACK client of the process, ours and the libraries', from
// starting a server of its own. Call once, before any other thread runs.
void NeverStartJackServer();

// Whether a JACK server answers (the one JACK_DEFAULT_SERVER names), and
// its sample rate in *pnSampleRate. Quiet: libjack's console messages are
// kept off the terminal.
bool JackServerRunning(int* pnSampleRate = nullptr);

} // namespace midiout
