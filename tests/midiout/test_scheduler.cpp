#include "StreamRecords.h"
#include "midiout/MidiScheduler.h"

#include <gtest/gtest.h>

using rondo_test::NoteOn;
using rondo_test::RecordBuffer;

namespace {

struct Collection
{
    std::vector<MidiDue> events;
    std::vector<MidiHdr*> done;
};

// Collects in periods up to tEnd, as a clock would.
Collection CollectUntil(CMidiScheduler& s, int64_t from, int64_t tEnd, int64_t period)
{
    Collection run;
    MidiDue ev[8];
    MidiHdr* done[4];
    for (int64_t t = from; t < tEnd;) {
        const int64_t end = std::min(tEnd, t + period);
        CMidiScheduler::Collected got;
        do {
            got = s.Collect(end, ev, std::size(ev), done, std::size(done));
            run.events.insert(run.events.end(), ev, ev + got.nEvents);
            run.done.insert(run.done.end(), done, done + got.nDone);
        } while (got.nEvents == std::size(ev) || got.nDone == std::size(done));
        t = end;
    }
    return run;
}

// Times in milliseconds, one tick a second: easy to read in the checks.
CMidiScheduler OneTickASecond()
{
    CMidiScheduler s(1000);
    s.SetTimeDivision(1, 0);
    s.SetTempo(1000000, 0);
    return s;
}

} // namespace

TEST(Scheduler, StepTimesComeFromTheTickPositionWithoutDrift)
{
    // 200 BPM at 44.1 kHz: a step of 30 ticks is 3307.5 frames, so every
    // second step starts exactly 6615 frames after the one before it.
    CMidiScheduler s(44100);
    s.SetTimeDivision(120, 0);
    s.SetTempo(300000, 0);
    RecordBuffer a, b;
    a.Add(0, NoteOn(36, 100));
    a.Add(30, NoteOn(36, 0));
    b.Add(0, NoteOn(38, 100));
    b.Add(30, NoteOn(38, 0));
    ASSERT_TRUE(s.Queue(a.Header(), 0));
    ASSERT_TRUE(s.Queue(b.Header(), 0));
    s.Start(1000);

    // An hour of steps, requeueing each buffer as it comes back.
    const int64_t steps = 48000;
    MidiDue ev[4];
    MidiHdr* done[2];
    int64_t step = 0;
    int64_t t = 1000;
    while (step < steps) {
        t += 441;
        const CMidiScheduler::Collected got = s.Collect(t, ev, std::size(ev), done, std::size(done));
        for (size_t i = 0; i < got.nEvents; ++i) {
            if (ev[i].msg >> 16 == 0) continue;  // the offs
            const int64_t expected = 1000 + (step / 2) * 6615 + (step % 2) * 3307;
            ASSERT_EQ(ev[i].time, expected) << "step " << step;
            ASSERT_EQ(ev[i].msg & 0xFF00, (step % 2 ? 38u : 36u) << 8);
            ++step;
        }
        for (size_t i = 0; i < got.nDone; ++i) ASSERT_TRUE(s.Queue(done[i], t));
    }
    EXPECT_EQ(s.Underruns(), 0u);
}

TEST(Scheduler, TempoChangeAppliesFromNowKeepingThePartOfTheTickGone)
{
    CMidiScheduler s = OneTickASecond();
    RecordBuffer buf;
    for (int i = 0; i < 5; ++i) buf.Add(1, NoteOn(40 + i, 100));
    s.Queue(buf.Header(), 0);
    s.Start(0);
    Collection first = CollectUntil(s, 0, 1500, 100);
    ASSERT_EQ(first.events.size(), 1u);
    EXPECT_EQ(first.events[0].time, 1000);

    // Halfway to tick 2, the tempo halves: the other half tick takes a second.
    s.SetTempo(2000000, 1500);
    EXPECT_EQ(s.Tempo(), 2000000u);
    Collection rest = CollectUntil(s, 1500, 10000, 100);
    ASSERT_EQ(rest.events.size(), 4u);
    EXPECT_EQ(rest.events[0].time, 2500);
    EXPECT_EQ(rest.events[1].time, 4500);
    EXPECT_EQ(rest.events[3].time, 8500);
    ASSERT_EQ(rest.done.size(), 1u);
    EXPECT_EQ(rest.done[0], &buf.hdr);
}

TEST(Scheduler, BuffersPlayBackToBackAndComeBackAfterTheirLastEvent)
{
    CMidiScheduler s = OneTickASecond();
    RecordBuffer a, b;
    a.Add(0, NoteOn(36, 1));
    a.Add(2, NoteOn(36, 0));
    b.Add(0, NoteOn(37, 1));  // same tick as the end of a
    b.Add(1, NoteOn(37, 0));
    s.Queue(a.Header(), 0);
    s.Queue(b.Header(), 0);
    EXPECT_EQ(s.NextDueTime(), CMidiScheduler::kNever) << "paused";
    s.Start(0);
    EXPECT_EQ(s.NextDueTime(), 0);

    MidiDue ev[8];
    MidiHdr* done[4];
    CMidiScheduler::Collected got = s.Collect(2000, ev, 8, done, 4);
    EXPECT_EQ(got.nEvents, 1u);
    EXPECT_EQ(got.nDone, 0u);
    EXPECT_EQ(s.NextDueTime(), 2000);
    got = s.Collect(2001, ev, 8, done, 4);
    ASSERT_EQ(got.nEvents, 2u);
    EXPECT_EQ(ev[0].msg, NoteOn(36, 0));
    EXPECT_EQ(ev[1].msg, NoteOn(37, 1));
    EXPECT_EQ(ev[1].time, 2000);
    ASSERT_EQ(got.nDone, 1u);
    EXPECT_EQ(done[0], &a.hdr);
    got = s.Collect(5000, ev, 8, done, 4);
    EXPECT_EQ(got.nEvents, 1u);
    EXPECT_EQ(ev[0].time, 3000);
    EXPECT_EQ(got.nDone, 1u);
    EXPECT_EQ(s.QueuedCount(), 0u);
    EXPECT_EQ(s.NextDueTime(), CMidiScheduler::kNever);
}

TEST(Scheduler, ALateBufferStartsWhenItComesAndCountsAsAnUnderrun)
{
    CMidiScheduler s = OneTickASecond();
    RecordBuffer a, b, c;
    a.Add(1, NoteOn(36, 1));
    b.Add(1, NoteOn(37, 1));
    c.Add(1, NoteOn(38, 1));
    s.Queue(a.Header(), 0);
    s.Start(0);
    EXPECT_EQ(CollectUntil(s, 0, 1200, 100).done.size(), 1u);

    // In time: b follows a on the grid.
    s.Queue(b.Header(), 1200);
    Collection onTime = CollectUntil(s, 1200, 2500, 100);
    ASSERT_EQ(onTime.events.size(), 1u);
    EXPECT_EQ(onTime.events[0].time, 2000);
    EXPECT_EQ(s.Underruns(), 0u);

    // Too late: c plays from when it came, its first event at once.
    Collection idle = CollectUntil(s, 2500, 4000, 100);
    EXPECT_TRUE(idle.events.empty());
    s.Queue(c.Header(), 4000);
    Collection late = CollectUntil(s, 4000, 6000, 100);
    ASSERT_EQ(late.events.size(), 1u);
    EXPECT_EQ(late.events[0].time, 4000);
    EXPECT_EQ(s.Underruns(), 1u);
}

TEST(Scheduler, RecordKinds)
{
    CMidiScheduler s = OneTickASecond();
    RecordBuffer buf;
    buf.Add(1, MEVT_NOP << 24);
    buf.Add(0, MEVT_TEMPO << 24 | 500000);              // twice as fast from tick 1
    buf.Add(0, MEVT_F_LONG | 5, {1, 2, 3, 4, 5});        // skipped with its padding
    buf.Add(2, MEVT_F_CALLBACK | NoteOn(40, 9));
    buf.Add(1, 0x00123456);                              // cut off below
    MidiHdr* hdr = buf.Header();
    hdr->dwBytesRecorded -= 4;
    s.Queue(hdr, 0);
    s.Start(0);
    Collection run = CollectUntil(s, 0, 5000, 250);
    ASSERT_EQ(run.events.size(), 1u);
    EXPECT_EQ(run.events[0].msg, NoteOn(40, 9));
    EXPECT_EQ(run.events[0].time, 2000);
    EXPECT_EQ(s.Tempo(), 500000u);
    EXPECT_EQ(run.done.size(), 1u);

    // A full queue refuses; a rewind goes back to tick 0, paused.
    RecordBuffer many[CMidiScheduler::kMaxQueued + 1];
    for (auto& m : many) m.Add(0, NoteOn(1, 1));
    size_t accepted = 0;
    for (auto& m : many) accepted += s.Queue(m.Header(), 5000) ? 1 : 0;
    EXPECT_EQ(accepted, CMidiScheduler::kMaxQueued);
    s.Rewind();
    EXPECT_FALSE(s.IsRunning());
    EXPECT_EQ(s.TickPosition(), 0u);
    while (s.Unqueue()) {}
    EXPECT_EQ(s.QueuedCount(), 0u);
}

TEST(Scheduler, MidiClockRunsTwentyFourToTheQuarterOnTheNotesTickGrid)
{
    for (const uint32_t tempo : {500000u, 618556u}) {  // 120 and 97 BPM
        CMidiScheduler s(44100);
        s.SetTimeDivision(120, 0);
        s.SetTempo(tempo, 0);
        s.SetClockInterval(5);
        // One pass: a hit on each beat, up to the bar line.
        RecordBuffer bar;
        for (int beat = 0; beat < 4; ++beat) {
            bar.Add(beat == 0 ? 0 : 60, NoteOn(36, 100));
            bar.Add(60, NoteOn(36, 0));
        }
        bar.Add(60, MEVT_NOP << 24);
        ASSERT_TRUE(s.Queue(bar.Header(), 0));
        s.Start(0);
        const Collection run = CollectUntil(s, 0, 4 * 44100, 256);
        std::vector<int64_t> clocks, ons;
        size_t nStarts = 0;
        for (const MidiDue& e : run.events) {
            if (e.msg == 0xF8 && e.time < s.TimeOfTick(480)) clocks.push_back(e.time);
            if (e.msg == 0xFA) {
                ++nStarts;
                EXPECT_TRUE(clocks.empty()) << "the start comes before the first clock";
            }
            if ((e.msg & 0xF0) == 0x90 && (e.msg >> 16) != 0) ons.push_back(e.time);
        }
        EXPECT_EQ(nStarts, 1u);
        // The pass's 480 ticks: clocks on ticks 0, 5, ... 475.
        ASSERT_EQ(clocks.size(), 96u) << tempo;
        for (size_t k = 0; k < clocks.size(); ++k) EXPECT_EQ(clocks[k], s.TimeOfTick(5 * k)) << k;
        ASSERT_EQ(ons.size(), 4u);
        for (size_t beat = 0; beat < 4; ++beat) EXPECT_EQ(ons[beat], clocks[24 * beat]) << "beat " << beat;
    }
}

TEST(Scheduler, MoveToPlacesTheNextEventAndRestartsTheClock)
{
    CMidiScheduler s = OneTickASecond();
    s.SetClockInterval(2);
    RecordBuffer a;
    a.Add(0, NoteOn(40, 100));
    a.Add(4, NoteOn(40, 0));
    ASSERT_TRUE(s.Queue(a.Header(), 0));
    s.Start(0);
    Collection run = CollectUntil(s, 0, 1, 1);
    ASSERT_EQ(run.events.size(), 3u);  // start, clock, note at 0
    // Moved on: the rest of the buffer plays from 10 s, clocked anew.
    s.MoveTo(10000);
    run = CollectUntil(s, 1, 20000, 1000);
    ASSERT_FALSE(run.events.empty());
    EXPECT_EQ(run.events.front().msg, 0xFAu);
    EXPECT_EQ(run.events.front().time, 10000);
    ASSERT_EQ(run.events.back().msg, NoteOn(40, 0));
    EXPECT_EQ(run.events.back().time, 14000);
}
