// The loop rendered offline: exactly N passes, then a release tail that ends
// when the sound has faded relative to the loop's own level.
#include "AudioAnalysis.h"
#include "TestSupport.h"
#include "midi/AudioRender.h"
#include "settings/SettingsStore.h"

#include <QFileInfo>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

const QString kSmallFont = QStringLiteral("/usr/share/sounds/sf2/TimGM6mb.sf2");

class AudioRenderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!QFileInfo(kSmallFont).isFile()) GTEST_SKIP() << "no " << kSmallFont.toStdString();
        settings.Open(QString(), QStringLiteral("Quillon Software/Rondo"));
        options.soundFont = kSmallFont;
    }

    // Renders the loop that setUp draws; the louder channel per frame.
    std::vector<float> RenderLoop(CLoopRenderer& renderer, const AudioRenderOptions& render)
    {
        std::vector<float> mono;
        QString error;
        const bool bOk = renderer.Render(
            render,
            [&](const float* left, const float* right, int n) {
                for (int i = 0; i < n; ++i) mono.push_back(std::max(std::fabs(left[i]), std::fabs(right[i])));
                return true;
            },
            error);
        EXPECT_TRUE(bOk) << error.toStdString();
        return mono;
    }

    rondo_test::ScopedConfigDirs dirs;
    CSettingsStore settings;
    SynthOptions options;
};

} // namespace

TEST(PassFrames, CountsAsTheStreamClockDoes)
{
    // 120 BPM: 500000 us a quarter, two seconds a pass.
    EXPECT_EQ(PassFrames(1, 120, 44100), 88200);
    EXPECT_EQ(PassFrames(3, 120, 44100), 3 * 88200);
    // 97 BPM: 618556 us a quarter; 4 passes are 9.896896 s, 436453.1 frames.
    EXPECT_EQ(PassFrames(4, 97, 44100), 436453);
    // 133 BPM: 451127 us; 3 passes 5.413524 s, 238736.4 frames.
    EXPECT_EQ(PassFrames(3, 133, 44100), 238736);
    EXPECT_EQ(PassFrames(0, 120, 44100), 0);
}

TEST_F(AudioRenderTest, EndsExactlyAtTheEndOfTheLastPassAtTempiBetweenFrames)
{
    for (const int nBPM : {97, 133}) {
        CLoopRenderer renderer(settings, options);
        CRondoDoc& doc = renderer.Doc();
        doc.ResetLoop();
        // A short, dry hit on the first step only: the next pass would
        // begin with it on the frame after the last one rendered.
        doc.m_voices[0].byPitch = 75;  // claves
        doc.m_cells[0][0] = 1;
        AudioRenderOptions render;
        render.nPasses = 3;
        render.nTempo = nBPM;
        const std::vector<float> mono = RenderLoop(renderer, render);

        const size_t passEnd = size_t(PassFrames(3, nBPM, 44100));
        ASSERT_GT(mono.size(), passEnd) << nBPM;
        const float peak = *std::max_element(mono.begin(), mono.end());
        ASSERT_GT(peak, 0.01f);
        const std::vector<size_t> onsets = rondo_test::Onsets(mono, peak / 10, 4410);
        ASSERT_EQ(onsets.size(), 3u) << nBPM << " BPM: one hit a pass, none in the tail";
        for (size_t onset : onsets) EXPECT_LT(onset, passEnd);
        // The claves fade in well under a second: the tail ends relative to
        // the loop's level, long before the cap.
        EXPECT_LT(mono.size() - passEnd, size_t(44100)) << nBPM;
        EXPECT_GE(mono.size() - passEnd, size_t(4410)) << nBPM;
        EXPECT_FALSE(doc.m_bPlaying);
    }
}

TEST_F(AudioRenderTest, ASinkThatRefusesStopsTheRender)
{
    CLoopRenderer renderer(settings, options);
    renderer.Doc().m_cells[0][0] = 1;
    int calls = 0;
    QString error = QStringLiteral("stale");
    EXPECT_FALSE(renderer.Render({}, [&](const float*, const float*, int) { return ++calls < 3; }, error));
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    EXPECT_FALSE(renderer.Doc().m_bPlaying);
    // The renderer can play again after the refusal.
    EXPECT_TRUE(renderer.Render({1, 200}, [](const float*, const float*, int) { return true; }, error))
        << error.toStdString();
}

namespace {

std::vector<float> RenderLeft(CLoopRenderer& renderer, const AudioRenderOptions& render)
{
    std::vector<float> out;
    QString error;
    EXPECT_TRUE(renderer.Render(
        render,
        [&](const float* left, const float*, int n) {
            out.insert(out.end(), left, left + n);
            return true;
        },
        error))
        << error.toStdString();
    return out;
}

// A crash cymbal on the last step rings far into the next pass; claves
// on the second beat.
void DrawRingingLoop(CRondoDoc& doc)
{
    doc.ResetLoop();
    doc.m_voices[0].byPitch = 49;
    doc.m_cells[0][15] = 1;
    doc.m_voices[1].byPitch = 75;
    doc.m_cells[1][4] = 1;
}

} // namespace

TEST_F(AudioRenderTest, ALoopReadyRenderIsExactlyThePassesAndJoinsItsEndToItsStart)
{
    // 133 BPM: a pass is not a whole number of frames.
    {
        CLoopRenderer renderer(settings, options);
        DrawRingingLoop(renderer.Doc());
        AudioRenderOptions render;
        render.nPasses = 3;
        render.nTempo = 133;
        render.bLoopReady = true;
        EXPECT_EQ(renderer.MaxFrames(render), PassFrames(3, 133, 44100));
        const std::vector<float> left = RenderLeft(renderer, render);
        EXPECT_EQ(int64_t(left.size()), PassFrames(3, 133, 44100));
        // The cymbal of the last step is heard before the first hit of the
        // file, where a plain render starts silent.
        const size_t beforeFirstHit = 100;
        EXPECT_GT(rondo_test::Peak(left, 0, beforeFirstHit), 0.005f);
        render.bLoopReady = false;
        const std::vector<float> plain = RenderLeft(renderer, render);
        EXPECT_LT(rondo_test::Peak(plain, 0, beforeFirstHit), 1e-4f);
    }

    // Played round and round, the file sounds as the loop does in the
    // middle of a long render: its start continues its end. The reverb's
    // modulation runs free of the loop, so the two are compared by their
    // loudness, 1024 frames at a time, a pass either side of the seam.
    const int nPasses = 3;
    const size_t span = size_t(PassFrames(1, 125, 44100));
    AudioRenderOptions render;
    render.nPasses = 2 * nPasses + 1;
    render.nTempo = 125;
    CLoopRenderer longRenderer(settings, options);
    DrawRingingLoop(longRenderer.Doc());
    const std::vector<float> plain = RenderLeft(longRenderer, render);
    const size_t seam = size_t(PassFrames(2 * nPasses, 125, 44100));
    ASSERT_GT(plain.size(), seam + span);
    auto worstGapDb = [&](const std::vector<float>& file) {
        double worst = 0;
        for (size_t w = 0; w + 1024 <= 2 * span; w += 1024) {
            double wrapped = 0, steady = 0;
            for (size_t k = w; k < w + 1024; ++k) {
                const float a = k < span ? file[size_t(PassFrames(nPasses, 125, 44100)) - span + k] : file[k - span];
                const float b = plain[seam - span + k];
                wrapped += double(a) * a;
                steady += double(b) * b;
            }
            worst = std::max(worst, std::fabs(10 * std::log10((wrapped + 1e-9) / (steady + 1e-9))));
        }
        return worst;
    };
    render.nPasses = nPasses;
    render.bLoopReady = true;
    CLoopRenderer loopRenderer(settings, options);
    DrawRingingLoop(loopRenderer.Doc());
    const std::vector<float> loop = RenderLeft(loopRenderer, render);
    ASSERT_EQ(int64_t(loop.size()), PassFrames(nPasses, 125, 44100));
    EXPECT_LT(worstGapDb(loop), 1.0);
    // The same measure finds the gap of a plain render cut after the passes.
    render.bLoopReady = false;
    CLoopRenderer plainRenderer(settings, options);
    DrawRingingLoop(plainRenderer.Doc());
    EXPECT_GT(worstGapDb(RenderLeft(plainRenderer, render)), 20.0);
}
