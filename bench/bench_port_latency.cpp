// Real-time lateness of the port clock: how long after its due time each
// event of a playing loop reaches the port. The loop is the densest one the
// editor makes (twelve voices on every sixteenth, 200 BPM), refilled from the
// stream callback through two buffers as the document does it, sounding
// into a sink that only records.
//
//   rondo_bench_latency [--seconds N]     (default 20)

#include "midiout/MidiOut.h"
#include "midiout/MidiStream.h"
#include "midiout/PortDriver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kDivision = 120;
constexpr uint32_t kTempo = 60000000 / 200;  // us per quarter at 200 BPM
constexpr uint32_t kSteps = 16;
constexpr uint32_t kVoices = 12;
constexpr uint32_t kStepTicks = kDivision / 4;
constexpr uint32_t kEventsPerBar = kSteps * 2 * kVoices;  // 24 events a step
constexpr double kTargetP99Us = 1000;
constexpr double kTargetMaxUs = 3000;

int64_t SteadyNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Keeps the lateness of every event; preallocated, written by the clock only.
class CLatencySink final : public IPortSink
{
public:
    explicit CLatencySink(size_t nCapacity) : m_lateNs(nCapacity) {}

    int SendAt(uint32_t, int64_t dueNs) override
    {
        const int64_t sent = SteadyNs();
        const size_t n = m_count.load(std::memory_order_relaxed);
        if (n < m_lateNs.size()) {
            m_lateNs[n] = sent - dueNs;
            m_count.store(n + 1, std::memory_order_release);
        }
        return MMSYSERR_NOERROR;
    }

    size_t Count() const { return m_count.load(std::memory_order_acquire); }
    std::vector<int64_t> Lateness() const { return {m_lateNs.begin(), m_lateNs.begin() + long(Count())}; }

private:
    std::vector<int64_t> m_lateNs;
    std::atomic<size_t> m_count{0};
};

void PutRecord(uint8_t*& p, uint32_t delta, uint32_t event)
{
    const uint32_t words[3] = {delta, 0, event};
    for (uint32_t word : words) {
        for (int b = 0; b < 4; ++b) *p++ = uint8_t(word >> (8 * b));
    }
}

// One bar: on every step all twelve voices strike, and stop half a step later.
void BuildBar(uint8_t* p)
{
    for (uint32_t step = 0; step < kSteps; ++step) {
        for (uint32_t v = 0; v < kVoices; ++v) {
            // The previous bar's (or the start's) last note-off lies half a step back.
            const uint32_t delta = v == 0 ? kStepTicks / 2 : 0;
            PutRecord(p, delta, 0x99u | (35u + v) << 8 | 100u << 16);
        }
        for (uint32_t v = 0; v < kVoices; ++v) {
            PutRecord(p, v == 0 ? kStepTicks / 2 : 0, 0x89u | (35u + v) << 8);
        }
    }
}

struct Loop
{
    HMidiStream hStream = nullptr;
    MidiHdr hdr[2];
    std::atomic<bool> bRefill{true};
    std::atomic<uint64_t> nRefills{0};
};

void Callback(HMidiStream hStream, unsigned uMsg, void* pInstance, uintptr_t dwParam1, uintptr_t)
{
    auto* pLoop = static_cast<Loop*>(pInstance);
    if (uMsg != MOM_DONE || !pLoop->bRefill.load()) return;
    // Every bar is the same: the buffer goes straight back.
    if (midiout::StreamOut(hStream, reinterpret_cast<MidiHdr*>(dwParam1), sizeof(MidiHdr)) == MMSYSERR_NOERROR)
        pLoop->nRefills.fetch_add(1);
}

double PercentileUs(const std::vector<int64_t>& sorted, double p)
{
    if (sorted.empty()) return 0;
    const size_t i = std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5));
    return double(sorted[i]) / 1000.0;
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 20;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
            return 64;
        }
    }
    if (seconds <= 0) {
        std::fprintf(stderr, "--seconds wants a positive number\n");
        return 64;
    }

    const double barSeconds = 4.0 * kTempo / 1e6;
    const size_t nCapacity = size_t((seconds / barSeconds + 4) * kEventsPerBar);
    CLatencySink* pSink = nullptr;
    CSinkPortOut service([&] {
        auto sink = std::make_unique<CLatencySink>(nCapacity);
        pSink = sink.get();
        return sink;
    });
    Loop loop;
    std::vector<uint8_t> data[2];
    uint32_t device = 0;
    if (const int err = midiout::StreamOpen(service, &loop.hStream, &device, 1, &Callback, &loop)) {
        std::fprintf(stderr, "cannot open the stream: %s\n", qPrintable(midiout::GetErrorText(err)));
        return 1;
    }
    MidiPropTimeDiv div;
    div.dwTimeDiv = kDivision;
    MidiPropTempo tempo;
    tempo.dwTempo = kTempo;
    midiout::StreamProperty(loop.hStream, &div, MIDIPROP_SET | MIDIPROP_TIMEDIV);
    midiout::StreamProperty(loop.hStream, &tempo, MIDIPROP_SET | MIDIPROP_TEMPO);
    for (int i = 0; i < 2; ++i) {
        data[i].resize(kEventsPerBar * kMidiEventSize);
        BuildBar(data[i].data());
        loop.hdr[i].lpData = data[i].data();
        loop.hdr[i].dwBufferLength = loop.hdr[i].dwBytesRecorded = uint32_t(data[i].size());
        midiout::PrepareHeader(loop.hStream, &loop.hdr[i], sizeof(MidiHdr));
        midiout::StreamOut(loop.hStream, &loop.hdr[i], sizeof(MidiHdr));
    }

    const double cpu0 = CpuSeconds();
    const int64_t t0 = SteadyNs();
    midiout::StreamRestart(loop.hStream);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = double(SteadyNs() - t0) * 1e-9;
    const double cpu = CpuSeconds() - cpu0;
    loop.bRefill = false;
    const bool bRealtime = service.Clock()->IsRealtime();
    const uint64_t nUnderruns = loop.hStream->Underruns();
    midiout::StreamStop(loop.hStream);
    std::vector<int64_t> late = pSink->Lateness();
    midiout::StreamClose(loop.hStream);

    std::sort(late.begin(), late.end());
    const double p50 = PercentileUs(late, 0.50);
    const double p99 = PercentileUs(late, 0.99);
    const double maxUs = late.empty() ? 0 : double(late.back()) / 1000.0;
    const double minUs = late.empty() ? 0 : double(late.front()) / 1000.0;
    auto verdict = [](double v, double target) { return v <= target ? "met" : "MISSED"; };

    std::printf("port clock lateness, 200 BPM, %u events a bar, %.1f s of playback\n", kEventsPerBar, wall);
    std::printf("  events          %zu (%llu refills, %llu underruns)\n", late.size(),
                static_cast<unsigned long long>(loop.nRefills.load()), static_cast<unsigned long long>(nUnderruns));
    std::printf("  SCHED_FIFO      %s\n", bRealtime ? "granted" : "refused (normal priority)");
    std::printf("  p50 lateness    %8.1f us\n", p50);
    std::printf("  p99 lateness    %8.1f us   target <= %.0f us: %s\n", p99, kTargetP99Us, verdict(p99, kTargetP99Us));
    std::printf("  max lateness    %8.1f us   target <= %.0f us: %s\n", maxUs, kTargetMaxUs,
                verdict(maxUs, kTargetMaxUs));
    std::printf("  min lateness    %8.1f us   (never below 0)\n", minUs);
    std::printf("  process CPU     %8.2f ms per second of playback (%.2f%%)\n", cpu / wall * 1000.0,
                cpu / wall * 100.0);
    return 0;
}
