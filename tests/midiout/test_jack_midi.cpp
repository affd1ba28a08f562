// JACK MIDI as a composer's studio meets it: a JACK server of the test's own
// (the dummy backend, paced in real time), the document playing through the
// machine's own service, and a JACK client of the test recording every
// message with its frame.
#include "JackRig.h"
#include "TestSupport.h"
#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midiout/JackMidiDriver.h"
#include "midiout/SystemMidiOut.h"
#include "settings/SettingsStore.h"

#include <jack/transport.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <thread>

using rondo_test::JackMidiRecorder;
using rondo_test::JackServer;

namespace {

constexpr int kRate = 44100;

void Sleep(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The frames from step 0 to step k at a tempo, as the stream's clock rounds.
int64_t StepFrames(int64_t k, uint32_t usPerQuarter, int rate = kRate)
{
    return int64_t(__int128(k) * 30 * usPerQuarter * rate / (__int128(120) * 1000000));
}

class JackMidiTest : public ::testing::Test
{
protected:
    // A server with this period, the service and a document on it, the
    // recorder connected to Rondo's port. JACK MIDI is the chosen device.
    void Begin(int nPeriod)
    {
        server = std::make_unique<JackServer>(kRate, nPeriod);
        ASSERT_TRUE(server->IsRunning()) << server->Error().toStdString();
        setenv("JACK_DEFAULT_SERVER", server->Name().toUtf8().constData(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        ASSERT_TRUE(settings.Open(QString(), QStringLiteral("Quillon Software/Rondo")));
        MakeDocument();
        recorder = std::make_unique<JackMidiRecorder>(*server);
        ASSERT_TRUE(recorder->IsOpen());
        ASSERT_TRUE(doc->SelectDevice(QString::fromLatin1(CSystemMidiOut::kJackMidiName)));
        // The port is there before the first Start, for a patchbay to connect.
        ASSERT_TRUE(recorder->ConnectFrom("Rondo:midi_out", 5000));
    }
    void MakeDocument()
    {
        doc.reset();
        view.reset();
        service = std::make_unique<CSystemMidiOut>(SynthOptions(), &settings);
        doc = std::make_unique<CRondoDoc>(settings, *service);
        view = std::make_unique<CHeadlessView>(*doc);
        doc->SetView(view.get());
        doc->ResetLoop();
    }
    void TearDown() override
    {
        if (doc) doc->Stop();
        doc.reset();
        view.reset();
        recorder.reset();
        service.reset();
        server.reset();
        unsetenv("JACK_DEFAULT_SERVER");
    }
    // Every voice's first step on: one hit a step, voice s % 12 on step s.
    void HitEveryStep()
    {
        for (int s = 0; s < CRondoDoc::kBeats; ++s) doc->m_cells[s % CRondoDoc::kVoices][s] = 1;
    }
    static int Pitch(const JackMidiRecorder::Event& e) { return e.bytes[1]; }

    rondo_test::ScopedConfigDirs dirs;
    CSettingsStore settings;
    std::unique_ptr<JackServer> server;
    std::unique_ptr<CSystemMidiOut> service;
    std::unique_ptr<CRondoDoc> doc;
    std::unique_ptr<CHeadlessView> view;
    std::unique_ptr<JackMidiRecorder> recorder;
};

class JackMidiPeriodTest : public JackMidiTest, public ::testing::WithParamInterface<int>
{
};

} // namespace

TEST_P(JackMidiPeriodTest, EveryNoteOnLiesWithinOneFrameOfItsGridTimeAcrossATempoChange)
{
    ASSERT_NO_FATAL_FAILURE(Begin(GetParam()));
    HitEveryStep();
    // 120 BPM, then 97 BPM, whose step is 6820.1 frames.
    view->SetTempoPos(120);
    ASSERT_TRUE(doc->Play()) << doc->PlayError().toStdString();
    Sleep(2300);
    doc->SetTempo(97);
    Sleep(2300);
    ASSERT_TRUE(doc->Stop());

    const std::vector<JackMidiRecorder::Event> ons = recorder->NoteOns();
    ASSERT_GE(ons.size(), 30u);
    const uint32_t us120 = CRondoDoc::kMicrosPerMinute / 120, us97 = CRondoDoc::kMicrosPerMinute / 97;
    // The change falls between two hits: the first interval longer than a
    // step at 120 BPM.
    size_t change = 1;
    while (change < ons.size() && ons[change].frame - ons[change - 1].frame <= StepFrames(1, us120) + 1) ++change;
    ASSERT_GE(change, 16u) << "a pass and more at 120 BPM";
    ASSERT_LT(change + 10, ons.size()) << "and some steps at 97 BPM";
    for (size_t k = 0; k < change; ++k) {
        EXPECT_NEAR(double(ons[k].frame - ons[0].frame), double(StepFrames(int64_t(k), us120)), 1.0) << "hit " << k;
        EXPECT_EQ(Pitch(ons[k]), doc->m_voices[k % 16 % 12].byPitch) << "hit " << k;
    }
    // After it, on the new grid: the first hit after the change is partly
    // at the old tempo, so the grid is taken from the next.
    const size_t from = change + 1;
    for (size_t k = from; k < ons.size(); ++k)
        EXPECT_NEAR(double(ons[k].frame - ons[from].frame), double(StepFrames(int64_t(k - from), us97)), 1.0) << "hit " << k;
}

INSTANTIATE_TEST_SUITE_P(SmallAndLargePeriods, JackMidiPeriodTest, ::testing::Values(256, 2048));

TEST_F(JackMidiTest, StopSendsNotesOffAndAStartAfterItKeepsTheConnections)
{
    ASSERT_NO_FATAL_FAILURE(Begin(256));
    HitEveryStep();
    ASSERT_TRUE(doc->Play());
    Sleep(600);
    ASSERT_TRUE(doc->Stop());
    Sleep(100);
    // All notes off on the loop's channel (10), after the last note-on.
    const std::vector<JackMidiRecorder::Event> events = recorder->Events();
    bool bAllOff = false;
    for (const auto& e : events) {
        if (e.size == 3 && e.bytes[0] == 0xB9 && e.bytes[1] == 123) bAllOff = true;
    }
    EXPECT_TRUE(bAllOff);
    ASSERT_FALSE(recorder->NoteOns().empty());

    // The port stayed: the connection made before is still there, and the
    // next Start plays into it.
    EXPECT_TRUE(recorder->IsConnectedFrom("Rondo:midi_out"));
    recorder->Clear();
    ASSERT_TRUE(doc->Play());
    Sleep(400);
    ASSERT_TRUE(doc->Stop());
    EXPECT_GE(recorder->NoteOns().size(), 2u);
    EXPECT_TRUE(recorder->IsConnectedFrom("Rondo:midi_out"));
}

TEST_F(JackMidiTest, ConnectionsAreRememberedByPortNameForTheNextRun)
{
    ASSERT_NO_FATAL_FAILURE(Begin(256));
    ASSERT_TRUE(doc->Play());
    Sleep(100);
    ASSERT_TRUE(doc->Stop());
    // A new run: the service goes and comes back, and makes the connection
    // again by itself.
    doc.reset();
    view.reset();
    service.reset();
    Sleep(100);
    EXPECT_FALSE(recorder->IsConnectedFrom("Rondo:midi_out"));
    EXPECT_EQ(settings.GetString("JACK", "Connection1", QString()), QStringLiteral("rondo-test-midi:in"));
    // As the MIDI page keeps the choice.
    settings.SetString("Device", "Name", QString::fromLatin1(CSystemMidiOut::kJackMidiName));
    MakeDocument();
    EXPECT_EQ(doc->DeviceName(doc->m_uDeviceID), QString::fromLatin1(CSystemMidiOut::kJackMidiName))
        << "the device is found again by its name";
    ASSERT_NE(service->JackClient(), nullptr);
    EXPECT_TRUE(recorder->IsConnectedFrom("Rondo:midi_out"));
}

TEST_F(JackMidiTest, AServerThatGoesAwayWhilePlayingEndsPlaybackWithAClearMessage)
{
    ASSERT_NO_FATAL_FAILURE(Begin(256));
    HitEveryStep();
    ASSERT_TRUE(doc->Play());
    Sleep(300);
    recorder.reset();
    server->Kill();
    // The refill that follows fails; the UI thread ends playback.
    int posted = 0;
    for (int i = 0; i < 300 && posted == 0; ++i) {
        Sleep(10);
        posted = view->RunPosted();
    }
    ASSERT_EQ(posted, 1);
    EXPECT_FALSE(doc->m_bPlaying);
    EXPECT_EQ(doc->m_hStream, nullptr);
    EXPECT_TRUE(doc->PlayError().startsWith(QStringLiteral("The JACK server went away while the loop played.")))
        << doc->PlayError().toStdString();
    // And nothing hangs afterwards: another Start says why it cannot play.
    EXPECT_FALSE(doc->Play());
    EXPECT_TRUE(doc->Stop());
}

namespace {

// The test's own timebase master: 4/4 at a tempo it sets, bar, beat and
// tick from the transport's frame.
struct TimebaseMaster
{
    static constexpr double kBpm = 150.0;

    static void Callback(jack_transport_state_t, jack_nframes_t, jack_position_t* pos, int, void*)
    {
        const double bpm = kBpm;
        const double framesPerBeat = pos->frame_rate * 60.0 / bpm;
        const double beats = pos->frame / framesPerBeat;
        pos->valid = jack_position_bits_t(JackPositionBBT | JackTickDouble);
        pos->beats_per_bar = 4;
        pos->beat_type = 4;
        pos->ticks_per_beat = 1920;
        pos->beats_per_minute = bpm;
        pos->bar = int32_t(beats / 4) + 1;
        pos->beat = int32_t(std::fmod(beats, 4.0)) + 1;
        pos->tick_double = (beats - std::floor(beats)) * pos->ticks_per_beat;
        pos->tick = int32_t(pos->tick_double);
        pos->bar_start_tick = 0;
    }
};

} // namespace

TEST_F(JackMidiTest, FollowingTheTransportPlaysOnItsBarLinesAtItsMastersTempoAndStopsWithIt)
{
    settings.Open(QString(), QStringLiteral("Quillon Software/Rondo"));
    settings.SetInt("Device", "FollowTransport", 1);
    ASSERT_NO_FATAL_FAILURE(Begin(256));
    HitEveryStep();
    jack_client_t* pControl = recorder->Client();
    ASSERT_EQ(jack_set_timebase_callback(pControl, 0, &TimebaseMaster::Callback, nullptr), 0);
    jack_transport_stop(pControl);
    jack_transport_locate(pControl, 0);
    Sleep(100);

    // Start arms: nothing sounds while the transport stands.
    view->SetTempoPos(100);
    ASSERT_TRUE(doc->Play());
    Sleep(300);
    EXPECT_TRUE(recorder->NoteOns().empty());

    // Rolling from a bar line: the loop starts on it, at 150 BPM, where a
    // step is exactly 4410 frames, each step the one its position says.
    jack_transport_start(pControl);
    Sleep(2000);
    std::vector<JackMidiRecorder::Event> ons = recorder->NoteOns();
    ASSERT_GE(ons.size(), 16u);
    EXPECT_EQ(ons[0].transportFrame, 0) << "the first pass starts on the first bar line";
    for (const auto& e : ons) {
        EXPECT_EQ(e.transportFrame % 4410, 0) << e.transportFrame;
        const int step = int(e.transportFrame / 4410 % 16);
        EXPECT_EQ(Pitch(e), doc->m_voices[step % 12].byPitch) << "step " << step;
    }
    // The slider and the status bar follow the master.
    EXPECT_EQ(view->m_nLastBpmReport.load(), 150);

    // A relocation into the middle of bar 3 continues at the matching step.
    recorder->Clear();
    const jack_nframes_t target = 2 * 4 * 4 * 4410 + 7 * 4410 + 1000;  // bar 3, a little after its 8th step
    jack_transport_locate(pControl, target);
    Sleep(600);
    ons = recorder->NoteOns();
    // Hits of the period the locate came in may still be from before it.
    while (!ons.empty() && ons.front().transportFrame < int64_t(target)) ons.erase(ons.begin());
    ASSERT_GE(ons.size(), 4u);
    EXPECT_LE(ons[0].transportFrame, int64_t(target) + 3 * 4410) << "within a step or two of the new place";
    for (const auto& e : ons) {
        EXPECT_EQ(e.transportFrame % 4410, 0) << e.transportFrame;
        EXPECT_EQ(Pitch(e), doc->m_voices[e.transportFrame / 4410 % 16 % 12].byPitch);
    }

    // A stop silences at once: notes off in the next period, then nothing.
    recorder->Clear();
    jack_transport_stop(pControl);
    Sleep(400);
    bool bAllOff = false;
    for (const auto& e : recorder->Events()) {
        if (e.size == 3 && e.bytes[0] == 0xB9 && e.bytes[1] == 123) bAllOff = true;
    }
    EXPECT_TRUE(bAllOff);
    const size_t afterStop = recorder->NoteOns().size();
    EXPECT_LE(afterStop, 1u) << "at most a hit of the period the stop fell in";
    Sleep(300);
    EXPECT_EQ(recorder->NoteOns().size(), afterStop);
    jack_release_timebase(pControl);
}

TEST_F(JackMidiTest, MidiClockGoesOutTwentyFourToTheQuarterBetweenStartAndStop)
{
    settings.Open(QString(), QStringLiteral("Quillon Software/Rondo"));
    settings.SetInt("Device", "ClockOut", 1);
    ASSERT_NO_FATAL_FAILURE(Begin(256));
    HitEveryStep();
    view->SetTempoPos(120);
    ASSERT_TRUE(doc->Play());
    Sleep(2300);
    ASSERT_TRUE(doc->Stop());
    Sleep(100);
    std::vector<int64_t> clocks;
    int64_t start = -1, stop = -1;
    for (const auto& e : recorder->Events()) {
        if (e.size != 1) continue;
        if (e.bytes[0] == 0xFA && start < 0) start = e.frame;
        if (e.bytes[0] == 0xF8) clocks.push_back(e.frame);
        if (e.bytes[0] == 0xFC) stop = e.frame;
    }
    ASSERT_GE(start, 0);
    ASSERT_GE(clocks.size(), 96u) << "a pass is 96 clocks";
    EXPECT_EQ(clocks[0], start) << "the start comes with the first clock";
    EXPECT_EQ(clocks[0], recorder->NoteOns().front().frame) << "clocks and notes share the tick grid";
    // Five ticks apart at 120 ticks a quarter: 918.75 frames at 120 BPM.
    for (size_t k = 1; k < clocks.size(); ++k) {
        const int64_t expected = int64_t(__int128(k) * 5 * 500000 * kRate / (__int128(120) * 1000000));
        EXPECT_NEAR(double(clocks[k] - clocks[0]), double(expected), 1.0) << "clock " << k;
    }
    EXPECT_GT(stop, clocks.back()) << "a stop after the last clock";
}

TEST(JackCycleClock, IgnoresAFrameTimeOnePeriodOffForACycleAndFollowsAMissedCycle)
{
    CJackCycleClock clock;
    const uint32_t start = 0xFFFFF000u;  // the server's counter wraps during the test
    EXPECT_EQ(clock.Advance(start, 256), 0);
    EXPECT_EQ(clock.Advance(start + 256, 256), 256);
    // Read late, a period ahead, then right again: the loop keeps its grid.
    EXPECT_EQ(clock.Advance(start + 768, 256), 512);
    EXPECT_EQ(clock.Advance(start + 768, 256), 768);
    // ... or a period behind.
    EXPECT_EQ(clock.Advance(start + 768, 256), 1024);
    EXPECT_EQ(clock.Advance(start + 1280, 256), 1280);
    // A cycle this client missed: the server's time is taken from the
    // second cycle that shows it, past the 32-bit wrap.
    EXPECT_EQ(clock.Advance(start + 1792, 256), 1536);
    EXPECT_EQ(clock.Advance(start + 2048, 256), 2048);
    EXPECT_EQ(clock.Advance(start + 2304, 256), 2304);
    EXPECT_EQ(clock.Advance(start + 2304 + 10 * 4096, 4096), 2560) << "a jump of many periods alike";
    EXPECT_EQ(clock.Advance(start + 2304 + 11 * 4096, 4096), 2304 + 11 * 4096);
}
