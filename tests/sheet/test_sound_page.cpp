// The Sound page and the way a failed Start leads to it.
#include "AudioAnalysis.h"
#include "app/AppFixture.h"
#include "midiout/SynthDriver.h"
#include "settings/SettingsStore.h"
#include "sheet/PropSheet.h"
#include "view/Commands.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>

namespace {

const QString kSmallFont = QStringLiteral("/usr/share/sounds/sf2/TimGM6mb.sf2");

class SoundPageTest : public AppTest
{
protected:
    CSoundPage* OpenPage()
    {
        command(ID_SOUND).trigger();
        QApplication::processEvents();
        auto* pSheet = dynamic_cast<CPropSheetFrame*>(view().m_pSheetFrame);
        if (pSheet == nullptr) return nullptr;
        EXPECT_EQ(pSheet->m_pSheet->currentIndex(), CModelessPropSheet::kSound);
        EXPECT_EQ(pSheet->m_pSheet->tabText(CModelessPropSheet::kSound), QStringLiteral("Sound"));
        return &pSheet->m_pSheet->m_soundPage;
    }
    CSettingsStore& settings() const { return doc().Settings(); }
    static void Choose(QComboBox* pBox, const QVariant& data)
    {
        const int n = pBox->findData(data);
        ASSERT_GE(n, 0) << data.toString().toStdString();
        pBox->setCurrentIndex(n);
    }
    // Runs the page's Test and waits for its answer.
    static bool RunTest(CSoundPage* pPage)
    {
        QSignalSpy finished(pPage, &CSoundPage::testFinished);
        QTest::mouseClick(pPage->TestButton(), Qt::LeftButton);
        EXPECT_FALSE(pPage->TestButton()->isEnabled()) << "one test at a time";
        EXPECT_TRUE(finished.wait(10000));
        EXPECT_TRUE(pPage->TestButton()->isEnabled());
        return !finished.isEmpty() && finished.front().front().toBool();
    }
};

} // namespace

TEST_F(SoundPageTest, ShowsThePreferencesAndApplyKeepsTheChoicesForTheNextStart)
{
    settings().SetString("Synth", "AudioDriver", "jack");
    settings().SetString("Synth", "SoundFont", kSmallFont);
    settings().SetString("Synth", "Gain", "0.5");
    settings().SetInt("Synth", "PeriodSize", 512);
    CSoundPage* pPage = OpenPage();
    ASSERT_NE(pPage, nullptr);

    // Automatic first, then every driver this FluidSynth can play through.
    QComboBox* pDrivers = pPage->DriverBox();
    EXPECT_EQ(pDrivers->itemText(0), QStringLiteral("Automatic"));
    EXPECT_EQ(pDrivers->itemData(0).toString(), QString());
    const QStringList drivers = SynthOptions::AudioDrivers();
    EXPECT_EQ(pDrivers->count(), drivers.size() + 1);
    for (const QString& driver : drivers) EXPECT_GE(pDrivers->findData(driver), 1) << driver.toStdString();
    EXPECT_EQ(pDrivers->currentData().toString(), QStringLiteral("jack"));
    EXPECT_EQ(pDrivers->currentText(), QStringLiteral("JACK"));

    // The installed sound fonts, the chosen one shown.
    for (const QString& font : SynthOptions::InstalledSoundFonts())
        EXPECT_GE(pPage->SoundFontBox()->findData(font), 0) << font.toStdString();
    EXPECT_EQ(pPage->SoundFontBox()->currentData().toString(), kSmallFont);
    EXPECT_DOUBLE_EQ(pPage->GainBox()->value(), 0.5);
    EXPECT_EQ(pPage->BufferBox()->currentData().toInt(), 512);
    // Three periods of 512 frames at 44.1 kHz.
    EXPECT_EQ(pPage->LatencyLabel()->text(), QStringLiteral("= 35 ms"));
    Choose(pPage->BufferBox(), 128);
    EXPECT_EQ(pPage->LatencyLabel()->text(), QStringLiteral("= 9 ms"));

    // Nothing is kept before Apply.
    Choose(pDrivers, QString());
    pPage->GainBox()->setValue(0.8);
    EXPECT_EQ(settings().GetString("Synth", "AudioDriver", "?"), QStringLiteral("jack"));
    EXPECT_EQ(midiOut.m_nSynthSettingsApplied, 0);

    // A sound font from anywhere, through the file dialog.
    const QString otherFont = TempPath("kit.sf2");
    ASSERT_TRUE(QFile::copy(kSmallFont, otherFont));
    chosenFiles.push_back(otherFont);
    QTest::mouseClick(pPage->BrowseButton(), Qt::LeftButton);
    ASSERT_FALSE(dialogs.empty());
    EXPECT_EQ(dialogs.back().kind, IRondoView::FileKind::SoundFont);
    EXPECT_EQ(pPage->SoundFontBox()->currentData().toString(), otherFont);

    QTest::mouseClick(pPage->ApplyButton(), Qt::LeftButton);
    EXPECT_EQ(settings().GetString("Synth", "AudioDriver", "?"), QString());
    EXPECT_EQ(settings().GetString("Synth", "SoundFont", "?"), otherFont);
    EXPECT_EQ(settings().GetString("Synth", "Gain", "?"), QStringLiteral("0.8"));
    EXPECT_EQ(settings().GetInt("Synth", "PeriodSize", 0), 128);
    EXPECT_EQ(midiOut.m_nSynthSettingsApplied, 1) << "the service takes them for the next Start";
    const SynthOptions kept = SynthOptions::FromSettings(settings());
    EXPECT_EQ(kept.soundFont, otherFont);
    EXPECT_DOUBLE_EQ(kept.gain, 0.8);
    EXPECT_EQ(kept.periodSize, 128);
}

TEST_F(SoundPageTest, TestSaysPlainlyWhetherTheHitPlayedAndWhyNot)
{
    if (!QFileInfo(kSmallFont).isFile()) GTEST_SKIP() << "no small sound font";
    settings().SetString("Synth", "SoundFont", kSmallFont);
    settings().SetString("Synth", "AudioFile", TempPath("test-hit.wav"));
    CSoundPage* pPage = OpenPage();
    ASSERT_NE(pPage, nullptr);

    // Through the paced file writer: the hit is in the file.
    Choose(pPage->DriverBox(), QStringLiteral("file"));
    ASSERT_TRUE(RunTest(pPage)) << pPage->TestResult()->toPlainText().toStdString();
    EXPECT_EQ(pPage->TestResult()->toPlainText(),
              QStringLiteral("It works. The test hit was written to \"%1\".").arg(TempPath("test-hit.wav")));
    const std::vector<float> mono = rondo_test::WavMono(rondo_test::ReadFile(TempPath("test-hit.wav")));
    EXPECT_GT(rondo_test::Peak(mono), 0.05f);

    // A device that cannot open says which and why.
    Choose(pPage->DriverBox(), QStringLiteral("oss"));
    EXPECT_FALSE(RunTest(pPage));
    EXPECT_TRUE(pPage->TestResult()->toPlainText().startsWith(QStringLiteral(
        "No sound. The built-in synthesizer could not open the audio output \"oss\": Device </dev/dsp> could not be "
        "opened")))
        << pPage->TestResult()->toPlainText().toStdString();

    // A sound font that is none.
    Choose(pPage->DriverBox(), QStringLiteral("file"));
    ASSERT_TRUE(rondo_test::WriteFile(TempPath("junk.sf2"), "RIFF junk"));
    chosenFiles.push_back(TempPath("junk.sf2"));
    pPage->OnBrowse();
    EXPECT_FALSE(RunTest(pPage));
    EXPECT_TRUE(pPage->TestResult()->toPlainText().startsWith(
        QStringLiteral("No sound. The sound font \"%1\" is not a SoundFont 2 file.").arg(TempPath("junk.sf2"))))
        << pPage->TestResult()->toPlainText().toStdString();
    // Testing changed no preference.
    EXPECT_EQ(settings().GetString("Synth", "AudioDriver", "?"), QStringLiteral("?"));
}

TEST_F(SoundPageTest, AFailedStartShowsTheWholeReasonAndLeadsToThePageThatDecidesIt)
{
    midiOut.m_nOpenError = MMSYSERR_NOTENABLED;
    const QString reason = QStringLiteral(
        "The built-in synthesizer could not open an audio output.\n\nTried:\nalsa: Failed to open the \"default\" "
        "audio device\njack: no JACK server is running.");
    midiout::SetErrorDetail(MMSYSERR_NOTENABLED, reason);
    IRondoView::MsgKind kind = IRondoView::MsgKind::Ok;
    view().m_onMessage = [&](const QString& text, IRondoView::MsgKind k) {
        messages.append(text);
        kind = k;
        return IRondoView::MsgResult::Settings;
    };
    QTest::mouseClick(view().StartButton(), Qt::LeftButton);
    EXPECT_FALSE(doc().m_bPlaying);
    EXPECT_TRUE(view().StartButton()->isEnabled());
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0], reason);
    EXPECT_EQ(kind, IRondoView::MsgKind::PlayFailed);
    // The status bar keeps the gist, also after a menu's prompt came and went.
    const QString gist = QStringLiteral("The built-in synthesizer could not open an audio output.");
    EXPECT_EQ(frame().PaneText(0), gist);
    frame().statusBar()->showMessage(QStringLiteral("Create a new document"));
    frame().statusBar()->clearMessage();
    EXPECT_EQ(frame().PaneText(0), gist);
    // "Sound Settings..." opens the Sound page, or turns the window to it.
    ASSERT_NE(view().m_pSheetFrame, nullptr);
    auto* pSheet = dynamic_cast<CPropSheetFrame*>(view().m_pSheetFrame);
    EXPECT_EQ(pSheet->m_pSheet->currentIndex(), CModelessPropSheet::kSound);
    pSheet->SetActivePage(CModelessPropSheet::kNotes);
    QTest::mouseClick(view().StartButton(), Qt::LeftButton);
    EXPECT_EQ(view().m_pSheetFrame, pSheet);
    EXPECT_EQ(pSheet->m_pSheet->currentIndex(), CModelessPropSheet::kSound);

    // On a port, it is the MIDI page; a Start that works clears the gist.
    pSheet->close();
    QApplication::processEvents();
    midiOut.m_names = {"Port A"};
    doc().ResetLoop();
    doc().m_uDeviceID = 0;
    QTest::mouseClick(view().StartButton(), Qt::LeftButton);
    ASSERT_NE(view().m_pSheetFrame, nullptr);
    EXPECT_EQ(dynamic_cast<CPropSheetFrame*>(view().m_pSheetFrame)->m_pSheet->currentIndex(), CModelessPropSheet::kMidi);
    midiOut.m_nOpenError = MMSYSERR_NOERROR;
    QTest::mouseClick(view().StartButton(), Qt::LeftButton);
    EXPECT_TRUE(doc().m_bPlaying);
    EXPECT_EQ(frame().PaneText(0), QStringLiteral("Ready"));
    QTest::mouseClick(view().StopButton(), Qt::LeftButton);
}

TEST_F(SoundPageTest, TheRealMessageBoxOffersTheSettingsOfTheDeviceThatFailed)
{
    std::unique_ptr<QMessageBox> pBox = view().CreateMessageBox(QStringLiteral("Why."), IRondoView::MsgKind::PlayFailed);
    ASSERT_NE(pBox->defaultButton(), nullptr);
    EXPECT_EQ(pBox->defaultButton()->text(), QStringLiteral("&Sound Settings..."));
    EXPECT_EQ(pBox->text(), QStringLiteral("Why."));
    midiOut.m_names = {"Port A"};
    doc().ResetLoop();
    doc().m_uDeviceID = 0;
    pBox = view().CreateMessageBox(QStringLiteral("Why."), IRondoView::MsgKind::PlayFailed);
    EXPECT_EQ(pBox->defaultButton()->text(), QStringLiteral("&MIDI Settings..."));
}
