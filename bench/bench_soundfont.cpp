// Time to a playable built-in synthesizer: loading a sound font as the
// engine does (only the samples of the presets channels select), against
// loading every sample of it, as the engine did before.
#include "midiout/SynthDriver.h"

#include <QFileInfo>

#include <benchmark/benchmark.h>

#include <fluidsynth.h>

namespace {

const char* const kFonts[] = {"/usr/share/sounds/sf2/TimGM6mb.sf2", "/usr/share/sounds/sf2/FluidR3_GM.sf2"};

bool HaveFont(benchmark::State& state)
{
    if (QFileInfo(QString::fromLatin1(kFonts[state.range(0)])).isFile()) return true;
    state.SkipWithError("sound font not installed");
    return false;
}

void BM_SoundFontReady(benchmark::State& state)
{
    if (!HaveFont(state)) return;
    SynthOptions options;
    options.soundFont = QString::fromLatin1(kFonts[state.range(0)]);
    for (auto _ : state) {
        CSynthEngine engine(options);
        if (engine.WaitReady() != MMSYSERR_NOERROR) state.SkipWithError("the sound font did not load");
    }
    state.SetLabel(QFileInfo(options.soundFont).fileName().toStdString());
}
BENCHMARK(BM_SoundFontReady)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_SoundFontAllSamples(benchmark::State& state)
{
    if (!HaveFont(state)) return;
    for (auto _ : state) {
        fluid_settings_t* settings = new_fluid_settings();
        fluid_settings_setint(settings, "synth.cpu-cores", 1);
        fluid_settings_setint(settings, "synth.dynamic-sample-loading", 0);
        fluid_synth_t* synth = new_fluid_synth(settings);
        if (fluid_synth_sfload(synth, kFonts[state.range(0)], 1) == FLUID_FAILED) state.SkipWithError("no load");
        delete_fluid_synth(synth);
        delete_fluid_settings(settings);
    }
    state.SetLabel(QFileInfo(QString::fromLatin1(kFonts[state.range(0)])).fileName().toStdString());
}
BENCHMARK(BM_SoundFontAllSamples)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

} // namespace
