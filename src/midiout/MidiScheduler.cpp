#include "midiout/MidiScheduler.h"

namespace {

using Wide = __int128;

constexpr Wide kMicrosPerSecond = 1000000;

uint32_t ReadLE32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

CMidiScheduler::CMidiScheduler(int64_t unitsPerSecond) : m_unitsPerSecond(unitsPerSecond > 0 ? unitsPerSecond : 1)
{
}

void CMidiScheduler::Start(int64_t now)
{
    if (m_bRunning) return;
    m_bRunning = true;
    m_bStarved = false;
    m_anchorTick = m_posTick;
    m_anchorTime = now;
    AlignClock(m_posTick);
    m_bClockStartDue = m_clockInterval != 0;
}

void CMidiScheduler::SetClockInterval(uint32_t ticksPerClock)
{
    m_clockInterval = ticksPerClock;
    AlignClock(m_posTick);
    m_bClockStartDue = m_bRunning && ticksPerClock != 0;
}

void CMidiScheduler::AlignClock(uint64_t tick)
{
    if (m_clockInterval == 0) return;
    // Clocks keep their phase on the tick grid: a pass always starts on one.
    m_nextClockTick = (tick + m_clockInterval - 1) / m_clockInterval * m_clockInterval;
}

void CMidiScheduler::MoveTo(int64_t time)
{
    m_bStarved = false;
    m_anchorTick = m_posTick;
    m_anchorTime = time;
    AlignClock(m_posTick);
    m_bClockStartDue = m_clockInterval != 0;
}

void CMidiScheduler::Rewind()
{
    m_bRunning = false;
    m_bStarved = false;
    m_posTick = 0;
    m_anchorTick = 0;
    m_anchorTime = 0;
    m_offset = 0;
    m_nextClockTick = 0;
    m_bClockStartDue = false;
}

void CMidiScheduler::SetTimeDivision(uint32_t ticksPerQuarter, int64_t now)
{
    if (ticksPerQuarter == 0) return;
    Reanchor(now, m_tempo, ticksPerQuarter);
}

void CMidiScheduler::SetTempo(uint32_t usPerQuarter, int64_t now)
{
    if (usPerQuarter == 0) return;
    Reanchor(now, usPerQuarter, m_division);
}

void CMidiScheduler::Reanchor(int64_t now, uint32_t newTempo, uint32_t newDivision)
{
    if (m_bRunning && now > m_anchorTime) {
        // Ticks elapsed since the anchor, whole and the remainder of one.
        const Wide num = Wide(now - m_anchorTime) * m_division * kMicrosPerSecond;
        const Wide den = Wide(m_tempo) * m_unitsPerSecond;
        const Wide whole = num / den;
        const Wide rest = num % den;
        // Place the new anchor where that whole tick would have been under
        // the new tempo, so the part of the tick already gone counts.
        m_anchorTick += static_cast<uint64_t>(whole);
        m_anchorTime = now - static_cast<int64_t>(rest * newTempo / (Wide(m_tempo) * newDivision * kMicrosPerSecond));
    }
    m_tempo = newTempo;
    m_division = newDivision;
}

int64_t CMidiScheduler::TimeOfTick(uint64_t tick) const
{
    const Wide ticks = Wide(tick) - Wide(m_anchorTick);
    const Wide num = ticks * m_tempo * m_unitsPerSecond;
    const Wide den = Wide(m_division) * kMicrosPerSecond;
    // Floor, also for ticks before the anchor.
    Wide q = num / den;
    if (num % den != 0 && num < 0) --q;
    return m_anchorTime + static_cast<int64_t>(q);
}

bool CMidiScheduler::Queue(MidiHdr* pHdr, int64_t now)
{
    if (m_nQueued == kMaxQueued) return false;
    if (m_bRunning && m_nQueued == 0 && m_bStarved) {
        // The queue ran dry. When this buffer comes too late, the loop goes
        // on from now instead of rushing to catch up.
        m_bStarved = false;
        uint32_t firstDelta = 0;
        if (pHdr->lpData && pHdr->dwBytesRecorded >= kMidiEventSize) firstDelta = ReadLE32(pHdr->lpData);
        const uint64_t firstTick = m_posTick + firstDelta;
        if (TimeOfTick(firstTick) < now) {
            ++m_nUnderruns;
            m_anchorTick = firstTick;
            m_anchorTime = now;
            // The clocks the gap swallowed are not sent late in a burst.
            if (m_nextClockTick < firstTick) AlignClock(firstTick);
        }
    }
    m_queue[(m_head + m_nQueued) % kMaxQueued] = pHdr;
    ++m_nQueued;
    return true;
}

bool CMidiScheduler::IsQueued(const MidiHdr* pHdr) const
{
    for (size_t i = 0; i < m_nQueued; ++i) {
        if (m_queue[(m_head + i) % kMaxQueued] == pHdr) return true;
    }
    return false;
}

MidiHdr* CMidiScheduler::Unqueue()
{
    if (m_nQueued == 0) return nullptr;
    MidiHdr* pHdr = m_queue[m_head];
    m_queue[m_head] = nullptr;
    m_head = (m_head + 1) % kMaxQueued;
    --m_nQueued;
    m_offset = 0;
    return pHdr;
}

CMidiScheduler::Record CMidiScheduler::PeekRecord() const
{
    Record rec;
    if (m_nQueued == 0) return rec;
    const MidiHdr* pHdr = m_queue[m_head];
    const uint64_t end = pHdr->dwBytesRecorded;
    if (pHdr->lpData == nullptr || m_offset + uint64_t(kMidiEventSize) > end) return rec;
    const uint8_t* p = pHdr->lpData + m_offset;
    rec.delta = ReadLE32(p);
    rec.event = ReadLE32(p + 8);
    rec.size = kMidiEventSize;
    if (rec.event & MEVT_F_LONG) {
        const uint32_t params = rec.event & 0x00FFFFFFu;
        rec.size += (params + 3u) & ~3u;
    }
    // A record cut off by the end of the buffer ends the buffer.
    rec.valid = m_offset + uint64_t(rec.size) <= end;
    return rec;
}

CMidiScheduler::Collected CMidiScheduler::Collect(int64_t tEnd, MidiDue* pEvents, size_t nMaxEvents,
                                                  MidiHdr** ppDone, size_t nMaxDone)
{
    Collected got;
    if (!m_bRunning) return got;

    while (m_nQueued > 0) {
        const Record rec = PeekRecord();
        if (!rec.valid) {
            if (got.nDone == nMaxDone) break;
            ppDone[got.nDone++] = Unqueue();
            continue;
        }
        const uint64_t tick = m_posTick + rec.delta;
        // A clock due on or before the record's tick goes first.
        if (m_clockInterval != 0 && m_nextClockTick <= tick) {
            const int64_t time = TimeOfTick(m_nextClockTick);
            if (time >= tEnd) break;
            if (got.nEvents + (m_bClockStartDue ? 2 : 1) > nMaxEvents) break;
            if (m_bClockStartDue) pEvents[got.nEvents++] = MidiDue{time, 0xFA};
            m_bClockStartDue = false;
            pEvents[got.nEvents++] = MidiDue{time, 0xF8};
            m_nextClockTick += m_clockInterval;
            continue;
        }
        const int64_t time = TimeOfTick(tick);
        if (time >= tEnd) break;

        const uint32_t type = (rec.event >> 24) & ~(MEVT_F_CALLBACK >> 24);
        if (type == MEVT_SHORTMSG) {
            if (got.nEvents == nMaxEvents) break;
            pEvents[got.nEvents++] = MidiDue{time, rec.event & 0x00FFFFFFu};
        }
        m_posTick = tick;
        m_offset += rec.size;
        if (type == MEVT_TEMPO && (rec.event & 0x00FFFFFFu) != 0) {
            m_anchorTick = tick;
            m_anchorTime = time;
            m_tempo = rec.event & 0x00FFFFFFu;
        }
    }
    if (m_nQueued == 0) m_bStarved = true;
    return got;
}

int64_t CMidiScheduler::NextDueTime() const
{
    if (!m_bRunning || m_nQueued == 0) return kNever;
    const Record rec = PeekRecord();
    // A played-out buffer is due back at once.
    if (!rec.valid) return TimeOfTick(m_posTick);
    const uint64_t tick = m_posTick + rec.delta;
    return TimeOfTick(m_clockInterval != 0 && m_nextClockTick < tick ? m_nextClockTick : tick);
}
