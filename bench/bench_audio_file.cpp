// Writing renders to disk, in multiples of real time: what the audio file
// writer adds to a render, per format.
#include "midiout/AudioFileWriter.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr int kBlock = 512;

void BM_AudioFileWrite(benchmark::State& state, AudioFormat format)
{
    QTemporaryDir dir;
    // Ten seconds of a decaying tone with some noise: FLAC finds no shortcut.
    constexpr int kFrames = 10 * kRate;
    std::vector<float> left(kFrames), right(kFrames);
    uint32_t seed = 1;
    for (int i = 0; i < kFrames; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const float noise = float(seed >> 8) / float(1 << 24) - 0.5f;
        const float tone = 0.6f * std::exp(-float(i % 22050) / 8000.0f) * std::sin(float(i) * 0.05f);
        left[size_t(i)] = tone + 0.05f * noise;
        right[size_t(i)] = tone - 0.05f * noise;
    }
    const QString path = dir.filePath(QStringLiteral("bench.") + CAudioFileWriter::Extension(format));
    for (auto _ : state) {
        CAudioFileWriter writer;
        if (!writer.Open(path, kRate, format)) {
            state.SkipWithError("cannot open");
            return;
        }
        for (int done = 0; done < kFrames; done += kBlock)
            writer.Append(left.data() + done, right.data() + done, std::min(kBlock, kFrames - done));
        if (!writer.Close()) {
            state.SkipWithError("cannot close");
            return;
        }
    }
    state.counters["x_realtime"] =
        benchmark::Counter(double(state.iterations()) * kFrames / kRate, benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(BM_AudioFileWrite, wav16, AudioFormat::Wav16)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AudioFileWrite, wav24, AudioFormat::Wav24)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AudioFileWrite, flac, AudioFormat::Flac)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
