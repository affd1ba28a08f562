#include "doc/DocFixture.h"
#include "midiout/MidiStream.h"
#include "midiout/SystemMidiOut.h"

#include <QFile>

#include <chrono>
#include <thread>

namespace {

constexpr int64_t kMs = 1000000;
constexpr int64_t kStep100 = 150 * kMs;  // one step at 100 BPM

uint32_t On(int pitch, int velocity) { return 0x99u | uint32_t(pitch) << 8 | uint32_t(velocity) << 16; }

class PlaybackTest : public DocTest
{
protected:
    CVirtualMidiDriver& Clock()
    {
        CVirtualMidiDriver* clock = midiOut.Clock();
        EXPECT_NE(clock, nullptr);
        return *clock;
    }
    void SetCell(int v, int b, int on)
    {
        std::lock_guard<std::mutex> guard(doc->m_lock);
        doc->m_cells[v][b] = on;
    }
    // Velocities of the note-ons sent at time t, by voice.
    std::vector<int> HitsAt(int64_t t)
    {
        std::vector<int> hits(CRondoDoc::kVoices, -1);
        for (const auto& sent : Clock().m_sent) {
            if (sent.time != t || (sent.msg & 0xFF) != 0x99) continue;
            for (int v = 0; v < CRondoDoc::kVoices; ++v) {
                if (((sent.msg >> 8) & 0x7F) == doc->m_voices[v].byPitch && (sent.msg >> 16) != 0) hits[v] = int(sent.msg >> 16);
            }
        }
        return hits;
    }
};

} // namespace

TEST_F(PlaybackTest, PlaysEveryStepOnTheTickGridPassAfterPass)
{
    for (int s = 0; s < CRondoDoc::kBeats; ++s) doc->m_cells[s % 12][s] = 1;
    doc->m_voices[3].byVelocity = 77;
    ASSERT_TRUE(doc->Play()) << doc->PlayError().toStdString();
    EXPECT_TRUE(doc->m_bPlaying);
    EXPECT_TRUE(view->m_bNoteReminder);
    Clock().AdvanceTo(48 * kStep100);  // three passes

    const auto& sent = Clock().m_sent;
    ASSERT_EQ(sent.size(), 1u + 48 * 24 - 12);  // the last offs fall due at the end
    EXPECT_EQ(sent[0].msg, 0xC9u);                 // program change, instrument 1, first
    EXPECT_EQ(sent[0].time, 0);
    size_t i = 1;
    for (int k = 0; k < 48; ++k) {
        const int step = k % 16;
        for (int v = 0; v < 12; ++v, ++i) {
            const int velocity = v == step % 12 ? doc->m_voices[v].byVelocity : 0;
            ASSERT_EQ(sent[i].msg, On(doc->m_voices[v].byPitch, velocity)) << "step " << k << " voice " << v;
            ASSERT_EQ(sent[i].time, k * kStep100) << "step " << k;
        }
        for (int v = 0; v < 12 && i < sent.size(); ++v, ++i) {
            ASSERT_EQ(sent[i].msg, On(doc->m_voices[v].byPitch, 0));
            ASSERT_EQ(sent[i].time, (k + 1) * kStep100);
        }
    }
    EXPECT_EQ(doc->m_hStream->Underruns(), 0u);
}

TEST_F(PlaybackTest, BuffersAlternateWithTheirSliceNumbers)
{
    ASSERT_TRUE(doc->Play());
    EXPECT_EQ(doc->m_midiHdr[0].dwUser, 0u);
    EXPECT_EQ(doc->m_midiHdr[1].dwUser, 1u);
    EXPECT_EQ(doc->m_midiHdr[0].dwBytesRecorded, 300u);  // with the program change
    EXPECT_EQ(doc->m_midiHdr[1].dwBytesRecorded, 288u);
    EXPECT_EQ(doc->m_midiHdr[0].dwBufferLength, 1024u);
    for (int k = 0; k < 20; ++k) {
        Clock().AdvanceTo((k + 1) * kStep100 + kMs);
        const MidiHdr& refilled = doc->m_midiHdr[k % 2];
        EXPECT_EQ(refilled.dwUser, uintptr_t((k + 2) % 16)) << k;
        EXPECT_EQ(refilled.lpData, doc->m_streamEvents[k % 2]);
        EXPECT_EQ(refilled.dwBytesRecorded, 288u);
    }
}

TEST_F(PlaybackTest, StopReturnsTheBuffersSilencesAndStartOpensAnew)
{
    EXPECT_TRUE(doc->Stop()) << "stopping while stopped does nothing";
    ASSERT_TRUE(doc->Play());
    Clock().AdvanceTo(200 * kMs);
    ASSERT_TRUE(doc->Stop());
    EXPECT_FALSE(doc->m_bPlaying);
    EXPECT_FALSE(view->m_bNoteReminder);
    EXPECT_EQ(doc->m_hStream, nullptr);
    for (const MidiHdr& hdr : doc->m_midiHdr) EXPECT_FALSE(hdr.dwFlags & (MHDR_INQUEUE | MHDR_PREPARED));
    EXPECT_TRUE(doc->Stop());

    // Start after Stop: a new open on the device now chosen, and the
    // program change first again.
    midiOut.m_names = {"Port A"};
    doc->m_uDeviceID = 0;
    doc->m_bProgChgStream = false;
    ASSERT_TRUE(doc->Play());
    EXPECT_EQ(midiOut.m_opened, (std::vector<uint32_t>{MIDI_MAPPER, 0}));
    EXPECT_EQ(doc->m_midiHdr[0].dwBytesRecorded, 288u);
    Clock().AdvanceTo(10 * kMs);
    ASSERT_FALSE(Clock().m_sent.empty());
    EXPECT_EQ(Clock().m_sent[0].msg & 0xF0, 0x90u);
    doc->m_bProgChgStream = true;
    ASSERT_TRUE(doc->Stop());
    ASSERT_TRUE(doc->Play());
    Clock().AdvanceTo(10 * kMs);
    EXPECT_EQ(Clock().m_sent[0].msg, 0xC9u);
}

TEST_F(PlaybackTest, StopTurnsOffEverySoundingNote)
{
    ASSERT_TRUE(doc->Play());
    Clock().AdvanceTo(10 * kMs);
    ASSERT_EQ(doc->PlayPreviewNote(60), MMSYSERR_NOERROR);
    Clock().AdvanceTo(11 * kMs);
    CVirtualMidiDriver* clock = &Clock();
    const size_t mark = clock->m_sent.size();
    EXPECT_EQ(clock->m_sent[mark - 1].msg, On(60, 100)) << "the preview sounds at once";
    EXPECT_EQ(clock->m_sent[mark - 1].time, 10 * kMs);

    ASSERT_TRUE(doc->Stop());
    EXPECT_EQ(doc->PlayPreviewNote(60), MMSYSERR_INVALHANDLE);

    // After the stop: the preview note off, then All Notes Off everywhere.
    const auto& sent = midiOut.m_closedSent;
    ASSERT_GE(sent.size(), mark + 33);
    int previewOff = 0, allOff = 0;
    for (size_t i = mark; i < sent.size(); ++i) {
        previewOff += sent[i].msg == 0x3C89u;
        allOff += (sent[i].msg & 0xFFF0) == (0xB0u | 123u << 8);
    }
    EXPECT_EQ(previewOff, 1);
    EXPECT_EQ(allOff, 16);
}

TEST_F(PlaybackTest, TempoChangesApplyFromNowAndAreReadBack)
{
    ASSERT_TRUE(doc->Play());
    Clock().AdvanceTo(160 * kMs);
    EXPECT_EQ(view->m_nLastBpmReport.load(), 100);
    const int reports = view->m_nBpmReports.load();

    // At 160 ms, tick 32 of the loop: 28 ticks to step 2 at 2.5 ms a tick.
    doc->SetTempo(200);
    Clock().AdvanceTo(400 * kMs);
    EXPECT_EQ(HitsAt(230 * kMs).size(), 12u);
    bool bStep2 = false, bStep3 = false;
    for (const auto& s : Clock().m_sent) {
        if ((s.msg & 0xFF) != 0x99 || s.time % kMs) continue;
        bStep2 = bStep2 || s.time == 230 * kMs;
        bStep3 = bStep3 || s.time == 305 * kMs;
        ASSERT_TRUE(s.time <= 150 * kMs || s.time == 230 * kMs || s.time == 305 * kMs || s.time == 380 * kMs) << s.time;
    }
    EXPECT_TRUE(bStep2 && bStep3);
    EXPECT_EQ(view->m_nBpmReports.load(), reports + 1);
    EXPECT_EQ(view->m_nLastBpmReport.load(), 200);
    EXPECT_EQ(doc->m_nBPM, 200);

    // Every tempo of the slider reads back as itself.
    for (int bpm = CRondoDoc::kMinBPM; bpm <= CRondoDoc::kMaxBPM; ++bpm) {
        doc->SetTempo(unsigned(bpm));
        Clock().AdvanceBy(400 * kMs);  // a step at 40 BPM is 375 ms
        ASSERT_EQ(view->m_nLastBpmReport.load(), bpm);
    }
}

TEST_F(PlaybackTest, EditsTwoStepsAheadAreHeardInThisPass)
{
    ASSERT_TRUE(doc->Play());
    Clock().AdvanceTo(10 * kMs);  // step 0 plays, step 1 is queued
    SetCell(0, 0, 1);
    SetCell(1, 1, 1);
    SetCell(2, 2, 1);
    Clock().AdvanceTo(17 * kStep100 + kMs);
    EXPECT_EQ(HitsAt(0)[0], -1);
    EXPECT_EQ(HitsAt(1 * kStep100)[1], -1);
    EXPECT_EQ(HitsAt(2 * kStep100)[2], 100);
    EXPECT_EQ(HitsAt(16 * kStep100)[0], 100);
    EXPECT_EQ(HitsAt(17 * kStep100)[1], 100);
}

TEST_F(PlaybackTest, ARefillThatCannotBeQueuedEndsPlaybackOnTheUiThread)
{
    ASSERT_TRUE(doc->Play());
    Clock().AdvanceTo(100 * kMs);
    Clock().m_nHealth = MIDIERR_NODEVICE;
    Clock().AdvanceTo(400 * kMs);
    EXPECT_EQ(view->m_nFailurePosts.load(), 1) << "posted once, when the other buffer came back";
    EXPECT_NE(doc->m_hStream, nullptr) << "the callback does not stop its own stream";
    EXPECT_EQ(view->RunPosted(), 1);
    EXPECT_EQ(doc->m_hStream, nullptr);
    EXPECT_FALSE(doc->m_bPlaying);
    EXPECT_FALSE(doc->PlayError().isEmpty());
    EXPECT_TRUE(doc->Stop());
    EXPECT_EQ(midiOut.Clock(), nullptr);
}

TEST_F(PlaybackTest, AFailedStartReportsWhyAndLooksStopped)
{
    midiout::SetErrorDetail(MMSYSERR_NOTENABLED, QStringLiteral("(no sound card)"));
    midiOut.m_nOpenError = MMSYSERR_NOTENABLED;
    EXPECT_FALSE(doc->Play());
    EXPECT_TRUE(doc->PlayError().contains(QStringLiteral("no sound card")));
    EXPECT_FALSE(doc->m_bPlaying);
    EXPECT_EQ(doc->m_hStream, nullptr);

    // Open, but the device refuses buffers: the stream stays open, paused,
    // and the next Start uses it without opening again.
    midiOut.m_nOpenError = MMSYSERR_NOERROR;
    midiOut.m_nDriverHealth = MIDIERR_NODEVICE;
    EXPECT_FALSE(doc->Play());
    EXPECT_FALSE(doc->m_bPlaying);
    ASSERT_NE(doc->m_hStream, nullptr);
    Clock().m_nHealth = MMSYSERR_NOERROR;
    ASSERT_TRUE(doc->Play());
    EXPECT_EQ(midiOut.m_opened.size(), 1u);
    Clock().AdvanceTo(kStep100 * 3);
    EXPECT_EQ(Clock().m_sent[0].msg, 0xC9u);
    EXPECT_EQ(HitsAt(2 * kStep100).size(), 12u);
}

// The real-time path of this machine's own service: the built-in synthesizer
// paced by the real clock into its audio file, started and stopped by the
// document as the Start and Stop buttons do.
TEST_F(DocTest, PlaysInRealTimeIntoTheSynthesizersAudioFile)
{
    const QString font = QStringLiteral("/usr/share/sounds/sf2/TimGM6mb.sf2");
    if (!QFile::exists(font)) GTEST_SKIP() << "no small sound font";
    SynthOptions options;
    options.soundFont = font;
    options.audioDriver = QStringLiteral("file");
    options.audioFile = TempPath(QStringLiteral("live.wav"));
    CSystemMidiOut system(options);
    system.PreloadSynth();
    Recreate(&system);
    doc->m_voices[0].byPitch = 75;  // claves: short and sharp
    doc->m_cells[0][0] = doc->m_cells[0][2] = 1;
    view->SetTempoPos(200);  // steps of 75 ms: hits 150 ms apart

    ASSERT_TRUE(doc->Play()) << doc->PlayError().toStdString();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(view->m_nLastBpmReport.load(), 200);
    // A refill that came too late (a loaded machine, a sanitizer build)
    // starts its step when it comes: then the grid is not the file's.
    const uint64_t nUnderruns = doc->m_hStream->Underruns();
    ASSERT_TRUE(doc->Stop());
    EXPECT_EQ(doc->m_hStream, nullptr);

    // The file's time is the frame count, so the hits sit on the grid
    // however the real clock jittered.
    QFile file(options.audioFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray wav = file.readAll();
    ASSERT_GT(wav.size(), 44 + 4 * 13230) << "at least 300 ms were written";
    std::vector<int> left;
    for (qsizetype at = 44; at + 4 <= wav.size(); at += 4)
        left.push_back(int(int16_t(uint8_t(wav[at]) | uint8_t(wav[at + 1]) << 8)));
    int peak = 0;
    for (int v : left) peak = std::max(peak, std::abs(v));
    ASSERT_GT(peak, 1000);
    std::vector<long> onsets;
    for (size_t i = 0; i < left.size(); ++i)
        if (std::abs(left[i]) > peak / 10 && (onsets.empty() || long(i) - onsets.back() > 3000)) onsets.push_back(long(i));
    ASSERT_GE(onsets.size(), 2u);
    if (nUnderruns == 0) EXPECT_NEAR(onsets[1] - onsets[0], 6615, 64) << "two steps at 200 BPM";
    else std::printf("%llu late refills: the hits' spacing is not checked\n", static_cast<unsigned long long>(nUnderruns));
}

TEST_F(PlaybackTest, MidiClockGoesToPortsWithStartAndStopButNeverToTheSynthesizer)
{
    midiOut.m_names = {"Drum Machine"};
    settings.SetInt("Device", "ClockOut", 1);
    Recreate();
    doc->m_uDeviceID = 0;
    doc->m_cells[0][0] = 1;
    ASSERT_TRUE(doc->Play());
    Clock().AdvanceTo(16 * kStep100);  // a pass
    ASSERT_TRUE(doc->Stop());
    const auto& sent = midiOut.m_closedSent;
    std::vector<int64_t> clocks;
    int nStarts = 0, nStops = 0;
    for (const auto& e : sent) {
        if (e.msg == 0xF8) clocks.push_back(e.time);
        if (e.msg == 0xFA) ++nStarts;
        if (e.msg == 0xFC) ++nStops;
    }
    EXPECT_EQ(nStarts, 1);
    EXPECT_EQ(nStops, 1);
    ASSERT_GE(clocks.size(), 96u);
    // 24 to the quarter: a step of 150 ms at 100 BPM is six clocks 25 ms apart.
    for (size_t k = 0; k < 96; ++k) EXPECT_EQ(clocks[k], int64_t(k) * 25 * kMs) << k;

    // The built-in synthesizer gets none.
    doc->m_uDeviceID = MIDI_MAPPER;
    ASSERT_TRUE(doc->Play());
    Clock().AdvanceTo(4 * kStep100);
    ASSERT_TRUE(doc->Stop());
    for (const auto& e : midiOut.m_closedSent) EXPECT_TRUE(e.msg != 0xF8 && e.msg != 0xFA && e.msg != 0xFC);
}

namespace {

// When voice v sounded (a note-on with a velocity), and how loud.
std::vector<std::pair<int64_t, int>> HitsOf(const CVirtualMidiDriver& clock, int pitch)
{
    std::vector<std::pair<int64_t, int>> hits;
    for (const auto& sent : clock.m_sent) {
        if ((sent.msg & 0xF0) == 0x90 && int((sent.msg >> 8) & 0x7F) == pitch && (sent.msg >> 16) != 0)
            hits.emplace_back(sent.time, int(sent.msg >> 16));
    }
    return hits;
}

} // namespace

TEST_F(PlaybackTest, SwingDelaysTheOffBeatsAtEveryTempo)
{
    for (int s = 0; s < 16; ++s) SetCell(0, s, 1);
    doc->SetSwing(66);  // the off-beats 10 ticks late
    struct Case { int bpm; int64_t tick; };  // a tick: 60 s / (120 × BPM)
    for (const Case c : {Case{100, 5 * kMs}, Case{200, 2500000}}) {
        view->SetTempoPos(c.bpm);
        ASSERT_TRUE(doc->Play());
        Clock().AdvanceTo(32 * 30 * c.tick);  // two passes
        const auto hits = HitsOf(Clock(), 50);
        ASSERT_EQ(hits.size(), 32u) << c.bpm;
        for (int k = 0; k < 32; ++k)
            EXPECT_EQ(hits[size_t(k)].first, (30 * k + (k % 2 ? 10 : 0)) * c.tick) << c.bpm << " step " << k;
        // The change is heard within two steps: from step 34 on, straight.
        doc->SetSwing(50);
        Clock().AdvanceTo(40 * 30 * c.tick);
        const auto later = HitsOf(Clock(), 50);
        ASSERT_EQ(later.size(), 40u);
        for (int k = 34; k < 40; ++k) EXPECT_EQ(later[size_t(k)].first, 30 * k * c.tick) << c.bpm << " step " << k;
        EXPECT_EQ(doc->m_hStream->Underruns(), 0u);
        ASSERT_TRUE(doc->Stop());
        doc->SetSwing(66);
    }
}

TEST_F(PlaybackTest, AccentsAndGhostsPlayAtTheirVelocities)
{
    doc->SetLevel(0, 0, CellLevel::On);
    doc->SetLevel(0, 1, CellLevel::Accent);
    doc->SetLevel(0, 2, CellLevel::Ghost);
    doc->m_voices[0].byVelocity = 80;
    ASSERT_TRUE(doc->Play());
    Clock().AdvanceTo(3 * kStep100 + kMs);
    EXPECT_EQ(HitsOf(Clock(), 50), (std::vector<std::pair<int64_t, int>>{{0, 80}, {kStep100, 127}, {2 * kStep100, 36}}));
}

TEST_F(PlaybackTest, MuteAndSoloAreHeardWithinTwoSteps)
{
    for (int v = 0; v < 3; ++v)
        for (int s = 0; s < 16; ++s) SetCell(v, s, 1);
    ASSERT_TRUE(doc->Play());
    auto stepsOf = [&](int v) {
        std::vector<int64_t> steps;
        for (const auto& hit : HitsOf(Clock(), 50 + 2 * v)) steps.push_back(hit.first / kStep100);
        return steps;
    };
    Clock().AdvanceTo(4 * kStep100 + kMs);  // step 4 plays, step 5 is queued
    doc->SetMuted(1, true);
    Clock().AdvanceTo(8 * kStep100 + kMs);
    doc->SetSolo(2, true);
    Clock().AdvanceTo(12 * kStep100 + kMs);
    doc->SetSolo(2, false);
    doc->SetMuted(1, false);
    Clock().AdvanceTo(16 * kStep100 + kMs);
    EXPECT_EQ(stepsOf(0), (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 14, 15, 16}));
    EXPECT_EQ(stepsOf(1), (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 14, 15, 16}));
    EXPECT_EQ(stepsOf(2), (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    EXPECT_FALSE(doc->m_bDirty) << "mute and solo are not changes of the loop";
    EXPECT_FALSE(doc->History().CanUndo());

    // New starts with every voice heard.
    doc->SetMuted(0, true);
    ASSERT_TRUE(doc->Stop());
    doc->ResetLoop();
    EXPECT_FALSE(doc->IsMuted(0));
}

TEST_F(PlaybackTest, ThePlayheadIsTheStepTheClockHasReached)
{
    EXPECT_EQ(doc->PlayingStep(), -1);
    ASSERT_TRUE(doc->Play());
    EXPECT_EQ(doc->PlayingStep(), 0);
    for (int k = 0; k < 40; ++k) {
        Clock().AdvanceTo(k * kStep100 + kMs);
        ASSERT_EQ(doc->PlayingStep(), k % 16) << k;
        // Just before the next step's notes, still this step.
        Clock().AdvanceTo((k + 1) * kStep100 - kMs);
        ASSERT_EQ(doc->PlayingStep(), k % 16) << k;
    }
    uint64_t tick = 0;
    ASSERT_EQ(midiout::StreamPosition(doc->m_hStream, &tick), MMSYSERR_NOERROR);
    EXPECT_EQ(tick, 39u * 30);

    // Swung, an off-beat step starts with its late notes.
    doc->SetSwing(75);  // 15 ticks, 75 ms at 100 BPM
    const int64_t pass = 16 * kStep100;
    Clock().AdvanceTo(3 * pass + 5 * kStep100 + kMs);
    EXPECT_EQ(doc->PlayingStep(), 4);
    Clock().AdvanceTo(3 * pass + 5 * kStep100 + 76 * kMs);
    EXPECT_EQ(doc->PlayingStep(), 5);
    Clock().AdvanceTo(3 * pass + 6 * kStep100 + kMs);
    EXPECT_EQ(doc->PlayingStep(), 6);

    // A tempo change keeps the step the clock is in.
    doc->SetTempo(200);
    Clock().AdvanceBy(2 * 75 * kMs);
    EXPECT_EQ(doc->PlayingStep(), 8);

    // A transport that relocates the loop to step 3: the playhead counts
    // from where that step starts.
    doc->SetSwing(50);
    doc->m_hStream->Locate(Clock().Time() + kMs, 3 * 30);
    doc->m_hStream->WaitIdle();
    Clock().AdvanceBy(2 * kMs);
    EXPECT_EQ(doc->PlayingStep(), 3);
    Clock().AdvanceBy(75 * kMs);  // a step at 200 BPM
    EXPECT_EQ(doc->PlayingStep(), 4);
    ASSERT_TRUE(doc->Stop());
    EXPECT_EQ(doc->PlayingStep(), -1);
    EXPECT_EQ(midiout::StreamPosition(nullptr, &tick), MMSYSERR_INVALHANDLE);
}
