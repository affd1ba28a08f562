#pragma once

#include "midiout/MidiDriver.h"
#include "midiout/MidiScheduler.h"
#include "midiout/PiMutex.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <semaphore>
#include <thread>

// One open stream: the scheduler of its queued buffers, the driver whose
// clock plays them, and the callback thread that hands played-out buffers
// back to the client. The midiout:: functions are its public face; drivers
// and tests use the members below.
//
// Threads: client calls come from any thread; the driver's clock thread
// collects; the callback thread alone runs the client's callback. Only
// short, allocation-free sections run under the stream's mutex.
class CMidiStream
{
public:
    static constexpr size_t kMaxImmediate = 256;

    CMidiStream(std::unique_ptr<CMidiDriver> driver, MidiStreamProc pfnCallback, void* pInstance);
    ~CMidiStream();
    CMidiStream(const CMidiStream&) = delete;
    CMidiStream& operator=(const CMidiStream&) = delete;

    // --- for drivers (the clock's thread) ---
    // Hands over what is due before tEnd: messages sent with ShortMsg and
    // Reset first, timed at tBegin, then the queued events at their exact
    // times (a late one may lie before tBegin). Fills at most nMax; call
    // again while it returns nMax. Buffers that have played out go to the
    // callback thread. Never blocks on the client and never allocates.
    size_t Collect(int64_t tBegin, int64_t tEnd, MidiDue* pOut, size_t nMax);
    // For clocks in steady_clock nanoseconds: sleeps until the next event is
    // due or the stream changes, and returns false once bQuit is set.
    bool WaitForDue(const std::atomic<bool>& bQuit);
    // Wakes a clock sleeping in WaitForDue.
    void WakeClock();
    CMidiDriver& Driver() { return *m_pDriver; }
    // For clocks that follow another's position: every queued buffer comes
    // back, after MOM_LOCATE with loopTick, and the next buffer queued plays
    // from time on. Park() holds what is queued from now on until the next
    // Locate (and ends the MIDI clock with a stop). Never blocks; no allocation.
    void Locate(int64_t time, uint32_t loopTick);
    void Park();
    // The next queued event falls due at time; nothing comes back.
    void MoveTo(int64_t time);
    // The tick of the last event handed over.
    uint64_t TickPosition();
    // The loop's length the client gave (MIDIPROP_LOOP), 0 when none.
    uint32_t LoopTicks();
    // Tempo and time division, as the clock's own changes (a transport's
    // tempo) at time.
    void SetTempoAt(uint32_t usPerQuarter, int64_t time);
    uint32_t TimeDivision();

    // --- for tests and the offline renderer ---
    // Waits until every played-out buffer has been handed to the callback
    // and the callback has returned.
    void WaitIdle();
    uint64_t Underruns();
    bool IsCallbackThread() const { return std::this_thread::get_id() == m_callbackThread.get_id(); }

    // --- the operations (see midiout:: in MidiOut.h) ---
    int Open();
    int Close();
    int Property(void* pPropData, uint32_t dwProperty);
    int Prepare(MidiHdr* pHdr, uint32_t cbHdr);
    int Unprepare(MidiHdr* pHdr, uint32_t cbHdr);
    int Out(MidiHdr* pHdr, uint32_t cbHdr);
    int Restart();
    int Stop();
    int Reset();
    int ShortMsg(uint32_t dwMsg);
    // Lock-free: what the clock published at its last collect.
    uint64_t PlayedTick() const { return m_nPlayedTick.load(std::memory_order_relaxed); }

private:
    struct Posted
    {
        unsigned msg = 0;
        MidiHdr* pHdr = nullptr;
        uintptr_t param = 0;  // MOM_LOCATE's loop tick
    };
    static constexpr size_t kMaxPosted = CMidiScheduler::kMaxQueued + 4;

    int64_t NowLocked() const { return m_pDriver->Now(m_tCollected); }
    // Under m_mutex.
    bool PostLocked(unsigned msg, MidiHdr* pHdr, uintptr_t param = 0);
    // Every queued buffer back to the client, under m_mutex.
    bool ReturnQueuedLocked();
    void CallbackThread();
    int PushImmediate(uint32_t msg);

    std::unique_ptr<CMidiDriver> m_pDriver;
    MidiStreamProc m_pfnCallback;
    void* m_pInstance;

    CPiMutex m_mutex;
    std::condition_variable_any m_cvClock;
    std::condition_variable_any m_cvIdle;
    CMidiScheduler m_scheduler;
    int64_t m_tCollected = 0;
    uint64_t m_nClockChanges = 0;
    uint32_t m_nLoopTicks = 0;
    std::atomic<uint64_t> m_nPlayedTick{0};

    uint32_t m_immediate[kMaxImmediate]{};
    size_t m_immHead = 0;
    size_t m_nImmediate = 0;

    Posted m_posted[kMaxPosted]{};
    size_t m_postHead = 0;
    size_t m_nPosted = 0;
    uint64_t m_nPostedTotal = 0;
    uint64_t m_nDelivered = 0;
    bool m_bQuitCallback = false;
    std::counting_semaphore<> m_wakeCallback{0};
    std::thread m_callbackThread;
};
