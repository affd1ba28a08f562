// The UI thread's whole repertoire while the callback thread refills: start
// and stop, tempo, cells, shifts, rows, channel and saves, on the virtual
// clock and on the real one. Run under ThreadSanitizer by `make sanitize`;
// RONDO_STRESS_SCALE=N runs N times as many operations.

#include "doc/DocFixture.h"
#include "midi/SmfReader.h"
#include "midiout/PortDriver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

namespace {

constexpr int64_t kMs = 1000000;

int StressScale()
{
    const int n = qEnvironmentVariableIntValue("RONDO_STRESS_SCALE");
    return n > 0 ? n : 1;
}

// A deadlock must fail the run, not hang it: when the stress has not ended
// in time this aborts the program, naming the operation that never returned.
class CWatchdog
{
public:
    explicit CWatchdog(std::chrono::seconds limit)
        : m_thread([this, limit] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_cv.wait_for(lock, limit, [this] { return m_bDone; })) {
                  std::fprintf(stderr, "stress: stuck for %lld s in %s\n", static_cast<long long>(limit.count()),
                               m_pOperation.load());
                  std::abort();
              }
          })
    {
    }
    ~CWatchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bDone = true;
        }
        m_cv.notify_one();
        m_thread.join();
    }
    void Enter(const char* operation) { m_pOperation.store(operation); }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bDone = false;
    std::atomic<const char*> m_pOperation{"start"};
    std::thread m_thread;
};

class PlaybackStressTest : public DocTest
{
protected:
    // One random UI operation; pace() lets the clock move on.
    template <typename Pace>
    void RandomOperation(std::mt19937& rng, CWatchdog& watchdog, unsigned tempoBase, unsigned tempoSpan, Pace pace)
    {
        switch (rng() % 8) {
        case 0:
            watchdog.Enter("Stop");
            ASSERT_TRUE(doc->Stop());
            ExpectEveryBufferBack();
            watchdog.Enter("Play");
            ASSERT_TRUE(doc->Play()) << doc->PlayError().toStdString();
            ++m_nStarts;
            break;
        case 1: {
            watchdog.Enter("SetTempo");
            const unsigned bpm = tempoBase + unsigned(rng() % tempoSpan);
            view->SetTempoPos(int(bpm));
            doc->SetTempo(bpm);
            break;
        }
        case 2:
        case 3: {
            // As the grid toggles a cell: only in a row that is shown.
            watchdog.Enter("toggle");
            std::lock_guard<std::mutex> guard(doc->m_lock);
            int& cell = doc->m_cells[rng() % unsigned(view->VoicesShown())][rng() % CRondoDoc::kBeats];
            cell = cell ? 0 : 1;
            break;
        }
        case 4:
            watchdog.Enter("ShiftBeats");
            view->SetCurVoice(int(rng() % unsigned(view->VoicesShown())));
            doc->ShiftBeats(rng() % 2);
            break;
        case 5:
            watchdog.Enter("rows");
            if (rng() % 2 && view->VoicesShown() > CRondoDoc::kMinRows) view->DeleteVoice();
            else view->AddVoice();
            break;
        case 6:
            watchdog.Enter("SetChannel");
            doc->SetChannel(int(rng() % 16));
            break;
        default:
            watchdog.Enter("SaveLoopTo");
            ASSERT_TRUE(doc->SaveLoopTo(TempPath(QStringLiteral("stress.rlf"))));
            break;
        }
        watchdog.Enter("clock");
        pace();
    }

    // Both buffers came back through the callback and the stream is gone.
    void ExpectEveryBufferBack()
    {
        ASSERT_EQ(doc->m_hStream, nullptr);
        ASSERT_FALSE(doc->m_bPlaying);
        for (const MidiHdr& hdr : doc->m_midiHdr) {
            ASSERT_EQ(hdr.dwFlags & (MHDR_INQUEUE | MHDR_PREPARED | MHDR_DONE), MHDR_DONE) << m_nStarts;
        }
    }

    // What the edits may never break, and a save that loads back as itself.
    void ExpectSoundDocument(bool bSliderTempo)
    {
        const int shown = view->VoicesShown();
        ASSERT_GE(shown, CRondoDoc::kMinRows);
        ASSERT_LE(shown, CRondoDoc::kMaxRows);
        for (int v = shown; v < CRondoDoc::kVoices; ++v)
            for (int b = 0; b < CRondoDoc::kBeats; ++b) ASSERT_FALSE(doc->IsCellOn(v, b)) << "hidden row " << v;
        ASSERT_EQ(doc->m_byNoteOn, 0x90 + doc->m_nChannel);
        if (bSliderTempo) {
            ASSERT_GE(doc->m_nBPM, CRondoDoc::kMinBPM);
            ASSERT_LE(doc->m_nBPM, CRondoDoc::kMaxBPM);
        }

        doc->BuildMidiFile(false);
        const smf::File midi = smf::Parse(std::vector<uint8_t>(doc->m_midiFile, doc->m_midiFile + doc->m_nDocSize));
        ASSERT_EQ(midi.error, "");
        ASSERT_EQ(midi.trackEvents[1].back().tick, 480u);

        const QString path = TempPath(QStringLiteral("final.rlf"));
        ASSERT_TRUE(doc->SaveLoopTo(path));
        CSettingsStore otherSettings;
        otherSettings.Open(QString(), QStringLiteral("Quillon Software/Rondo"));
        CVirtualMidiOut otherOut;
        CRondoDoc other(otherSettings, otherOut);
        CHeadlessView otherView(other);
        other.SetView(&otherView);
        other.ResetLoop();
        ASSERT_EQ(other.LoadLoopFrom(path), CRondoDoc::LoadResult::Loaded);
        for (int v = 0; v < CRondoDoc::kVoices; ++v)
            for (int b = 0; b < CRondoDoc::kBeats; ++b) ASSERT_EQ(other.m_cells[v][b], doc->m_cells[v][b]);
        EXPECT_EQ(other.m_nBPM, std::clamp(doc->m_nBPM, CRondoDoc::kMinBPM, CRondoDoc::kMaxBPM));
        EXPECT_EQ(other.m_nChannel, doc->m_nChannel);
    }

    int m_nStarts = 0;
};

// Counts what the port clock sends.
struct CCountingSink final : IMidiSink
{
    std::atomic<long>& count;
    explicit CCountingSink(std::atomic<long>& n) : count(n) {}
    void Send(uint32_t) override { count.fetch_add(1, std::memory_order_relaxed); }
};

} // namespace

// The virtual clock does not wait for the refills here, so each one runs on
// the callback thread while the UI thread goes on editing.
TEST_F(PlaybackStressTest, EditingWhileTheCallbackRefillsOnTheVirtualClock)
{
    CWatchdog watchdog(std::chrono::seconds(120));
    std::mt19937 rng(20261208);
    long nSent = 0;
    ASSERT_TRUE(doc->Play());
    ++m_nStarts;
    for (int i = 0; i < 1500 * StressScale(); ++i) {
        RandomOperation(rng, watchdog, CRondoDoc::kMinBPM, CRondoDoc::kMaxBPM - CRondoDoc::kMinBPM + 1, [&] {
            CVirtualMidiDriver* clock = midiOut.Clock();
            clock->m_bWaitForCallbacks = false;
            const size_t before = clock->m_sent.size();
            clock->AdvanceBy(int64_t(rng() % 80) * kMs);
            nSent += long(clock->m_sent.size() - before);
        });
        if (HasFatalFailure()) return;
    }
    watchdog.Enter("final Stop");
    ASSERT_TRUE(doc->Stop());
    ExpectEveryBufferBack();
    EXPECT_EQ(view->m_nFailurePosts.load(), 0);
    EXPECT_GT(nSent, 1000L) << "the loop played between the operations";
    EXPECT_EQ(int(midiOut.m_opened.size()), m_nStarts);
    ExpectSoundDocument(true);
}

// Steps far shorter than any tempo of the slider: every operation meets
// refills in flight, and every stop meets a buffer on its way back.
TEST_F(PlaybackStressTest, EditingWhileTheCallbackRefillsOnTheRealClock)
{
    std::atomic<long> nSent{0};
    CSinkPortOut ports([&] { return std::make_unique<CCountingSink>(nSent); });
    Recreate(&ports);
    CWatchdog watchdog(std::chrono::seconds(120));
    std::mt19937 rng(5);
    ASSERT_TRUE(doc->Play());
    ++m_nStarts;
    for (int i = 0; i < 1500 * StressScale(); ++i) {
        RandomOperation(rng, watchdog, 20000, 20000,  // steps of 0.4 to 0.75 ms
                        [&] { std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1000)); });
        if (HasFatalFailure()) return;
    }
    watchdog.Enter("final Stop");
    ASSERT_TRUE(doc->Stop());
    ExpectEveryBufferBack();
    EXPECT_EQ(view->m_nFailurePosts.load(), 0);
    EXPECT_GT(nSent.load(), 100L * 24);
    ExpectSoundDocument(false);
}
