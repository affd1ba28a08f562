// Costs of the document work that playback and export repeat.
#include "BenchLoop.h"

#include <benchmark/benchmark.h>

namespace {

// The rewrite of the stream block that every buffer refill does under the lock.
void BM_RewriteStreamBlock(benchmark::State& state)
{
    Loop loop;
    loop.doc.BuildMidiFile(true);
    for (auto _ : state) {
        std::lock_guard<std::mutex> guard(loop.doc.m_lock);
        benchmark::DoNotOptimize(loop.doc.WriteNoteEvents(true));
    }
}
BENCHMARK(BM_RewriteStreamBlock);

void BM_BuildMidiFile(benchmark::State& state)
{
    Loop loop;
    const bool bForStream = state.range(0) != 0;
    for (auto _ : state) {
        loop.doc.BuildMidiFile(bForStream);
        benchmark::DoNotOptimize(loop.doc.m_nDocSize);
    }
    state.SetLabel(bForStream ? "stream form" : "export form");
}
BENCHMARK(BM_BuildMidiFile)->Arg(1)->Arg(0);

void BM_SaveAndLoadLoopFile(benchmark::State& state)
{
    Loop loop;
    const QString path = loop.dir.path() + "/bench.rlf";
    for (auto _ : state) {
        loop.doc.SaveLoopTo(path);
        benchmark::DoNotOptimize(loop.doc.LoadLoopFrom(path));
    }
}
BENCHMARK(BM_SaveAndLoadLoopFile);

} // namespace

BENCHMARK_MAIN();
