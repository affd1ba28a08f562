// JACK MIDI timing: how far from its exact grid frame each note-on of a
// playing loop reaches another JACK client, and what the process callback
// costs. A dummy JACK server of the harness's own, the document playing the
// densest loop the editor makes (every voice on every sixteenth, 200 BPM)
// through the machine's own service, as Start does.
//
//   rondo_bench_jack [--seconds N] [--period FRAMES]   (defaults 60, 256)

#include "JackRig.h"
#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midiout/SystemMidiOut.h"
#include "settings/SettingsStore.h"

#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char** argv)
{
    int nSeconds = 60, nPeriod = 256;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) nSeconds = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--period") == 0) nPeriod = std::max(16, std::atoi(argv[i + 1]));
    }
    constexpr int kRate = 44100;
    rondo_test::JackServer server(kRate, nPeriod);
    if (!server.IsRunning()) {
        std::fprintf(stderr, "rondo_bench_jack: %s\n", qPrintable(server.Error()));
        return 1;
    }
    setenv("JACK_DEFAULT_SERVER", server.Name().toUtf8().constData(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    QTemporaryDir config;
    setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);

    CSettingsStore settings;
    settings.Open(QString(), QStringLiteral("Quillon Software/Rondo"));
    CSystemMidiOut service{SynthOptions(), &settings};
    CRondoDoc doc(settings, service);
    CHeadlessView view(doc);
    doc.SetView(&view);
    doc.ResetLoop();
    for (int v = 0; v < CRondoDoc::kVoices; ++v)
        for (int b = 0; b < CRondoDoc::kBeats; ++b) doc.m_cells[v][b] = 1;
    if (!doc.SelectDevice(QString::fromLatin1(CSystemMidiOut::kJackMidiName))) {
        std::fprintf(stderr, "rondo_bench_jack: JACK MIDI is not listed\n");
        return 1;
    }
    rondo_test::JackMidiRecorder recorder(server);
    if (!recorder.ConnectFrom("Rondo:midi_out", 5000)) {
        std::fprintf(stderr, "rondo_bench_jack: cannot connect to Rondo:midi_out\n");
        return 1;
    }
    view.SetTempoPos(200);
    if (!doc.Play()) {
        std::fprintf(stderr, "rondo_bench_jack: %s\n", qPrintable(doc.PlayError()));
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(nSeconds));
    doc.Stop();
    const CJackMidiClient* pClient = service.JackClient();

    // Every step's first note-on against the exact grid from the first.
    const std::vector<rondo_test::JackMidiRecorder::Event> ons = recorder.NoteOns();
    const uint32_t usPerQuarter = CRondoDoc::kMicrosPerMinute / 200;
    std::vector<double> errors;
    int64_t last = -1;
    for (const auto& e : ons) {
        if (e.frame == last) continue;  // the other voices of the step
        last = e.frame;
        const double exact = double(errors.size()) * 30.0 * usPerQuarter * kRate / (120.0 * 1e6);
        errors.push_back(std::fabs(double(e.frame - ons.front().frame) - exact));
    }
    if (errors.size() < 2) {
        std::fprintf(stderr, "rondo_bench_jack: too few notes\n");
        return 1;
    }
    std::vector<double> sorted = errors;
    std::sort(sorted.begin(), sorted.end());
    const auto at = [&](double q) { return sorted[std::min(sorted.size() - 1, size_t(q * double(sorted.size())))]; };
    std::printf("JACK MIDI, 200 BPM, every voice on every step, period %d frames, %d s\n", nPeriod, nSeconds);
    std::printf("steps          %zu (%zu note-ons), xruns %llu\n", errors.size(), ons.size(),
                (unsigned long long)(pClient ? pClient->Xruns() : 0));
    std::printf("error, frames  p50 %.2f  p99 %.2f  max %.2f   (goal: max <= 1)\n", at(0.5), at(0.99), sorted.back());
    if (pClient && pClient->PlayingCycles() > 0)
        std::printf("process CPU    mean %.1f us, max %.1f us per period of %.2f ms\n",
                    double(pClient->ProcessNsTotal()) / double(pClient->PlayingCycles()) / 1000.0,
                    double(pClient->ProcessNsMax()) / 1000.0, 1000.0 * nPeriod / kRate);
    return sorted.back() <= 1.0 ? 0 : 2;
}
