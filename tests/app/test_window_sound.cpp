// The window's Start on the machine's own default audio device, with the
// preferences a new user has.
#include "AudioAnalysis.h"
#include "TestSupport.h"
#include "app/MainFrame.h"
#include "app/RondoApp.h"
#include "doc/RondoDoc.h"
#include "view/GridButtons.h"
#include "view/RondoView.h"

#include <QApplication>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

TEST(WindowSound, StartWithDefaultPreferencesSoundsThroughTheDefaultAlsaDevice)
{
    const QString capture = qEnvironmentVariable("RONDO_ALSA_CAPTURE");
    if (capture.isEmpty()) GTEST_SKIP() << "runs as ctest's rondo_window_alsa, with ALSA's default device captured";
    rondo_test::ScopedConfigDirs dirs;
    // Only ALSA: a desktop's sound server must not take the sound instead.
    qputenv("PULSE_SERVER", "unix:/nonexistent");
    qputenv("JACK_NO_START_SERVER", "1");
    qputenv("JACK_DEFAULT_SERVER", "rondo-test-none");

    CRondoApp app;
    ASSERT_TRUE(app.InitInstance());
    CRondoView& view = *app.MainFrame()->GetActiveView();
    QTest::mouseClick(view.Cell(0, 0), Qt::LeftButton);
    QTest::mouseClick(view.Cell(0, 8), Qt::LeftButton);
    QTest::mouseClick(view.StartButton(), Qt::LeftButton);
    ASSERT_TRUE(app.Document()->m_bPlaying) << app.MainFrame()->PaneText(0).toStdString();
    // ALSA's null device takes the sound as fast as it comes: a few
    // passes are in the file at once.
    QTest::qWait(500);
    QTest::mouseClick(view.StopButton(), Qt::LeftButton);
    EXPECT_FALSE(app.Document()->m_bPlaying);

    const std::vector<float> mono = rondo_test::WavMono(rondo_test::ReadFile(capture));
    const float peak = rondo_test::Peak(mono);
    ASSERT_GT(peak, 0.05f) << "the hits sound through the default device";
    EXPECT_GE(rondo_test::Onsets(mono, peak / 4, 4000).size(), 2u);
    app.Document()->m_bDirty = false;
}
