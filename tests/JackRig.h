#pragma once

// A JACK server of the test's own (the dummy backend, paced in real time)
// and clients that record what other clients play into it.

#include <QProcessEnvironment>
#include <QString>

#include "midiout/JackMidiDriver.h"

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace rondo_test {

class JackServer
{
public:
    // Starts `jackd -n NAME -d dummy -r rate -p period` under a name unique
    // to this process and waits until it takes clients. The server is
    // ended by its PID when the object goes, whatever the test did.
    explicit JackServer(int nRate = 44100, int nPeriod = 256);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    bool IsRunning() const { return m_bRunning; }
    // Why it is not running.
    const QString& Error() const { return m_error; }
    const QString& Name() const { return m_name; }
    int Pid() const { return m_pid; }
    // Ends the server now, as its user would (SIGTERM): its clients lose it
    // in the middle of whatever they do. (SIGKILL would leave its entry in
    // libjack's shared registry, which holds only a few servers.)
    void Kill();
    // What a client process needs to join this server and no other.
    QProcessEnvironment ClientEnvironment(QProcessEnvironment env = QProcessEnvironment::systemEnvironment()) const;
    // A client of the test on this server; null on failure.
    jack_client_t* OpenClient(const char* name) const;
    // Whether port a is connected to port b (full names).
    bool Connected(const QString& a, const QString& b) const;

private:
    void Spawn(int nRate, int nPeriod);

    QString m_name;
    QString m_error;
    int m_pid = -1;
    bool m_bRunning = false;
};

// Records two audio inputs from the moment it is activated; connects the
// named outputs to them once they appear (ConnectWhenThere).
class JackAudioRecorder
{
public:
    JackAudioRecorder(const JackServer& server, int nMaxSeconds = 30);
    ~JackAudioRecorder();

    bool IsOpen() const { return m_pClient != nullptr; }
    // Polls until both ports exist, then connects them to the inputs.
    // False after timeoutMs.
    bool ConnectWhenThere(const char* left, const char* right, int timeoutMs);
    // The louder channel, frame by frame, of what was recorded so far.
    std::vector<float> Mono() const;
    int SampleRate() const { return m_nRate; }

private:
    static int Process(jack_nframes_t nFrames, void* pArg);

    jack_client_t* m_pClient = nullptr;
    jack_port_t* m_ports[2]{};
    std::vector<float> m_data[2];
    std::atomic<size_t> m_nFrames{0};
    int m_nRate = 44100;
};

// Records every MIDI message reaching its input, with its frame and the
// transport's frame (while it rolls); connects to a source.
class JackMidiRecorder
{
public:
    struct Event
    {
        int64_t frame;           // the frame of its cycle, as Rondo's JACK MIDI clock counts, plus its offset
        int64_t transportFrame;  // the transport's frame, -1 while it is stopped
        uint8_t bytes[3];
        uint8_t size;
    };

    explicit JackMidiRecorder(const JackServer& server, const char* name = "rondo-test-midi");
    ~JackMidiRecorder();

    bool IsOpen() const { return m_pClient != nullptr; }
    jack_client_t* Client() const { return m_pClient; }
    // Connects source to the input, retrying while it is not there or not
    // active yet. False after timeoutMs.
    bool ConnectFrom(const char* source, int timeoutMs);
    bool IsConnectedFrom(const char* source) const;
    std::vector<Event> Events() const;
    void Clear() { m_nCleared.store(m_nEvents.load()); }
    // The note-ons (velocity > 0) among them.
    std::vector<Event> NoteOns() const;

private:
    static int Process(jack_nframes_t nFrames, void* pArg);

    jack_client_t* m_pClient = nullptr;
    jack_port_t* m_pPort = nullptr;
    std::vector<Event> m_events;
    std::atomic<size_t> m_nEvents{0};
    CJackCycleClock m_clock;  // as Rondo's JACK MIDI clock counts
    std::atomic<size_t> m_nCleared{0};
};

} // namespace rondo_test
