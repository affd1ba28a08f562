#include "StreamRecords.h"
#include "midiout/MidiStream.h"
#include "midiout/VirtualMidiOut.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

using rondo_test::NoteOn;
using rondo_test::RecordBuffer;

namespace {

// A client that records what its callback was told, and on which thread.
struct Client
{
    std::mutex lock;
    std::vector<unsigned> messages;
    std::vector<MidiHdr*> returned;
    std::vector<std::thread::id> threads;
    HMidiStream requeueOn = nullptr;  // queue every returned buffer again

    static void Proc(HMidiStream, unsigned msg, void* inst, uintptr_t p1, uintptr_t)
    {
        auto* self = static_cast<Client*>(inst);
        std::lock_guard<std::mutex> guard(self->lock);
        self->messages.push_back(msg);
        self->threads.push_back(std::this_thread::get_id());
        if (msg == MOM_DONE) {
            auto* hdr = reinterpret_cast<MidiHdr*>(p1);
            self->returned.push_back(hdr);
            if (self->requeueOn) midiout::StreamOut(self->requeueOn, hdr, sizeof *hdr);
        }
    }
};

class StreamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        uint32_t id = MIDI_MAPPER;
        ASSERT_EQ(midiout::StreamOpen(service, &stream, &id, 1, &Client::Proc, &client), MMSYSERR_NOERROR);
        clock = service.Clock();
        ASSERT_NE(clock, nullptr);
        MidiPropTimeDiv div;
        div.dwTimeDiv = 120;
        ASSERT_EQ(midiout::StreamProperty(stream, &div, MIDIPROP_SET | MIDIPROP_TIMEDIV), MMSYSERR_NOERROR);
        for (int b = 0; b < 2; ++b) {
            buffers[b].Add(0, NoteOn(36 + b, 100));
            buffers[b].Add(30, NoteOn(36 + b, 0));
            ASSERT_EQ(midiout::PrepareHeader(stream, buffers[b].Header(), sizeof(MidiHdr)), MMSYSERR_NOERROR);
        }
    }
    void TearDown() override
    {
        if (stream) {
            midiout::StreamStop(stream);
            EXPECT_EQ(midiout::StreamClose(stream), MMSYSERR_NOERROR);
        }
    }
    void QueueBoth()
    {
        for (auto& b : buffers) ASSERT_EQ(midiout::StreamOut(stream, &b.hdr, sizeof(MidiHdr)), MMSYSERR_NOERROR);
    }

    CVirtualMidiOut service{{"Port A"}};
    Client client;
    HMidiStream stream = nullptr;
    CVirtualMidiDriver* clock = nullptr;
    RecordBuffer buffers[2];
};

} // namespace

TEST_F(StreamTest, BuffersComeBackOnTheCallbackThreadAndLoopWithoutAGap)
{
    client.requeueOn = stream;
    QueueBoth();
    MidiPropTempo tempo;
    tempo.dwTempo = 600000;  // 100 BPM: a step of 30 ticks is 150 ms
    ASSERT_EQ(midiout::StreamProperty(stream, &tempo, MIDIPROP_SET | MIDIPROP_TEMPO), MMSYSERR_NOERROR);
    ASSERT_EQ(midiout::StreamRestart(stream), MMSYSERR_NOERROR);
    clock->AdvanceTo(3000000000);  // 20 steps

    std::vector<int64_t> onsets;
    for (const auto& sent : clock->m_sent)
        if (sent.msg >> 16) onsets.push_back(sent.time);
    ASSERT_EQ(onsets.size(), 20u);
    for (size_t i = 0; i < onsets.size(); ++i) EXPECT_EQ(onsets[i], int64_t(i) * 150000000) << i;
    EXPECT_EQ(stream->Underruns(), 0u);

    std::lock_guard<std::mutex> guard(client.lock);
    ASSERT_EQ(client.messages.front(), unsigned(MOM_OPEN));
    for (std::thread::id id : client.threads) EXPECT_NE(id, std::this_thread::get_id());
    EXPECT_GE(client.returned.size(), 19u);
    client.requeueOn = nullptr;
}

TEST_F(StreamTest, StopReturnsEveryQueuedBufferBeforeItReturns)
{
    QueueBoth();
    ASSERT_EQ(midiout::StreamRestart(stream), MMSYSERR_NOERROR);
    EXPECT_EQ(midiout::UnprepareHeader(stream, &buffers[0].hdr, sizeof(MidiHdr)), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiout::StreamClose(stream), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiout::StreamOut(stream, &buffers[0].hdr, sizeof(MidiHdr)), MIDIERR_STILLPLAYING);

    ASSERT_EQ(midiout::StreamStop(stream), MMSYSERR_NOERROR);
    {
        std::lock_guard<std::mutex> guard(client.lock);
        EXPECT_EQ(client.returned, (std::vector<MidiHdr*>{&buffers[0].hdr, &buffers[1].hdr}));
    }
    for (auto& b : buffers) {
        EXPECT_EQ(b.hdr.dwFlags, uint32_t(MHDR_PREPARED | MHDR_DONE));
        EXPECT_EQ(midiout::UnprepareHeader(stream, &b.hdr, sizeof(MidiHdr)), MMSYSERR_NOERROR);
        EXPECT_EQ(midiout::StreamOut(stream, &b.hdr, sizeof(MidiHdr)), MIDIERR_UNPREPARED);
    }
    ASSERT_EQ(midiout::StreamClose(stream), MMSYSERR_NOERROR);
    stream = nullptr;
    std::lock_guard<std::mutex> guard(client.lock);
    EXPECT_EQ(client.messages.back(), unsigned(MOM_CLOSE));
}

TEST_F(StreamTest, ImmediateMessagesAndResetGoOutAtOnce)
{
    QueueBoth();
    ASSERT_EQ(midiout::StreamRestart(stream), MMSYSERR_NOERROR);
    clock->AdvanceTo(10000000);  // the first hit sounds
    const size_t before = clock->m_sent.size();
    ASSERT_EQ(midiout::ShortMsg(stream, NoteOn(60, 100)), MMSYSERR_NOERROR);
    EXPECT_EQ(midiout::ShortMsg(stream, 0x3C), MMSYSERR_INVALPARAM) << "no status byte";
    ASSERT_EQ(midiout::Reset(stream), MMSYSERR_NOERROR);
    clock->AdvanceTo(11000000);
    ASSERT_GT(clock->m_sent.size(), before);
    EXPECT_EQ(clock->m_sent[before].msg, NoteOn(60, 100));
    EXPECT_EQ(clock->m_sent[before].time, 10000000);

    // The reset turns off exactly the notes sounding, then lifts the pedal
    // and sends All Notes Off on every channel.
    std::vector<uint32_t> offs, controls;
    for (size_t i = before + 1; i < clock->m_sent.size(); ++i) {
        const uint32_t msg = clock->m_sent[i].msg;
        ((msg & 0xF0) == 0x80 ? offs : controls).push_back(msg);
    }
    EXPECT_EQ(offs, (std::vector<uint32_t>{0x2489u, 0x3C89u}));
    ASSERT_EQ(controls.size(), 32u);
    for (uint32_t ch = 0; ch < 16; ++ch) {
        EXPECT_EQ(controls[2 * ch], (0xB0u | ch) | 64u << 8);
        EXPECT_EQ(controls[2 * ch + 1], (0xB0u | ch) | 123u << 8);
    }
}

TEST_F(StreamTest, PropertiesAndFailures)
{
    MidiPropTempo tempo;
    tempo.dwTempo = 250000;
    EXPECT_EQ(midiout::StreamProperty(stream, &tempo, MIDIPROP_SET | MIDIPROP_TEMPO), MMSYSERR_NOERROR);
    tempo.dwTempo = 0;
    EXPECT_EQ(midiout::StreamProperty(stream, &tempo, MIDIPROP_GET | MIDIPROP_TEMPO), MMSYSERR_NOERROR);
    EXPECT_EQ(tempo.dwTempo, 250000u);
    MidiPropTimeDiv div;
    EXPECT_EQ(midiout::StreamProperty(stream, &div, MIDIPROP_GET | MIDIPROP_TIMEDIV), MMSYSERR_NOERROR);
    EXPECT_EQ(div.dwTimeDiv, 120u);
    EXPECT_EQ(midiout::StreamProperty(stream, &tempo, MIDIPROP_TEMPO), MMSYSERR_INVALFLAG);
    tempo.dwTempo = 0;
    EXPECT_EQ(midiout::StreamProperty(stream, &tempo, MIDIPROP_SET | MIDIPROP_TEMPO), MMSYSERR_INVALPARAM);
    EXPECT_EQ(midiout::StreamRestart(nullptr), MMSYSERR_INVALHANDLE);

    // A device that went away refuses new work with its own code.
    clock->m_nHealth = MIDIERR_NODEVICE;
    EXPECT_EQ(midiout::StreamOut(stream, &buffers[0].hdr, sizeof(MidiHdr)), MIDIERR_NODEVICE);
    EXPECT_EQ(midiout::StreamRestart(stream), MIDIERR_NODEVICE);
    EXPECT_FALSE(midiout::GetErrorText(MIDIERR_NODEVICE).isEmpty());

    // One open per device at a time; unknown devices are refused.
    HMidiStream second = nullptr;
    uint32_t id = 0;
    EXPECT_EQ(midiout::StreamOpen(service, &second, &id, 1, nullptr, nullptr), MMSYSERR_ALLOCATED);
    id = 7;
    EXPECT_EQ(midiout::StreamOpen(service, &second, &id, 1, nullptr, nullptr), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(second, nullptr);
}

TEST_F(StreamTest, ThePositionIsTheTickOfTheLastEventHandedToTheDevice)
{
    uint64_t tick = 99;
    ASSERT_EQ(midiout::StreamPosition(stream, &tick), MMSYSERR_NOERROR);
    EXPECT_EQ(tick, 0u);
    EXPECT_EQ(midiout::StreamPosition(stream, nullptr), MMSYSERR_INVALPARAM);
    QueueBoth();
    MidiPropTempo tempo;
    tempo.dwTempo = 600000;  // a tick is 5 ms
    ASSERT_EQ(midiout::StreamProperty(stream, &tempo, MIDIPROP_SET | MIDIPROP_TEMPO), MMSYSERR_NOERROR);
    ASSERT_EQ(midiout::StreamRestart(stream), MMSYSERR_NOERROR);
    struct Case { int64_t time; uint64_t tick; };
    // Events at ticks 0, 30 (the first buffer's last), 30 and 60.
    for (const Case c : {Case{1000000, 0}, Case{149000000, 0}, Case{151000000, 30}, Case{290000000, 30},
                         Case{301000000, 60}, Case{900000000, 60}}) {
        clock->AdvanceTo(c.time);
        ASSERT_EQ(midiout::StreamPosition(stream, &tick), MMSYSERR_NOERROR);
        EXPECT_EQ(tick, c.tick) << c.time;
    }
    ASSERT_EQ(midiout::StreamStop(stream), MMSYSERR_NOERROR);
    ASSERT_EQ(midiout::StreamPosition(stream, &tick), MMSYSERR_NOERROR);
    EXPECT_EQ(tick, 0u) << "a stop goes back to the start";
}
