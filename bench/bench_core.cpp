// Costs of the document work that playback and export repeat.
#include "BenchLoop.h"
#include "settings/SettingsStore.h"

#include <QFile>
#include <QTemporaryDir>

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

// The first start's import of a legacy file that is one long line (cut into
// 519-byte pieces): time grows with the size, not with its square.
void BM_ImportLegacyLine(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString ini = dir.filePath("Rondo.INI");
    QFile file(ini);
    if (!file.open(QIODevice::WriteOnly)) return;
    file.write("[Prefs]\nA=" + QByteArray(state.range(0), 'a') + "\n");
    file.close();
    CSettingsStore store;
    store.Open(dir.path(), "prefs");
    for (auto _ : state) store.ImportIniFile(ini);
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ImportLegacyLine)->RangeMultiplier(4)->Range(64 << 10, 1000 << 10)->Complexity();

} // namespace

BENCHMARK_MAIN();
