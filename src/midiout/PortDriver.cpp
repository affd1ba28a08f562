#include "midiout/PortDriver.h"

#include "midiout/MidiStream.h"

#include <alsa/asoundlib.h>
#include <pthread.h>
#include <rtmidi/RtMidi.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <iterator>
#include <system_error>
#include <vector>

namespace {

// Below the audio servers (which run around 80), above everything ordinary.
constexpr int kRealtimePriority = 40;

// RtMidi prints before it throws from its constructor, where no error
// callback can be set yet.
class CQuietStdErr
{
public:
    CQuietStdErr() : m_pOld(std::cerr.rdbuf(nullptr)) {}
    ~CQuietStdErr()
    {
        std::cerr.rdbuf(m_pOld);
        std::cerr.clear();
    }
    CQuietStdErr(const CQuietStdErr&) = delete;
    CQuietStdErr& operator=(const CQuietStdErr&) = delete;

private:
    std::streambuf* m_pOld;
};

// Where RtMidi's error callback leaves the first failure, instead of the
// console. Filled on the clock's thread, so a fixed buffer.
struct CErrorTrap
{
    std::atomic<bool> bFailed{false};
    char text[256]{};

    void Fail(const char* pText)
    {
        if (bFailed.load(std::memory_order_acquire)) return;
        const size_t n = std::min(std::strlen(pText), sizeof(text) - 1);
        std::memcpy(text, pText, n);
        text[n] = '\0';
        bFailed.store(true, std::memory_order_release);
    }

    static void OnError(RtMidiError::Type type, const std::string& errorText, void* pUser)
    {
        if (type == RtMidiError::DEBUG_WARNING) return;
        static_cast<CErrorTrap*>(pUser)->Fail(errorText.c_str());
    }
};

bool HasAlsaApi()
{
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    return std::find(apis.begin(), apis.end(), RtMidi::LINUX_ALSA) != apis.end();
}

// A sequencer client of our own, its errors going to trap. Asking for any
// other API could land on one that needs a server and crashes without it.
int OpenClient(std::unique_ptr<RtMidiOut>& out, CErrorTrap& trap, std::string& detail)
{
    SilenceAlsaConsole();
    if (!HasAlsaApi()) {
        detail = "RtMidi was built without ALSA support.";
        return MMSYSERR_NODRIVER;
    }
    // Probing first keeps RtMidi from failing (and printing) on machines
    // without a sequencer, the common case.
    snd_seq_t* pSeq = nullptr;
    if (const int err = snd_seq_open(&pSeq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK); err < 0) {
        detail = std::string("The ALSA sequencer cannot be opened: ") + snd_strerror(err) + '.';
        return MMSYSERR_NODRIVER;
    }
    snd_seq_close(pSeq);
    try {
        CQuietStdErr quiet;
        out = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, "Rondo");
        out->setErrorCallback(&CErrorTrap::OnError, &trap);
    } catch (const std::exception& e) {  // RtMidiError among them
        detail = e.what();
    }
    if (!out || !detail.empty()) {
        out.reset();
        return MMSYSERR_NODRIVER;
    }
    return MMSYSERR_NOERROR;
}

// One open sequencer port.
class CRtMidiSink final : public IPortSink
{
public:
    // Opens the port listed as name, looked for first at index nHint.
    int Open(const std::string& name, unsigned nHint, std::string& detail);
    // Opens an output port of our own, named "Rondo", that others read.
    int OpenVirtual(std::string& detail);
    int SendAt(uint32_t msg, int64_t dueNs) override;
    void RecordFailureDetail(int nError) const override
    {
        midiout::SetErrorDetail(nError, QStringLiteral("The MIDI output port stopped taking messages.\n\n%1")
                                            .arg(QString::fromUtf8(m_trap.text)));
    }

private:
    CErrorTrap m_trap;  // outlives m_pOut, which reports into it
    std::unique_ptr<RtMidiOut> m_pOut;
};

int CRtMidiSink::Open(const std::string& name, unsigned nHint, std::string& detail)
{
    if (const int err = OpenClient(m_pOut, m_trap, detail)) return err;
    bool bFound = false;
    try {
        // Ports come and go: the index may have moved since the listing.
        const unsigned count = m_pOut->getPortCount();
        unsigned index = count;
        if (nHint < count && m_pOut->getPortName(nHint) == name) index = nHint;
        for (unsigned i = 0; index == count && i < count; ++i) {
            if (m_pOut->getPortName(i) == name) index = i;
        }
        bFound = index < count;
        if (bFound) m_pOut->openPort(index, "Rondo");
    } catch (const std::exception& e) {
        m_trap.Fail(e.what());
    }
    if (m_trap.bFailed.load()) {
        detail = m_trap.text;
        return MMSYSERR_ERROR;
    }
    if (!bFound) {
        detail = "The port " + name + " is no longer there.";
        return MIDIERR_NODEVICE;
    }
    if (!m_pOut->isPortOpen()) {
        detail = "The port " + name + " could not be opened.";
        return MMSYSERR_ERROR;
    }
    return MMSYSERR_NOERROR;
}

int CRtMidiSink::OpenVirtual(std::string& detail)
{
    if (const int err = OpenClient(m_pOut, m_trap, detail)) return err;
    try {
        m_pOut->openVirtualPort("Rondo");
    } catch (const std::exception& e) {
        m_trap.Fail(e.what());
    }
    if (m_trap.bFailed.load()) {
        detail = m_trap.text;
        return MMSYSERR_ERROR;
    }
    return MMSYSERR_NOERROR;
}

// A stream's way to the virtual port, which outlives the stream.
class CSharedSink final : public IPortSink
{
public:
    explicit CSharedSink(IPortSink& sink) : m_sink(sink) {}
    int SendAt(uint32_t msg, int64_t dueNs) override { return m_sink.SendAt(msg, dueNs); }
    void RecordFailureDetail(int nError) const override { m_sink.RecordFailureDetail(nError); }

private:
    IPortSink& m_sink;
};

int CRtMidiSink::SendAt(uint32_t msg, int64_t)
{
    if (m_trap.bFailed.load(std::memory_order_acquire)) return MIDIERR_NODEVICE;
    unsigned char bytes[3];
    const size_t n = PackShortMessage(msg, bytes);
    if (n == 0) return MMSYSERR_NOERROR;
    try {
        m_pOut->sendMessage(bytes, n);
    } catch (const std::exception& e) {
        m_trap.Fail(e.what());
    }
    return m_trap.bFailed.load(std::memory_order_acquire) ? MIDIERR_NODEVICE : MMSYSERR_NOERROR;
}

} // namespace

size_t PackShortMessage(uint32_t msg, unsigned char out[3])
{
    const unsigned status = msg & 0xFF;
    // ALSA's encoder fails on the undefined system statuses; better
    // dropped than taken for a dead port.
    if (status < 0x80 || status == 0xF0 || status == 0xF7 || status == 0xF4 || status == 0xF5 || status == 0xF9 ||
        status == 0xFD)
        return 0;
    out[0] = static_cast<unsigned char>(status);
    out[1] = static_cast<unsigned char>((msg >> 8) & 0x7F);
    out[2] = static_cast<unsigned char>((msg >> 16) & 0x7F);
    if (status < 0xC0 || (status >= 0xE0 && status < 0xF0) || status == 0xF2) return 3;
    if (status < 0xE0 || status == 0xF1 || status == 0xF3) return 2;
    return 1;
}

// --- CPortClockDriver ---

CPortClockDriver::CPortClockDriver(std::unique_ptr<IMidiSink> sink)
    : m_pSink(std::move(sink)), m_pPortSink(dynamic_cast<IPortSink*>(m_pSink.get()))
{
}

CPortClockDriver::~CPortClockDriver()
{
    Shutdown();
}

int64_t CPortClockDriver::Now(int64_t) const
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

int CPortClockDriver::Start(CMidiStream& stream)
{
    if (m_thread.joinable()) return MMSYSERR_ALLOCATED;
    m_pStream = &stream;
    m_bQuit.store(false);
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        return MMSYSERR_NOMEM;
    }
    // Without the privilege the thread runs at normal priority: later under
    // load, but it still plays.
    sched_param param{};
    param.sched_priority =
        std::clamp(kRealtimePriority, sched_get_priority_min(SCHED_FIFO), sched_get_priority_max(SCHED_FIFO));
    m_bRealtime.store(pthread_setschedparam(m_thread.native_handle(), SCHED_FIFO, &param) == 0);
    return MMSYSERR_NOERROR;
}

void CPortClockDriver::Shutdown()
{
    if (!m_thread.joinable()) return;
    m_bQuit.store(true);
    m_pStream->WakeClock();
    m_thread.join();
    // A reset or message sent just before the close still reaches the
    // device; the thread is gone, so this thread may use the sink.
    SendDue(Now(0));
}

int CPortClockDriver::Health() const
{
    const int nHealth = m_nHealth.load();
    if (nHealth != MMSYSERR_NOERROR && m_pPortSink && !m_bDetailRecorded.exchange(true))
        m_pPortSink->RecordFailureDetail(nHealth);
    return nHealth;
}

void CPortClockDriver::Run()
{
    while (m_pStream->WaitForDue(m_bQuit)) SendDue(Now(0));
}

void CPortClockDriver::SendDue(int64_t t)
{
    MidiDue due[64];
    size_t n;
    do {
        n = m_pStream->Collect(t, t + 1, due, std::size(due));
        for (size_t i = 0; i < n; ++i) {
            m_dueNow = due[i].time;
            m_dispatcher.Dispatch(due[i].msg, *this);
        }
    } while (n == std::size(due));
}

void CPortClockDriver::Send(uint32_t msg)
{
    // A dead port plays on silently, so that its buffers still come back.
    if (m_nHealth.load(std::memory_order_relaxed) != MMSYSERR_NOERROR) return;
    if (!m_pPortSink) {
        m_pSink->Send(msg);
    } else if (const int err = m_pPortSink->SendAt(msg, m_dueNow)) {
        m_nHealth.store(err);
    }
}

// --- CAlsaPorts ---

CAlsaPorts::CAlsaPorts() = default;
CAlsaPorts::~CAlsaPorts() = default;

void CAlsaPorts::Refresh()
{
    m_names.clear();
    m_nVirtual = -1;
    CErrorTrap trap;  // outlives out, which reports into it
    std::unique_ptr<RtMidiOut> out;
    std::string detail;
    if (OpenClient(out, trap, detail) != MMSYSERR_NOERROR) return;
    try {
        const unsigned count = out->getPortCount();
        for (unsigned i = 0; i < count && !trap.bFailed.load(); ++i) {
            std::string name = out->getPortName(i);
            if (!trap.bFailed.load()) m_names.push_back(std::move(name));
        }
    } catch (const std::exception& e) {
        trap.Fail(e.what());
    }
    // A listing cut short would shift the indexes of the ports after it.
    if (trap.bFailed.load()) m_names.clear();
    // Where there is a sequencer, there can be a port of our own.
    m_nVirtual = int(m_names.size());
    m_names.push_back(kVirtualPortName);
}

int CAlsaPorts::OpenVirtualPort()
{
    if (m_pVirtual) return MMSYSERR_NOERROR;
    auto sink = std::make_unique<CRtMidiSink>();
    std::string detail;
    if (const int err = sink->OpenVirtual(detail)) {
        midiout::SetErrorDetail(err, QStringLiteral("Rondo's virtual MIDI port could not be opened.\n\n%1")
                                         .arg(QString::fromStdString(detail)));
        return err;
    }
    m_pVirtual = std::move(sink);
    return MMSYSERR_NOERROR;
}

void CAlsaPorts::Choose(uint32_t uDeviceID)
{
    if (m_nVirtual >= 0 && uDeviceID == uint32_t(m_nVirtual)) {
        OpenVirtualPort();
    } else {
        m_pVirtual.reset();
    }
}

int CAlsaPorts::GetName(unsigned nPort, std::string& name) const
{
    if (nPort >= m_names.size()) return MMSYSERR_BADDEVICEID;
    name = m_names[nPort];
    return MMSYSERR_NOERROR;
}

int CAlsaPorts::OpenDriver(unsigned nPort, std::unique_ptr<CMidiDriver>& driver)
{
    if (nPort >= m_names.size()) return MMSYSERR_BADDEVICEID;
    if (int(nPort) == m_nVirtual) {
        if (const int err = OpenVirtualPort()) return err;
        driver = std::make_unique<CPortClockDriver>(std::make_unique<CSharedSink>(*m_pVirtual));
        return MMSYSERR_NOERROR;
    }
    auto sink = std::make_unique<CRtMidiSink>();
    std::string detail;
    if (const int err = sink->Open(m_names[nPort], nPort, detail)) {
        midiout::SetErrorDetail(err, QStringLiteral("The MIDI output port \"%1\" could not be opened.\n\n%2")
                                         .arg(QString::fromStdString(m_names[nPort]), QString::fromStdString(detail)));
        return err;
    }
    driver = std::make_unique<CPortClockDriver>(std::move(sink));
    return MMSYSERR_NOERROR;
}

// --- CSinkPortOut ---

int CSinkPortOut::GetDevCaps(unsigned nDevice, MidiOutCaps& caps) const
{
    if (nDevice != 0) return MMSYSERR_BADDEVICEID;
    caps.szPname = "Sink port";
    return MMSYSERR_NOERROR;
}

int CSinkPortOut::OpenDriver(uint32_t uDeviceID, std::unique_ptr<CMidiDriver>& driver)
{
    if (uDeviceID != 0 && uDeviceID != MIDI_MAPPER) return MMSYSERR_BADDEVICEID;
    auto clock = std::make_unique<CPortClockDriver>(m_makeSink());
    m_pClock = clock.get();
    driver = std::move(clock);
    return MMSYSERR_NOERROR;
}
