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
