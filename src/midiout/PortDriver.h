#pragma once

// The ALSA sequencer output ports (through RtMidi) and the real-time clock
// that plays a stream into one of them.

#include "midiout/MidiDriver.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// A sink that also learns when each message was due and can say that its
// device has gone. Plain IMidiSinks work with the port clock too; this is
// what a port, and a benchmark measuring lateness, needs on top.
class IPortSink : public IMidiSink
{
public:
    // Sends msg, which was due at dueNs (steady_clock nanoseconds). 0, or
    // the error code once the device no longer takes messages. Called on
    // the clock's thread only; must not allocate.
    virtual int SendAt(uint32_t msg, int64_t dueNs) = 0;
    // Records why the device failed (midiout::SetErrorDetail). Called off
    // the clock's thread, after SendAt has returned nError.
    virtual void RecordFailureDetail(int nError) const { (void)nError; }

    void Send(uint32_t msg) override { (void)SendAt(msg, 0); }
};

// The bytes of a packed short message as they go on the wire: 1 to 3,
// by status byte. 0 for what is not a complete short message (no status
// byte, or system exclusive).
size_t PackShortMessage(uint32_t msg, unsigned char out[3]);

// The real-time clock of a port: a playback thread that sleeps to each
// event's absolute deadline on the monotonic clock and sends it on time.
class CPortClockDriver final : public CMidiDriver, private IMidiSink
{
public:
    // Any sink: the RtMidi port, or a recording sink in tests and benchmarks.
    explicit CPortClockDriver(std::unique_ptr<IMidiSink> sink);
    ~CPortClockDriver() override;
    CPortClockDriver(const CPortClockDriver&) = delete;
    CPortClockDriver& operator=(const CPortClockDriver&) = delete;

    int64_t UnitsPerSecond() const override { return 1000000000; }
    // steady_clock nanoseconds since its epoch.
    int64_t Now(int64_t) const override;
    int Start(CMidiStream& stream) override;
    void Shutdown() override;
    // MIDIERR_NODEVICE (or the sink's code) once sending failed.
    int Health() const override;

    // Whether the playback thread got real-time (SCHED_FIFO) scheduling.
    bool IsRealtime() const { return m_bRealtime.load(); }

private:
    void Run();
    // Sends everything due by t.
    void SendDue(int64_t t);
    void Send(uint32_t msg) override;

    std::unique_ptr<IMidiSink> m_pSink;
    IPortSink* m_pPortSink = nullptr;  // m_pSink when it is one
    CMidiDispatcher m_dispatcher;
    CMidiStream* m_pStream = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_bQuit{false};
    std::atomic<bool> m_bRealtime{false};
    std::atomic<int> m_nHealth{MMSYSERR_NOERROR};
    mutable std::atomic<bool> m_bDetailRecorded{false};
    int64_t m_dueNow = 0;  // due time of the message being dispatched
};

// The ALSA sequencer output ports, in the order RtMidi lists them (device
// n is port n), then Rondo's own virtual output port, which programs that
// record MIDI (a DAW) connect to.
class CAlsaPorts
{
public:
    static constexpr const char* kVirtualPortName = "Rondo (virtual port)";

    // Lists nothing until Refresh.
    CAlsaPorts();
    ~CAlsaPorts();
    CAlsaPorts(const CAlsaPorts&) = delete;
    CAlsaPorts& operator=(const CAlsaPorts&) = delete;

    // Lists the ports. Without a sequencer it lists none, quietly.
    void Refresh();
    unsigned Count() const { return unsigned(m_names.size()); }
    // MMSYSERR_BADDEVICEID when out of range.
    int GetName(unsigned nPort, std::string& name) const;
    // Opens the port as client "Rondo" and returns its clock. An error code
    // with its detail recorded on failure.
    int OpenDriver(unsigned nPort, std::unique_ptr<CMidiDriver>& driver);
    // The virtual port exists while it is the chosen device, so that a DAW
    // can subscribe to it before the first Start.
    void Choose(uint32_t uDeviceID);

private:
    // 0, or an error code with its detail recorded.
    int OpenVirtualPort();

    std::vector<std::string> m_names;
    int m_nVirtual = -1;  // its device id in the listing, -1 without a sequencer
    std::unique_ptr<IPortSink> m_pVirtual;
};

// One port whose real-time clock sounds into sinks that a factory makes: the
// port clock without ALSA, for tests and benchmarks. Device 0; the built-in
// synthesizer's id opens it too, so a new document's default device plays it.
class CSinkPortOut final : public IMidiOutService
{
public:
    using SinkFactory = std::function<std::unique_ptr<IMidiSink>()>;

    explicit CSinkPortOut(SinkFactory makeSink) : m_makeSink(std::move(makeSink)) {}

    unsigned GetNumDevs() const override { return 1; }
    int GetDevCaps(unsigned nDevice, MidiOutCaps& caps) const override;
    int OpenDriver(uint32_t uDeviceID, std::unique_ptr<CMidiDriver>& driver) override;

    // The clock of the last open, while its stream is open.
    CPortClockDriver* Clock() const { return m_pClock; }

private:
    SinkFactory m_makeSink;
    CPortClockDriver* m_pClock = nullptr;
};
