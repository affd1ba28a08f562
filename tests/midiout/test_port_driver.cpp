#include "midiout/MidiOut.h"
#include "midiout/MidiStream.h"
#include "midiout/PortDriver.h"
#include "midiout/StreamRecords.h"

#include <gtest/gtest.h>

#include <QString>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

int64_t SteadyNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// What the clock sent, with due and send times, in preallocated slots: one
// writer (the clock), readers see a slot once the count covers it. Owned by
// the test, so it outlives the stream.
class CRecording
{
public:
    struct Sent
    {
        uint32_t msg;
        int64_t due;
        int64_t sent;
    };
    static constexpr size_t kCapacity = 4096;

    bool Add(uint32_t msg, int64_t due)
    {
        const size_t n = m_count.load(std::memory_order_relaxed);
        if (n == kCapacity) return false;
        m_sent[n] = Sent{msg, due, SteadyNs()};
        m_count.store(n + 1, std::memory_order_release);
        return true;
    }
    size_t Count() const { return m_count.load(std::memory_order_acquire); }
    const Sent& operator[](size_t i) const { return m_sent[i]; }
    // Waits for n messages; a generous bound only keeps a broken clock from hanging the test.
    bool WaitFor(size_t n) const
    {
        const int64_t giveUp = SteadyNs() + 5'000'000'000;
        while (Count() < n && SteadyNs() < giveUp) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return Count() >= n;
    }

    // While set, the sink holds the clock in its next send, as a slow port would.
    std::atomic<bool> m_bHold{false};
    std::atomic<bool> m_bHeld{false};

private:
    std::array<Sent, kCapacity> m_sent{};
    std::atomic<size_t> m_count{0};
};

class CRecordingSink final : public IPortSink
{
public:
    CRecordingSink(CRecording& recording, int nFailAfter) : m_recording(recording), m_nFailAfter(nFailAfter) {}

    int SendAt(uint32_t msg, int64_t dueNs) override
    {
        if (m_recording.m_bHold.load()) {
            m_recording.m_bHeld = true;
            while (m_recording.m_bHold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // The port "vanishes" after m_nFailAfter messages.
        if (m_nFailAfter >= 0 && m_recording.Count() >= size_t(m_nFailAfter)) return MIDIERR_NODEVICE;
        return m_recording.Add(msg, dueNs) ? MMSYSERR_NOERROR : MMSYSERR_NOMEM;
    }
    void RecordFailureDetail(int nError) const override
    {
        midiout::SetErrorDetail(nError, QStringLiteral("The test port was unplugged."));
    }

private:
    CRecording& m_recording;
    int m_nFailAfter;
};

constexpr uint32_t kDivision = 120;
constexpr uint32_t kTempo = 290000;  // a tick of 2416666.67 ns: due times must round, not drift
constexpr uint32_t kDelta = 2;
constexpr size_t kPerBuffer = 8;

// Event k of the test loop: a note whose number and velocity name k.
uint32_t EventMessage(size_t k)
{
    return 0x99u | uint32_t(k % 128) << 8 | uint32_t(1 + (k / 128) % 127) << 16;
}

// A loop of numbered events in two buffers, refilled from the stream
// callback as the document refills its own.
class CLoopPlayer
{
public:
    explicit CLoopPlayer(size_t nEvents, int nFailAfter = -1) : m_nEvents(nEvents)
    {
        m_nFailAfter = nFailAfter;
        uint32_t device = 0;
        m_nOpen = midiout::StreamOpen(m_service, &m_hStream, &device, 1, &Callback, this);
        if (m_nOpen) return;
        MidiPropTimeDiv div;
        div.dwTimeDiv = kDivision;
        MidiPropTempo tempo;
        tempo.dwTempo = kTempo;
        midiout::StreamProperty(m_hStream, &div, MIDIPROP_SET | MIDIPROP_TIMEDIV);
        midiout::StreamProperty(m_hStream, &tempo, MIDIPROP_SET | MIDIPROP_TEMPO);
        for (size_t i = 0; i < 2; ++i) {
            m_buf[i].bytes.reserve(kPerBuffer * kMidiEventSize);  // refills keep the buffer where it is
            midiout::PrepareHeader(m_hStream, m_buf[i].Header(), sizeof(MidiHdr));
        }
    }
    ~CLoopPlayer()
    {
        if (!m_hStream) return;
        m_bRefill = false;
        midiout::StreamStop(m_hStream);
        midiout::StreamClose(m_hStream);
    }

    // Queues the next events into buffer i; 0 or the error of StreamOut.
    int Fill(size_t i)
    {
        m_buf[i].bytes.clear();
        for (size_t n = 0; n < kPerBuffer && m_nNext < m_nEvents; ++n, ++m_nNext)
            m_buf[i].Add(m_nNext == 0 ? 0 : kDelta, EventMessage(m_nNext));
        return midiout::StreamOut(m_hStream, m_buf[i].Header(), sizeof(MidiHdr));
    }
    const MidiHdr& Hdr(size_t i) const { return m_buf[i].hdr; }

    CRecording m_recording;
    int m_nFailAfter = -1;
    CSinkPortOut m_service{[this] { return std::make_unique<CRecordingSink>(m_recording, m_nFailAfter); }};
    HMidiStream m_hStream = nullptr;
    int m_nOpen = MMSYSERR_ERROR;
    std::atomic<bool> m_bRefill{true};
    std::atomic<int> m_nDone{0};

private:
    static void Callback(HMidiStream, unsigned uMsg, void* pInstance, uintptr_t dwParam1, uintptr_t)
    {
        auto* self = static_cast<CLoopPlayer*>(pInstance);
        if (uMsg != MOM_DONE) return;
        self->m_nDone.fetch_add(1);
        auto* pHdr = reinterpret_cast<MidiHdr*>(dwParam1);
        if (self->m_bRefill.load() && self->m_nNext < self->m_nEvents) self->Fill(pHdr == &self->m_buf[0].hdr ? 0 : 1);
    }

    size_t m_nEvents;
    size_t m_nNext = 0;
    rondo_test::RecordBuffer m_buf[2];
};

TEST(PortDriver, PacksShortMessagesByStatus)
{
    struct Case
    {
        uint32_t msg;
        size_t length;
    };
    const Case cases[] = {
        {0x7F3C99, 3}, {0x004080, 3}, {0x0040B0, 3}, {0x000AC9, 2}, {0x0040D0, 2}, {0x4000E0, 3},
        {0x0403F2, 3}, {0x0005F3, 2}, {0x0001F1, 2}, {0x0000F8, 1}, {0x0000FF, 1}, {0x0000F6, 1},
        {0x00003C, 0}, {0x0000F0, 0}, {0x0000F7, 0}, {0x0000F4, 0},
    };
    for (const Case& c : cases) {
        unsigned char bytes[3] = {};
        EXPECT_EQ(PackShortMessage(c.msg, bytes), c.length) << std::hex << c.msg;
        for (size_t i = 0; i < c.length; ++i) {
            EXPECT_EQ(bytes[i], (c.msg >> (8 * i)) & 0xFF) << std::hex << c.msg << " byte " << i;
        }
    }
    // Data bytes never pass for status bytes on the wire.
    unsigned char bytes[3] = {};
    ASSERT_EQ(PackShortMessage(0xFFBC90, bytes), 3u);
    EXPECT_EQ(bytes[1], 0x3C);
    EXPECT_EQ(bytes[2], 0x7F);
}

TEST(PortDriver, WithoutSequencerListsNoPortsQuietly)
{
    // Everything written to standard error while the ports are listed.
    std::FILE* pCapture = std::tmpfile();
    ASSERT_NE(pCapture, nullptr);
    std::fflush(stderr);
    const int saved = dup(2);
    dup2(fileno(pCapture), 2);
    unsigned nCount = 0;
    std::unique_ptr<CMidiDriver> driver;
    int nOpenPast = MMSYSERR_NOERROR;
    {
        CAlsaPorts ports;
        ports.Refresh();
        nCount = ports.Count();
        nOpenPast = ports.OpenDriver(nCount, driver);
    }
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    const long nPrinted = std::ftell(pCapture);
    std::fclose(pCapture);

    EXPECT_EQ(nPrinted, 0);
    EXPECT_EQ(nOpenPast, MMSYSERR_BADDEVICEID);
    EXPECT_FALSE(driver);
    if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "this machine has a sequencer";
    EXPECT_EQ(nCount, 0u);
    CAlsaPorts ports;
    std::string name;
    EXPECT_EQ(ports.GetName(0, name), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(ports.OpenDriver(0, driver), MMSYSERR_BADDEVICEID);
}

TEST(PortDriver, PlaysRefilledLoopOnTheTickGrid)
{
    constexpr size_t kEvents = 48;  // six buffers, about 230 ms
    CLoopPlayer player(kEvents);
    ASSERT_EQ(player.m_nOpen, MMSYSERR_NOERROR);
    ASSERT_EQ(player.Fill(0), MMSYSERR_NOERROR);
    ASSERT_EQ(player.Fill(1), MMSYSERR_NOERROR);
    const int64_t tBeforeStart = SteadyNs();
    ASSERT_EQ(midiout::StreamRestart(player.m_hStream), MMSYSERR_NOERROR);
    const CRecording& sink = player.m_recording;
    ASSERT_TRUE(sink.WaitFor(kEvents));
    // A refill that came too late would move the grid; that is not what is tested here.
    ASSERT_EQ(player.m_hStream->Underruns(), 0u);

    EXPECT_EQ(sink.Count(), kEvents);
    const int64_t t0 = sink[0].due;
    EXPECT_GE(t0, tBeforeStart);
    for (size_t k = 0; k < kEvents; ++k) {
        EXPECT_EQ(sink[k].msg, EventMessage(k)) << k;
        const int64_t tick = int64_t(k * kDelta);
        EXPECT_EQ(sink[k].due, t0 + tick * kTempo * 1000 / kDivision) << k;
        EXPECT_GE(sink[k].sent, sink[k].due) << k;
    }
}

TEST(PortDriver, StopReturnsEveryBufferAndSilencesTheClock)
{
    CLoopPlayer player(16);
    ASSERT_EQ(player.m_nOpen, MMSYSERR_NOERROR);
    player.m_bRefill = false;
    ASSERT_EQ(player.Fill(0), MMSYSERR_NOERROR);
    ASSERT_EQ(player.Fill(1), MMSYSERR_NOERROR);
    ASSERT_EQ(midiout::StreamRestart(player.m_hStream), MMSYSERR_NOERROR);
    const CRecording& sink = player.m_recording;
    ASSERT_TRUE(sink.WaitFor(2));

    ASSERT_EQ(midiout::StreamStop(player.m_hStream), MMSYSERR_NOERROR);
    EXPECT_EQ(player.m_nDone.load(), 2);
    for (const MidiHdr& hdr : {player.Hdr(0), player.Hdr(1)}) {
        EXPECT_TRUE(hdr.dwFlags & MHDR_DONE);
        EXPECT_FALSE(hdr.dwFlags & MHDR_INQUEUE);
    }
    // The next events were due every 4.8 ms: none may follow the stop.
    const size_t nAtStop = sink.Count();
    EXPECT_LT(nAtStop, 16u);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(sink.Count(), nAtStop);
    EXPECT_EQ(midiout::StreamClose(player.m_hStream), MMSYSERR_NOERROR);
    player.m_hStream = nullptr;
}

TEST(PortDriver, ShortMsgAndResetGoOutAtOnce)
{
    CLoopPlayer player(0);
    ASSERT_EQ(player.m_nOpen, MMSYSERR_NOERROR);
    const CRecording& sink = player.m_recording;

    // Paused, with nothing queued: the clock still sends immediate messages.
    const int64_t tBefore = SteadyNs();
    ASSERT_EQ(midiout::ShortMsg(player.m_hStream, 0x7F2499), MMSYSERR_NOERROR);
    ASSERT_TRUE(sink.WaitFor(1));
    EXPECT_EQ(sink[0].msg, 0x7F2499u);
    EXPECT_GE(sink[0].due, tBefore);
    EXPECT_GE(sink[0].sent, sink[0].due);

    ASSERT_EQ(midiout::Reset(player.m_hStream), MMSYSERR_NOERROR);
    // The sounding note goes off, and every channel gets pedal up and All Notes Off.
    ASSERT_TRUE(sink.WaitFor(1 + 1 + 32));
    EXPECT_EQ(sink.Count(), 34u);
    size_t nNoteOff = 0, nNoteOffAt = 0;
    bool allNotesOff[16] = {};
    for (size_t i = 1; i < sink.Count(); ++i) {
        const uint32_t msg = sink[i].msg;
        if (msg == 0x002489u) {
            ++nNoteOff;
            nNoteOffAt = i;
        }
        if ((msg & 0xFFF0) == (0xB0 | 123u << 8)) {
            allNotesOff[msg & 0x0F] = true;
            if ((msg & 0x0F) == 9) {
                EXPECT_LT(nNoteOffAt, i) << "the note must go off before its channel is cleared";
            }
        }
    }
    EXPECT_EQ(nNoteOff, 1u);
    for (int ch = 0; ch < 16; ++ch) EXPECT_TRUE(allNotesOff[ch]) << ch;
}

TEST(PortDriver, ResetJustBeforeCloseStillReachesThePort)
{
    CLoopPlayer player(0);
    ASSERT_EQ(player.m_nOpen, MMSYSERR_NOERROR);
    CRecording& sent = player.m_recording;
    // The clock is busy in a slow send when the reset comes, and the close
    // follows before it is free again.
    sent.m_bHold = true;
    ASSERT_EQ(midiout::ShortMsg(player.m_hStream, 0x7F2499), MMSYSERR_NOERROR);
    while (!sent.m_bHeld.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(midiout::Reset(player.m_hStream), MMSYSERR_NOERROR);
    std::thread release([&sent] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sent.m_bHold = false;
    });
    EXPECT_EQ(midiout::StreamClose(player.m_hStream), MMSYSERR_NOERROR);
    release.join();
    player.m_hStream = nullptr;
    ASSERT_EQ(sent.Count(), 34u);
    bool bNoteOff = false;
    for (size_t i = 1; i < sent.Count(); ++i) bNoteOff = bNoteOff || sent[i].msg == 0x002489u;
    EXPECT_TRUE(bNoteOff);
}

TEST(PortDriver, VanishedPortFailsQueueingAndRestart)
{
    CLoopPlayer player(16, 3);
    ASSERT_EQ(player.m_nOpen, MMSYSERR_NOERROR);
    player.m_bRefill = false;
    CPortClockDriver& driver = *player.m_service.Clock();
    EXPECT_EQ(driver.Health(), MMSYSERR_NOERROR);
    ASSERT_EQ(player.Fill(0), MMSYSERR_NOERROR);
    ASSERT_EQ(midiout::StreamRestart(player.m_hStream), MMSYSERR_NOERROR);

    const int64_t giveUp = SteadyNs() + 5'000'000'000;
    while (driver.Health() == MMSYSERR_NOERROR && SteadyNs() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(driver.Health(), MIDIERR_NODEVICE);
    EXPECT_TRUE(midiout::GetErrorText(MIDIERR_NODEVICE).contains(QStringLiteral("unplugged")));
    EXPECT_EQ(player.Fill(1), MIDIERR_NODEVICE);
    EXPECT_EQ(midiout::StreamRestart(player.m_hStream), MIDIERR_NODEVICE);
    EXPECT_EQ(midiout::ShortMsg(player.m_hStream, 0x7F2499), MIDIERR_NODEVICE);

    // What was queued before still comes back, and the stream closes.
    ASSERT_EQ(midiout::StreamStop(player.m_hStream), MMSYSERR_NOERROR);
    EXPECT_EQ(player.m_nDone.load(), 1);
    EXPECT_EQ(midiout::StreamClose(player.m_hStream), MMSYSERR_NOERROR);
    player.m_hStream = nullptr;
}

} // namespace

TEST(PortDriver, RondosOwnVirtualPortIsListedWhereThereIsASequencer)
{
    if (access("/dev/snd/seq", F_OK) != 0) GTEST_SKIP() << "no ALSA sequencer (/dev/snd/seq) on this machine";
    CAlsaPorts ports;
    ports.Refresh();
    ASSERT_GE(ports.Count(), 1u);
    const unsigned nVirtual = ports.Count() - 1;
    std::string name;
    ASSERT_EQ(ports.GetName(nVirtual, name), MMSYSERR_NOERROR);
    EXPECT_EQ(name, CAlsaPorts::kVirtualPortName);
    // Chosen, the port exists for others to read; played, it takes messages.
    ports.Choose(nVirtual);
    std::unique_ptr<CMidiDriver> driver;
    ASSERT_EQ(ports.OpenDriver(nVirtual, driver), MMSYSERR_NOERROR);
    EXPECT_EQ(driver->Health(), MMSYSERR_NOERROR);
}
