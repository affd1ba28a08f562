#pragma once

// JACK MIDI: Rondo's JACK client with one MIDI output port, and the clock
// that plays a stream into it from the server's process callback, every
// event written at its own frame of the period.

#include "midiout/MidiDriver.h"

#include <QString>
#include <QStringList>

#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <semaphore>
#include <thread>

class CJackMidiDriver;

// The frame at which each process cycle starts, widened past the server's
// 32-bit wrap. It counts the frames processed and follows the server's
// frame time only when that differs the same way two cycles running (a
// cycle this client missed): read by a client that runs late in an
// asynchronous server, the frame time can be a period off for one cycle,
// and following that would move the loop off its grid for good.
class CJackCycleClock
{
public:
    // Call once per cycle with jack_last_frame_time; returns its first frame.
    int64_t Advance(uint32_t serverFrame, uint32_t nFrames);

private:
    bool m_bStarted = false;
    uint32_t m_lastServer32 = 0;
    int64_t m_server = 0;
    int64_t m_next = 0;
    int64_t m_pendingJump = 0;
};

// The client "Rondo" and its port "midi_out". It lives while JACK MIDI is
// the chosen device, so connections made to the port survive Stop and
// Start; it never starts a server.
class CJackMidiClient
{
public:
    static constexpr const char* kClientName = "Rondo";
    static constexpr const char* kPortName = "midi_out";

    // Joins the running server and connects the port to every port of
    // connections that exists. Null, with the reason in error, without one.
    static std::unique_ptr<CJackMidiClient> Open(const QStringList& connections, QString& error);
    ~CJackMidiClient();
    CJackMidiClient(const CJackMidiClient&) = delete;
    CJackMidiClient& operator=(const CJackMidiClient&) = delete;

    int SampleRate() const { return m_nSampleRate; }
    // "Rondo:midi_out", or the name the server gave the client.
    QString PortName() const;
    // The full names of the ports connected to ours now.
    QStringList Connections() const;
    void Connect(const QStringList& ports);
    bool IsServerGone() const { return m_bServerGone.load(); }
    uint64_t Xruns() const { return m_nXruns.load(); }
    uint64_t Cycles() const { return m_nCycles.load(); }
    // CPU time the process callback took while a driver played: in all,
    // and the longest period, in nanoseconds.
    uint64_t PlayingCycles() const { return m_nPlayingCycles.load(); }
    uint64_t ProcessNsTotal() const { return m_nProcessNs.load(); }
    uint64_t ProcessNsMax() const { return m_nProcessNsMax.load(); }
    jack_client_t* Handle() const { return m_pClient; }

    // --- for the driver ---
    // The driver the process callback plays; Detach waits until the
    // callback has let go of it.
    void Attach(CJackMidiDriver* pDriver);
    void Detach();
    // Sleeps until the server has gone or Wake is called; true when gone.
    bool WaitForServerGone();
    void Wake() { m_wake.release(); }
    // Waits until nCycles more periods have passed (at most timeoutMs).
    void WaitCycles(uint64_t nCycles, int timeoutMs) const;

private:
    CJackMidiClient() = default;
    static int Process(jack_nframes_t nFrames, void* pArg);
    static void OnShutdown(void* pArg);
    static int OnXrun(void* pArg);

    jack_client_t* m_pClient = nullptr;
    jack_port_t* m_pPort = nullptr;
    int m_nSampleRate = 44100;
    std::atomic<CJackMidiDriver*> m_pDriver{nullptr};
    std::atomic<bool> m_bInProcess{false};
    std::atomic<bool> m_bServerGone{false};
    std::atomic<uint64_t> m_nXruns{0};
    std::atomic<uint64_t> m_nCycles{0};
    std::atomic<uint64_t> m_nPlayingCycles{0};
    std::atomic<uint64_t> m_nProcessNs{0};
    std::atomic<uint64_t> m_nProcessNsMax{0};
    std::counting_semaphore<> m_wake{0};
};

// The clock of a stream played into the client's port. Times are frames of
// the server's clock since the driver started; the scheduler hands over the
// events due in each period with their exact frame, and each is written at
// its own offset (jack_midi_event_write).
//
// Following the transport: the loop sounds only while it rolls, each pass
// on a bar line of its position (bar, beat and tick when a timebase master
// gives them, else the frame at the stream's tempo), at the master's tempo;
// a stop silences at once and a relocation continues at the matching
// sixteenth.
class CJackMidiDriver final : public CMidiDriver, private IMidiSink
{
public:
    CJackMidiDriver(CJackMidiClient& client, bool bFollowTransport);
    ~CJackMidiDriver() override;

    int64_t UnitsPerSecond() const override { return m_client.SampleRate(); }
    int Start(CMidiStream& stream) override;
    void Shutdown() override;
    // MIDIERR_NODEVICE once the server has gone.
    int Health() const override;

    // Called by the client's process callback: one period of nFrames.
    void Process(jack_nframes_t nFrames, void* pPortBuffer);

    // Messages that did not fit a period's buffer.
    uint64_t Lost() const { return m_nLost.load(); }

private:
    void Send(uint32_t msg) override;
    void FollowTransport(int64_t t0, jack_nframes_t nFrames);
    // Where the loop stands at the head of the queue, in ticks of it.
    uint64_t HeadLoopTick() const;
    void Watch();

    CJackMidiClient& m_client;
    const bool m_bFollowTransport;
    std::atomic<CMidiStream*> m_pStream{nullptr};
    CMidiDispatcher m_dispatcher;
    std::thread m_watcher;
    std::atomic<bool> m_bQuit{false};
    mutable std::atomic<bool> m_bDetailRecorded{false};
    std::atomic<uint64_t> m_nLost{0};

    // The process callback's own state.
    void* m_pBuffer = nullptr;
    jack_nframes_t m_nOffset = 0;  // frame in the period of the message being sent
    CJackCycleClock m_clock;
    // Transport: its state at the last period.
    bool m_bRolling = false;
    bool m_bParked = false;
    jack_nframes_t m_expectedFrame = 0;
    // The queue's head is loop tick m_locateLoopTick at stream tick m_locateTick.
    uint64_t m_locateTick = 0;
    uint64_t m_locateLoopTick = 0;
};
