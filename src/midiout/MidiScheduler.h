#pragma once

#include "midiout/MidiDriver.h"

#include <cstddef>
#include <cstdint>
#include <limits>

// The timing of a stream, as pure logic: the queued buffers, the time
// division and the tempo map. Clocks ask it which events fall due before a
// time and exactly when each does; it says which buffers have played out.
//
// Times are in the clock's units (frames or nanoseconds). The time of a tick
// is computed from the last tempo anchor in integer arithmetic, never by
// adding up step lengths, so nothing drifts however long the loop plays.
// Not thread-safe: the stream serialises access.
class CMidiScheduler
{
public:
    static constexpr size_t kMaxQueued = 64;
    static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
    static constexpr uint32_t kDefaultTempo = 500000;  // 120 quarters per minute
    static constexpr uint32_t kDefaultDivision = 96;

    explicit CMidiScheduler(int64_t unitsPerSecond = 1000000000);

    int64_t UnitsPerSecond() const { return m_unitsPerSecond; }

    // Runs from now on, from the present tick position.
    void Start(int64_t now);
    // Paused at tick 0, as after a stop. The queue is left alone.
    void Rewind();
    bool IsRunning() const { return m_bRunning; }

    // Both apply at once from now: what has played keeps its times.
    void SetTimeDivision(uint32_t ticksPerQuarter, int64_t now);
    void SetTempo(uint32_t usPerQuarter, int64_t now);
    uint32_t TimeDivision() const { return m_division; }
    uint32_t Tempo() const { return m_tempo; }

    // MIDI clock: a timing clock (0xF8) every ticksPerClock ticks of the
    // tempo map, on the same ticks as the notes, with a start (0xFA) before
    // the first after each Start or MoveTo; 0 sends none. Clocks run while
    // buffers are queued.
    void SetClockInterval(uint32_t ticksPerClock);
    uint32_t ClockInterval() const { return m_clockInterval; }
    // The next event handed over (the first of the next queued buffer) falls
    // due at time, whatever the anchor was. For clocks that follow another's
    // position.
    void MoveTo(int64_t time);

    // False when the queue is full. now is where the clock stands: a buffer
    // that comes after the queue ran dry starts no earlier than that.
    bool Queue(MidiHdr* pHdr, int64_t now);
    size_t QueuedCount() const { return m_nQueued; }
    bool IsQueued(const MidiHdr* pHdr) const;
    // Takes the oldest queued buffer out, or null.
    MidiHdr* Unqueue();

    struct Collected
    {
        size_t nEvents = 0;
        size_t nDone = 0;
    };
    // Hands over, in order, the short messages due before tEnd (at most
    // nMaxEvents, each with its exact time) and the buffers played out by
    // them (at most nMaxDone). A buffer has played out when its last event
    // has been handed over.
    Collected Collect(int64_t tEnd, MidiDue* pEvents, size_t nMaxEvents, MidiHdr** ppDone,
                      size_t nMaxDone);

    // When the next event falls due: kNever while paused or with nothing queued.
    int64_t NextDueTime() const;
    // The time of an absolute tick position under the tempo in force.
    int64_t TimeOfTick(uint64_t tick) const;
    uint64_t TickPosition() const { return m_posTick; }
    // How many times the queue ran dry before the next buffer came.
    uint64_t Underruns() const { return m_nUnderruns; }

private:
    struct Record
    {
        uint32_t delta = 0;
        uint32_t event = 0;
        uint32_t size = 0;  // bytes the record takes in the buffer
        bool valid = false;
    };
    Record PeekRecord() const;
    // The tick reached at now under the present tempo, and the anchor that
    // keeps the fraction of the tick already elapsed.
    void Reanchor(int64_t now, uint32_t newTempo, uint32_t newDivision);

    int64_t m_unitsPerSecond;
    uint32_t m_division = kDefaultDivision;
    uint32_t m_tempo = kDefaultTempo;
    bool m_bRunning = false;
    bool m_bStarved = false;
    uint64_t m_nUnderruns = 0;

    int64_t m_anchorTime = 0;
    uint64_t m_anchorTick = 0;
    uint64_t m_posTick = 0;  // tick of the last event handed over
    // Makes m_nextClockTick the first clock at or after tick.
    void AlignClock(uint64_t tick);

    uint32_t m_clockInterval = 0;
    uint64_t m_nextClockTick = 0;
    bool m_bClockStartDue = false;

    MidiHdr* m_queue[kMaxQueued]{};
    size_t m_head = 0;
    size_t m_nQueued = 0;
    uint32_t m_offset = 0;  // read position in the oldest buffer
};
