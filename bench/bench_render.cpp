// Offline rendering speed of the built-in synthesizer, in multiples of real
// time: a busy drum loop played through a stream, as the editor plays it.
#include "midiout/MidiStream.h"
#include "midiout/SynthDriver.h"

#include <QFileInfo>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace {

constexpr uint32_t kDivision = 120;
constexpr uint32_t kTempo200 = 300000;  // microseconds a quarter at 200 BPM
constexpr int kRate = 44100;

class CRenderService final : public IMidiOutService
{
public:
    explicit CRenderService(CSynthEngine& engine) : m_engine(engine) {}
    unsigned GetNumDevs() const override { return 0; }
    int GetDevCaps(unsigned, MidiOutCaps&) const override { return MMSYSERR_BADDEVICEID; }
    int OpenDriver(uint32_t, std::unique_ptr<CMidiDriver>& driver) override
    {
        return m_engine.OpenOfflineDriver(driver, &m_pOffline);
    }
    COfflineSynthDriver* m_pOffline = nullptr;

private:
    CSynthEngine& m_engine;
};

void AddRecord(std::vector<uint8_t>& buf, uint32_t delta, uint32_t event)
{
    for (uint32_t word : {delta, 0u, event})
        for (int i = 0; i < 4; ++i) buf.push_back(uint8_t(word >> (8 * i)));
}

// Twelve GM drums on all sixteen sixteenths: every step hits every voice.
std::vector<uint8_t> BusyBar()
{
    static constexpr uint32_t kNotes[12] = {35, 36, 38, 40, 42, 44, 46, 49, 51, 45, 48, 50};
    std::vector<uint8_t> bar;
    for (int step = 0; step < 16; ++step) {
        for (int v = 0; v < 12; ++v) AddRecord(bar, step > 0 && v == 0 ? 30 : 0, 0x99u | kNotes[v] << 8 | 100u << 16);
        for (int v = 0; v < 12; ++v) AddRecord(bar, 0, 0x99u | kNotes[v] << 8);  // velocity 0: note off
    }
    AddRecord(bar, 30, MEVT_NOP << 24);
    return bar;
}

std::atomic<bool> g_bLooping{false};

void Requeue(HMidiStream h, unsigned uMsg, void*, uintptr_t dwParam1, uintptr_t)
{
    if (uMsg == MOM_DONE && g_bLooping.load())
        midiout::StreamOut(h, reinterpret_cast<MidiHdr*>(dwParam1), sizeof(MidiHdr));
}

void BM_RenderBusyLoop(benchmark::State& state, const char* font)
{
    if (!QFileInfo(QString::fromUtf8(font)).isFile()) {
        state.SkipWithError("sound font missing");
        return;
    }
    SynthOptions options;
    options.soundFont = QString::fromUtf8(font);
    CSynthEngine engine(options);
    if (engine.WaitReady() != MMSYSERR_NOERROR) {
        state.SkipWithError("sound font does not load");
        return;
    }
    CRenderService service(engine);
    HMidiStream h = nullptr;
    uint32_t device = MIDI_MAPPER;
    if (midiout::StreamOpen(service, &h, &device, 1, &Requeue, nullptr) != MMSYSERR_NOERROR) {
        state.SkipWithError("stream does not open");
        return;
    }
    MidiPropTimeDiv div;
    div.dwTimeDiv = kDivision;
    midiout::StreamProperty(h, &div, MIDIPROP_SET | MIDIPROP_TIMEDIV);
    MidiPropTempo tempo;
    tempo.dwTempo = kTempo200;
    midiout::StreamProperty(h, &tempo, MIDIPROP_SET | MIDIPROP_TEMPO);
    std::vector<uint8_t> data[2] = {BusyBar(), BusyBar()};
    MidiHdr hdr[2];
    g_bLooping = true;
    for (int i = 0; i < 2; ++i) {
        hdr[i].lpData = data[i].data();
        hdr[i].dwBufferLength = hdr[i].dwBytesRecorded = uint32_t(data[i].size());
        midiout::PrepareHeader(h, &hdr[i], sizeof(MidiHdr));
        midiout::StreamOut(h, &hdr[i], sizeof(MidiHdr));
    }
    midiout::StreamRestart(h);

    // One bar at 200 BPM per iteration, in periods of 256 frames.
    constexpr int kPeriod = 256;
    const int barFrames = int(int64_t(4) * kTempo200 * kRate / 1000000);
    float left[kPeriod], right[kPeriod];
    for (auto _ : state) {
        for (int done = 0; done < barFrames; done += kPeriod) {
            service.m_pOffline->Render(std::min(kPeriod, barFrames - done), left, right);
            benchmark::DoNotOptimize(left[0]);
        }
    }
    state.counters["x_realtime"] =
        benchmark::Counter(double(state.iterations()) * barFrames / kRate, benchmark::Counter::kIsRate);

    g_bLooping = false;
    midiout::StreamStop(h);
    for (MidiHdr& header : hdr) midiout::UnprepareHeader(h, &header, sizeof(MidiHdr));
    midiout::StreamClose(h);
}

BENCHMARK_CAPTURE(BM_RenderBusyLoop, small_font, "/usr/share/sounds/sf2/TimGM6mb.sf2")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RenderBusyLoop, large_font, "/usr/share/sounds/sf2/FluidR3_GM.sf2")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
