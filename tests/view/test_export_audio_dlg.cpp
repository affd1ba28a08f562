// The Export Audio dialog: it offers what it was given and tells what the
// file will hold.
#include "view/ExportAudioDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QSpinBox>

#include <gtest/gtest.h>

TEST(ExportAudioDlg, OffersTheChoicesItWasGivenAndSaysWhatTheFileHolds)
{
    for (const AudioFormat format : {AudioFormat::Wav16, AudioFormat::Wav24, AudioFormat::Flac}) {
        AudioFileJob initial;
        initial.render.nPasses = 3;
        initial.render.nTempo = 133;
        initial.render.bLoopReady = format == AudioFormat::Wav24;
        initial.format = format;
        CExportAudioDlg dlg(initial);
        const AudioFileJob back = dlg.Choices();
        EXPECT_EQ(back.render.nPasses, 3);
        EXPECT_EQ(back.render.nTempo, 133);
        EXPECT_EQ(back.render.bLoopReady, initial.render.bLoopReady);
        EXPECT_EQ(back.format, format);
    }

    AudioFileJob initial;
    initial.render.nTempo = 120;
    CExportAudioDlg dlg(initial);
    // Four passes at 120 BPM are eight seconds: 352800 frames of 4 bytes.
    EXPECT_EQ(dlg.m_pSummary->text(), QStringLiteral("8.00 s and the release, 44.1 kHz stereo, 1.4 MB"));
    dlg.m_pLoopReady->setChecked(true);
    dlg.m_pFormat->setCurrentIndex(1);
    EXPECT_EQ(dlg.m_pSummary->text(), QStringLiteral("8.00 s, 44.1 kHz stereo, 2.1 MB"));
    dlg.m_pFormat->setCurrentIndex(2);
    dlg.m_pPasses->setValue(10);
    EXPECT_EQ(dlg.m_pSummary->text(), QStringLiteral("20.0 s, 44.1 kHz stereo")) << "FLAC's size is the sound's";
    // The limits the command line keeps too.
    dlg.m_pTempo->setValue(300);
    EXPECT_EQ(dlg.Choices().render.nTempo, 200);
    dlg.m_pPasses->setValue(0);
    EXPECT_EQ(dlg.Choices().render.nPasses, 1);
}
