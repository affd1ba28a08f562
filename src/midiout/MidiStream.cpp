#include "midiout/MidiStream.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <mutex>

CMidiStream::CMidiStream(std::unique_ptr<CMidiDriver> driver, MidiStreamProc pfnCallback, void* pInstance)
    : m_pDriver(std::move(driver)),
      m_pfnCallback(pfnCallback),
      m_pInstance(pInstance),
      m_scheduler(m_pDriver->UnitsPerSecond())
{
}

CMidiStream::~CMidiStream()
{
    if (m_callbackThread.joinable()) {
        {
            std::lock_guard<CPiMutex> lock(m_mutex);
            m_bQuitCallback = true;
        }
        m_wakeCallback.release();
        m_callbackThread.join();
    }
}

int CMidiStream::Open()
{
    m_callbackThread = std::thread([this] { CallbackThread(); });
    {
        std::lock_guard<CPiMutex> lock(m_mutex);
        PostLocked(MOM_OPEN, nullptr);
    }
    m_wakeCallback.release();
    return m_pDriver->Start(*this);
}

int CMidiStream::Close()
{
    if (IsCallbackThread()) return MMSYSERR_ERROR;  // it would wait for itself
    {
        std::lock_guard<CPiMutex> lock(m_mutex);
        if (m_scheduler.QueuedCount() > 0) return MIDIERR_STILLPLAYING;
    }
    m_pDriver->Shutdown();
    {
        std::lock_guard<CPiMutex> lock(m_mutex);
        PostLocked(MOM_CLOSE, nullptr);
        m_bQuitCallback = true;
    }
    m_wakeCallback.release();
    m_callbackThread.join();
    return MMSYSERR_NOERROR;
}

bool CMidiStream::PostLocked(unsigned msg, MidiHdr* pHdr, uintptr_t param)
{
    if (m_nPosted == kMaxPosted) return false;  // cannot happen: more than ever queued
    m_posted[(m_postHead + m_nPosted) % kMaxPosted] = Posted{msg, pHdr, param};
    ++m_nPosted;
    ++m_nPostedTotal;
    return true;
}

bool CMidiStream::ReturnQueuedLocked()
{
    bool bPosted = false;
    while (MidiHdr* pHdr = m_scheduler.Unqueue()) bPosted = PostLocked(MOM_DONE, pHdr) || bPosted;
    return bPosted;
}

void CMidiStream::Locate(int64_t time, uint32_t loopTick)
{
    {
        std::lock_guard<CPiMutex> lock(m_mutex);
        PostLocked(MOM_LOCATE, nullptr, loopTick);
        ReturnQueuedLocked();
        m_scheduler.MoveTo(time);
    }
    m_wakeCallback.release();
}

void CMidiStream::Park()
{
    {
        std::lock_guard<CPiMutex> lock(m_mutex);
        // Far enough never to come, near enough for tick arithmetic.
        m_scheduler.MoveTo(std::numeric_limits<int64_t>::max() / 4);
        if (m_scheduler.ClockInterval() != 0 && m_nImmediate < kMaxImmediate) {
            m_immediate[(m_immHead + m_nImmediate) % kMaxImmediate] = 0xFC;
            ++m_nImmediate;
        }
    }
}

void CMidiStream::MoveTo(int64_t time)
{
    std::lock_guard<CPiMutex> lock(m_mutex);
    m_scheduler.MoveTo(time);
}

uint64_t CMidiStream::TickPosition()
{
    std::lock_guard<CPiMutex> lock(m_mutex);
    return m_scheduler.TickPosition();
}

uint32_t CMidiStream::LoopTicks()
{
    std::lock_guard<CPiMutex> lock(m_mutex);
    return m_nLoopTicks;
}

void CMidiStream::SetTempoAt(uint32_t usPerQuarter, int64_t time)
{
    std::lock_guard<CPiMutex> lock(m_mutex);
    m_scheduler.SetTempo(usPerQuarter, time);
}

uint32_t CMidiStream::TimeDivision()
{
    std::lock_guard<CPiMutex> lock(m_mutex);
    return m_scheduler.TimeDivision();
}

void CMidiStream::CallbackThread()
{
    for (;;) {
        m_wakeCallback.acquire();
        std::unique_lock<CPiMutex> lock(m_mutex);
        while (m_nPosted > 0) {
            const Posted posted = m_posted[m_postHead];
            m_postHead = (m_postHead + 1) % kMaxPosted;
            --m_nPosted;
            if (posted.pHdr) posted.pHdr->dwFlags = (posted.pHdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
            lock.unlock();
            if (m_pfnCallback) {
                const uintptr_t param1 = posted.msg == MOM_LOCATE ? posted.param : reinterpret_cast<uintptr_t>(posted.pHdr);
                m_pfnCallback(this, posted.msg, m_pInstance, param1, 0);
            }
            lock.lock();
            ++m_nDelivered;
        }
        m_cvIdle.notify_all();
        if (m_bQuitCallback) return;
    }
}

void CMidiStream::WaitIdle()
{
    if (IsCallbackThread()) return;
    std::unique_lock<CPiMutex> lock(m_mutex);
    m_cvIdle.wait(lock, [this] { return m_nDelivered == m_nPostedTotal; });
}

uint64_t CMidiStream::Underruns()
{
    std::lock_guard<CPiMutex> lock(m_mutex);
    return m_scheduler.Underruns();
}

size_t CMidiStream::Collect(int64_t tBegin, int64_t tEnd, MidiDue* pOut, size_t nMax)
{
    MidiHdr* done[CMidiScheduler::kMaxQueued];
    size_t nOut = 0;
    size_t nDone = 0;
    {
        std::lock_guard<CPiMutex> lock(m_mutex);
        // Immediate messages are due when they are picked up: a real-time
        // clock may have read tBegin before the latest of them arrived.
        const int64_t tImmediate = m_nImmediate > 0 ? std::max(tBegin, NowLocked()) : tBegin;
        while (m_nImmediate > 0 && nOut < nMax) {
            pOut[nOut++] = MidiDue{tImmediate, m_immediate[m_immHead]};
            m_immHead = (m_immHead + 1) % kMaxImmediate;
            --m_nImmediate;
        }
        const CMidiScheduler::Collected got =
            m_scheduler.Collect(tEnd, pOut + nOut, nMax - nOut, done, CMidiScheduler::kMaxQueued);
        nOut += got.nEvents;
        nDone = got.nDone;
        for (size_t i = 0; i < nDone; ++i) PostLocked(MOM_DONE, done[i]);
        if (tEnd > m_tCollected) m_tCollected = tEnd;
        m_nPlayedTick.store(m_scheduler.TickPosition(), std::memory_order_relaxed);
    }
    if (nDone > 0) m_wakeCallback.release();
    return nOut;
}

bool CMidiStream::WaitForDue(const std::atomic<bool>& bQuit)
{
    using namespace std::chrono;
    std::unique_lock<CPiMutex> lock(m_mutex);
    const uint64_t changes = m_nClockChanges;
    auto changed = [&] { return bQuit.load() || m_nClockChanges != changes; };
    if (bQuit.load()) return false;
    if (m_nImmediate == 0) {
        const int64_t due = m_scheduler.NextDueTime();
        if (due == CMidiScheduler::kNever) {
            m_cvClock.wait(lock, changed);
        } else {
            m_cvClock.wait_until(lock, steady_clock::time_point(nanoseconds(due)), changed);
        }
    }
    return !bQuit.load();
}

void CMidiStream::WakeClock()
{
    {
        std::lock_guard<CPiMutex> lock(m_mutex);
        ++m_nClockChanges;
    }
    m_cvClock.notify_all();
}

int CMidiStream::Property(void* pPropData, uint32_t dwProperty)
{
    if (pPropData == nullptr) return MMSYSERR_INVALPARAM;
    const bool bSet = dwProperty & MIDIPROP_SET;
    const bool bGet = dwProperty & MIDIPROP_GET;
    const uint32_t which = dwProperty & ~(MIDIPROP_SET | MIDIPROP_GET);
    if (bSet == bGet) return MMSYSERR_INVALFLAG;
    if (which != MIDIPROP_TIMEDIV && which != MIDIPROP_TEMPO && which != MIDIPROP_CLOCK && which != MIDIPROP_LOOP)
        return MMSYSERR_INVALPARAM;
    // Every record is a size followed by one 32-bit value.
    auto* pProp = static_cast<MidiPropTempo*>(pPropData);
    if (pProp->cbStruct != sizeof(MidiPropTempo)) return MMSYSERR_INVALPARAM;
    {
        std::lock_guard<CPiMutex> lock(m_mutex);
        if (bGet) {
            switch (which) {
            case MIDIPROP_TEMPO: pProp->dwTempo = m_scheduler.Tempo(); break;
            case MIDIPROP_TIMEDIV: pProp->dwTempo = m_scheduler.TimeDivision(); break;
            case MIDIPROP_CLOCK: pProp->dwTempo = m_scheduler.ClockInterval(); break;
            default: pProp->dwTempo = m_nLoopTicks; break;
            }
            return MMSYSERR_NOERROR;
        }
        switch (which) {
        case MIDIPROP_CLOCK: m_scheduler.SetClockInterval(pProp->dwTempo); break;
        case MIDIPROP_LOOP: m_nLoopTicks = pProp->dwTempo; break;
        default:
            if (pProp->dwTempo == 0) return MMSYSERR_INVALPARAM;
            if (which == MIDIPROP_TEMPO) {
                m_scheduler.SetTempo(pProp->dwTempo, NowLocked());
            } else {
                m_scheduler.SetTimeDivision(pProp->dwTempo, NowLocked());
            }
        }
        ++m_nClockChanges;
    }
    m_cvClock.notify_all();
    return MMSYSERR_NOERROR;
}

int CMidiStream::Prepare(MidiHdr* pHdr, uint32_t cbHdr)
{
    if (pHdr == nullptr || cbHdr != sizeof(MidiHdr) || pHdr->lpData == nullptr) return MMSYSERR_INVALPARAM;
    std::lock_guard<CPiMutex> lock(m_mutex);
    pHdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

int CMidiStream::Unprepare(MidiHdr* pHdr, uint32_t cbHdr)
{
    if (pHdr == nullptr || cbHdr != sizeof(MidiHdr)) return MMSYSERR_INVALPARAM;
    std::lock_guard<CPiMutex> lock(m_mutex);
    if (pHdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    pHdr->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

int CMidiStream::Out(MidiHdr* pHdr, uint32_t cbHdr)
{
    if (pHdr == nullptr || cbHdr != sizeof(MidiHdr) || pHdr->lpData == nullptr ||
        pHdr->dwBytesRecorded > pHdr->dwBufferLength || pHdr->dwBytesRecorded % 4 != 0)
        return MMSYSERR_INVALPARAM;
    if (const int health = m_pDriver->Health()) return health;
    bool bPaused = false;
    {
        std::lock_guard<CPiMutex> lock(m_mutex);
        if (!(pHdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
        if (pHdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
        bPaused = !m_scheduler.IsRunning();
        if (!m_scheduler.Queue(pHdr, NowLocked())) return MMSYSERR_NOMEM;
        pHdr->dwFlags = (pHdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
        ++m_nClockChanges;
    }
    // Nothing of a paused stream plays before the client restarts it, on
    // this thread: the device has the time to get ready.
    if (bPaused) m_pDriver->PrepareBuffer(*pHdr);
    m_cvClock.notify_all();
    return MMSYSERR_NOERROR;
}

int CMidiStream::Restart()
{
    if (const int health = m_pDriver->Health()) return health;
    {
        std::lock_guard<CPiMutex> lock(m_mutex);
        m_scheduler.Start(NowLocked());
        ++m_nClockChanges;
    }
    m_cvClock.notify_all();
    return MMSYSERR_NOERROR;
}

int CMidiStream::Stop()
{
    // A callback already running may still queue its buffer: let it finish
    // first, so that buffer comes back too.
    WaitIdle();
    {
        std::lock_guard<CPiMutex> lock(m_mutex);
        // What follows Rondo's clock stops with it.
        if (m_scheduler.IsRunning() && m_scheduler.ClockInterval() != 0 && m_nImmediate < kMaxImmediate) {
            m_immediate[(m_immHead + m_nImmediate) % kMaxImmediate] = 0xFC;
            ++m_nImmediate;
        }
        m_scheduler.Rewind();
        m_nPlayedTick.store(0, std::memory_order_relaxed);
        const bool bPosted = ReturnQueuedLocked();
        ++m_nClockChanges;
        if (bPosted) m_wakeCallback.release();
    }
    m_cvClock.notify_all();
    // Every buffer is back with the client when Stop returns.
    WaitIdle();
    return MMSYSERR_NOERROR;
}

int CMidiStream::PushImmediate(uint32_t msg)
{
    {
        std::lock_guard<CPiMutex> lock(m_mutex);
        if (m_nImmediate == kMaxImmediate) return MIDIERR_NOTREADY;
        m_immediate[(m_immHead + m_nImmediate) % kMaxImmediate] = msg;
        ++m_nImmediate;
        ++m_nClockChanges;
    }
    m_cvClock.notify_all();
    return MMSYSERR_NOERROR;
}

int CMidiStream::Reset()
{
    return PushImmediate(kMidiResetMessage);
}

int CMidiStream::ShortMsg(uint32_t dwMsg)
{
    // A status byte is required, and system exclusive does not fit.
    const uint32_t status = dwMsg & 0xFF;
    if (status < 0x80 || status == 0xF0 || status == 0xF7) return MMSYSERR_INVALPARAM;
    if (const int health = m_pDriver->Health()) return health;
    return PushImmediate(dwMsg & 0x00FFFFFFu);
}

// --- the service's operations ---

namespace midiout {

int StreamOpen(IMidiOutService& service, HMidiStream* phStream, uint32_t* puDeviceID, uint32_t cMidi,
               MidiStreamProc pfnCallback, void* pInstance)
{
    if (phStream == nullptr || puDeviceID == nullptr || cMidi != 1) return MMSYSERR_INVALPARAM;
    *phStream = nullptr;
    std::unique_ptr<CMidiDriver> driver;
    if (const int err = service.OpenDriver(*puDeviceID, driver)) return err;
    if (!driver) return MMSYSERR_NODRIVER;
    auto stream = std::make_unique<CMidiStream>(std::move(driver), pfnCallback, pInstance);
    if (const int err = stream->Open()) {
        stream->Driver().Shutdown();
        return err;
    }
    *phStream = stream.release();
    return MMSYSERR_NOERROR;
}

int StreamClose(HMidiStream hStream)
{
    if (hStream == nullptr) return MMSYSERR_INVALHANDLE;
    if (const int err = hStream->Close()) return err;
    delete hStream;
    return MMSYSERR_NOERROR;
}

int StreamProperty(HMidiStream hStream, void* pPropData, uint32_t dwProperty)
{
    return hStream ? hStream->Property(pPropData, dwProperty) : MMSYSERR_INVALHANDLE;
}

int PrepareHeader(HMidiStream hStream, MidiHdr* pHdr, uint32_t cbHdr)
{
    return hStream ? hStream->Prepare(pHdr, cbHdr) : MMSYSERR_INVALHANDLE;
}

int UnprepareHeader(HMidiStream hStream, MidiHdr* pHdr, uint32_t cbHdr)
{
    return hStream ? hStream->Unprepare(pHdr, cbHdr) : MMSYSERR_INVALHANDLE;
}

int StreamOut(HMidiStream hStream, MidiHdr* pHdr, uint32_t cbHdr)
{
    return hStream ? hStream->Out(pHdr, cbHdr) : MMSYSERR_INVALHANDLE;
}

int StreamRestart(HMidiStream hStream)
{
    return hStream ? hStream->Restart() : MMSYSERR_INVALHANDLE;
}

int StreamStop(HMidiStream hStream)
{
    return hStream ? hStream->Stop() : MMSYSERR_INVALHANDLE;
}

int Reset(HMidiStream hStream)
{
    return hStream ? hStream->Reset() : MMSYSERR_INVALHANDLE;
}

int ShortMsg(HMidiStream hStream, uint32_t dwMsg)
{
    return hStream ? hStream->ShortMsg(dwMsg) : MMSYSERR_INVALHANDLE;
}

int StreamPosition(HMidiStream hStream, uint64_t* pTicks)
{
    if (hStream == nullptr) return MMSYSERR_INVALHANDLE;
    if (pTicks == nullptr) return MMSYSERR_INVALPARAM;
    *pTicks = hStream->PlayedTick();
    return MMSYSERR_NOERROR;
}

} // namespace midiout
