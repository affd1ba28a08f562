// What one step of playback costs on the stream's callback thread.
#include "BenchLoop.h"
#include "midiout/MidiStream.h"

#include <benchmark/benchmark.h>

namespace {

// The refill's own work under the lock: rewrite the note block from the
// cells and convert one step into stream records.
void BM_RefillRewriteAndConvert(benchmark::State& state)
{
    Loop loop;
    loop.doc.BuildMidiFile(true);
    MidiHdr hdr;
    loop.doc.m_pStreamPos = loop.doc.m_pNoteEvents;
    for (auto _ : state) {
        std::lock_guard<std::mutex> guard(loop.doc.m_lock);
        loop.doc.WriteNoteEvents(true);
        loop.doc.FillBuffer(&hdr, loop.doc.m_streamEvents[0], false);
        if (loop.doc.m_pStreamPos >= loop.doc.m_pNoteEvents + CRondoDoc::kStreamBlockSize)
            loop.doc.m_pStreamPos = loop.doc.m_pNoteEvents;
        benchmark::DoNotOptimize(hdr.dwBytesRecorded);
    }
}
BENCHMARK(BM_RefillRewriteAndConvert);

// The whole refill as the callback thread runs it: rewrite, convert, queue
// on the stream, wrap the step position. The stream is paused, so the queue
// only grows; it is emptied outside the timing every few dozen refills.
void BM_RefillAndQueue(benchmark::State& state)
{
    Loop loop;
    CRondoDoc& doc = loop.doc;
    if (!doc.Play()) {
        state.SkipWithError("Play failed");
        return;
    }
    // Take the stream's buffers back and keep it paused from here on.
    doc.m_nCallbackState = CRondoDoc::CALLBACK_DEAD;
    midiout::StreamStop(doc.m_hStream);
    constexpr int kHeaders = 60;
    MidiHdr headers[kHeaders];
    for (int i = 0; i < kHeaders; ++i) {
        doc.FillBuffer(&headers[i], doc.m_streamEvents[i & 1], false);
        headers[i].dwUser = uintptr_t(i % 16);
        midiout::PrepareHeader(doc.m_hStream, &headers[i], sizeof(MidiHdr));
    }
    doc.m_pStreamPos = doc.m_pNoteEvents;
    doc.m_nCallbackState = CRondoDoc::CALLBACK_LIVE;
    int next = 0;
    for (auto _ : state) {
        doc.OnBufferDone(&headers[next]);
        if (++next == kHeaders) {
            state.PauseTiming();
            doc.m_nCallbackState = CRondoDoc::CALLBACK_DEAD;
            midiout::StreamStop(doc.m_hStream);
            doc.m_nCallbackState = CRondoDoc::CALLBACK_LIVE;
            next = 0;
            state.ResumeTiming();
        }
    }
    if (doc.m_nCallbackState != CRondoDoc::CALLBACK_LIVE) state.SkipWithError("a refill failed to queue");
    doc.m_nCallbackState = CRondoDoc::CALLBACK_DEAD;
    midiout::StreamStop(doc.m_hStream);
    for (MidiHdr& hdr : headers) midiout::UnprepareHeader(doc.m_hStream, &hdr, sizeof(MidiHdr));
    doc.m_nCallbackState = CRondoDoc::CALLBACK_LIVE;
    doc.Stop();
}
BENCHMARK(BM_RefillAndQueue);

// One whole step on the virtual clock: the clock collects 24 events, the
// played-out buffer goes to the callback thread, the document refills and
// queues it, and the clock waits for that. Includes the thread hand-off.
void BM_PlaybackStepCycle(benchmark::State& state)
{
    Loop loop;
    if (!loop.doc.Play()) {
        state.SkipWithError("Play failed");
        return;
    }
    loop.doc.SetTempo(200);
    CVirtualMidiDriver* clock = loop.midiOut.Clock();
    clock->m_period = 75000000;  // one step at 200 BPM
    clock->m_sent.reserve(1 << 16);
    for (auto _ : state) {
        clock->AdvanceBy(75000000);
        if (clock->m_sent.size() > (1 << 15)) clock->m_sent.clear();
    }
    state.counters["underruns"] = double(loop.doc.m_hStream->Underruns());
    loop.doc.Stop();
}
BENCHMARK(BM_PlaybackStepCycle)->UseRealTime();

} // namespace
