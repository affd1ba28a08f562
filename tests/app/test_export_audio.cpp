// Export Audio from the window: the same file as the command line's
// --render, its choices and folder remembered, a progress window that can
// cancel, and a loop dragged out as audio.
#include "app/AppFixture.h"
#include "midi/AudioRender.h"
#include "view/Commands.h"
#include "view/ExportAudioDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QMimeData>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QUrl>

#include <sndfile.h>

namespace {

const QString kSmallFont = QStringLiteral("/usr/share/sounds/sf2/TimGM6mb.sf2");

class ExportAudioTest : public AppTest
{
protected:
    void SetUp() override
    {
        if (!QFileInfo(kSmallFont).isFile()) GTEST_SKIP() << "no " << kSmallFont.toStdString();
        AppTest::SetUp();
        // The window and the command line read the same settings.
        app->m_settings.SetString("Synth", "SoundFont", kSmallFont);
        doc().m_strLoopTitle = "Groove";
        doc().m_cells[0][0] = doc().m_cells[1][4] = doc().m_cells[2][15] = 1;
        doc().SetLevel(1, 4, CellLevel::Accent);
        doc().SetSwing(62);
        doc().m_nBPM = 97;
        view().SetTempoPos(97);
        view().m_onChooseAudioExport = [this](const AudioFileJob& initial) -> std::optional<AudioFileJob> {
            offered.push_back(initial);
            if (!choose) return std::nullopt;
            // The real dialog, set as a user sets it.
            CExportAudioDlg dlg(initial, &frame());
            choose(dlg);
            return dlg.Choices();
        };
    }

    // The command line's render of the loop as the window holds it.
    QByteArray RenderOnCommandLine(const QStringList& options, const QString& name)
    {
        const QString loop = TempPath("cli.rlf");
        EXPECT_TRUE(doc().SaveLoopTo(loop));
        QProcess p;
        p.start(RONDO_BINARY, QStringList{"--render", loop, TempPath(name)} + options);
        EXPECT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        return rondo_test::ReadFile(TempPath(name));
    }

    std::vector<AudioFileJob> offered;
    std::function<void(CExportAudioDlg&)> choose;
};

} // namespace

TEST_F(ExportAudioTest, TheWindowWritesWhatTheCommandLineRendersAndRemembersTheChoices)
{
    // First export: the defaults, at the loop's tempo.
    choose = [](CExportAudioDlg&) {};
    chosenFiles.push_back(TempPath("window.wav"));
    command(ID_EXPORT_AUDIO).trigger();
    ASSERT_EQ(offered.size(), 1u);
    EXPECT_EQ(offered[0].render.nPasses, 4);
    EXPECT_EQ(offered[0].render.nTempo, 97);
    EXPECT_FALSE(offered[0].render.bLoopReady);
    EXPECT_EQ(offered[0].format, AudioFormat::Wav16);
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].kind, IRondoView::FileKind::ExportAudio);
    EXPECT_EQ(dialogs[0].initialName, QDir::homePath() + QStringLiteral("/Groove.wav"));
    EXPECT_TRUE(messages.isEmpty()) << messages.join(u'\n').toStdString();
    const QByteArray window = rondo_test::ReadFile(TempPath("window.wav"));
    ASSERT_GT(window.size(), 44);
    EXPECT_TRUE(window == RenderOnCommandLine({}, "cli.wav")) << "the same bytes as rondo --render";

    // Second: two passes, ready to loop, as FLAC, at another tempo.
    choose = [](CExportAudioDlg& dlg) {
        dlg.m_pPasses->setValue(2);
        dlg.m_pTempo->setValue(133);
        dlg.m_pFormat->setCurrentIndex(dlg.m_pFormat->findText(QStringLiteral("FLAC, 24-bit")));
        dlg.m_pLoopReady->setChecked(true);
    };
    chosenFiles.push_back(TempPath("window.flac"));
    command(ID_EXPORT_AUDIO).trigger();
    // In the folder written to last.
    ASSERT_EQ(dialogs.size(), 2u);
    EXPECT_EQ(dialogs[1].initialName, files.path() + QStringLiteral("/Groove.flac"));
    const QByteArray flac = rondo_test::ReadFile(TempPath("window.flac"));
    EXPECT_TRUE(flac.startsWith("fLaC"));
    EXPECT_TRUE(flac == RenderOnCommandLine({"--loops", "2", "--tempo", "133", "--format", "flac", "--loop-ready"},
                                            "cli.flac"));

    // Third: what was chosen last is offered again; the tempo is the
    // loop's own again.
    choose = nullptr;
    command(ID_EXPORT_AUDIO).trigger();
    ASSERT_EQ(offered.size(), 3u);
    EXPECT_EQ(offered[2].render.nPasses, 2);
    EXPECT_EQ(offered[2].render.nTempo, 97);
    EXPECT_TRUE(offered[2].render.bLoopReady);
    EXPECT_EQ(offered[2].format, AudioFormat::Flac);
    EXPECT_EQ(dialogs.size(), 2u) << "a cancelled dialog asks for no file";

    // While the loop plays, on a synthesizer of its own: playing goes on.
    view().OnStart();
    ASSERT_TRUE(doc().m_bPlaying);
    ASSERT_TRUE(command(ID_EXPORT_AUDIO).isEnabled());
    choose = [](CExportAudioDlg& dlg) { dlg.m_pTempo->setValue(133); };
    chosenFiles.push_back(TempPath("playing.flac"));
    command(ID_EXPORT_AUDIO).trigger();
    EXPECT_TRUE(doc().m_bPlaying);
    EXPECT_TRUE(rondo_test::ReadFile(TempPath("playing.flac")) == flac) << "the same loop, the same file";
    view().OnStop();
}

TEST_F(ExportAudioTest, CancelInTheProgressWindowKeepsTheOldFileAndAFailureIsTold)
{
    ASSERT_TRUE(rondo_test::WriteFile(TempPath("take.wav"), "old take"));
    // Long enough to be cancelled while it runs.
    choose = [](CExportAudioDlg& dlg) {
        dlg.m_pPasses->setValue(AudioRenderOptions::kMaxPasses);
        dlg.m_pTempo->setValue(40);
    };
    chosenFiles.push_back(TempPath("take.wav"));
    int nProgressSeen = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QProgressDialog* pProgress = frame().findChild<QProgressDialog*>();
        if (pProgress == nullptr || pProgress->value() <= 0) return;
        nProgressSeen = pProgress->value();
        for (QPushButton* pButton : pProgress->findChildren<QPushButton*>()) {
            if (pButton->text() == QStringLiteral("Cancel")) pButton->click();
        }
    });
    poll.start(20);
    command(ID_EXPORT_AUDIO).trigger();
    poll.stop();
    EXPECT_GT(nProgressSeen, 0) << "the progress window moved";
    EXPECT_LT(nProgressSeen, 1000);
    EXPECT_TRUE(messages.isEmpty()) << "a cancel needs no message";
    EXPECT_EQ(rondo_test::ReadFile(TempPath("take.wav")), "old take");
    EXPECT_EQ(QDir(files.path()).entryList(QDir::Files), QStringList{"take.wav"}) << "nothing left beside it";
    EXPECT_EQ(frame().findChild<QProgressDialog*>(), nullptr);

    // A folder that does not exist: the user is told, naming the file.
    choose = [](CExportAudioDlg&) {};
    chosenFiles.push_back(TempPath("gone/take.wav"));
    command(ID_EXPORT_AUDIO).trigger();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith(QStringLiteral("The audio file %1 could not be written.")
                                           .arg(QDir::toNativeSeparators(TempPath("gone/take.wav")))))
        << messages[0].toStdString();

    // A sound font that cannot be loaded is named as such.
    app->m_settings.SetString("Synth", "SoundFont", TempPath("none.sf2"));
    chosenFiles.push_back(TempPath("take.wav"));
    command(ID_EXPORT_AUDIO).trigger();
    ASSERT_EQ(messages.size(), 2);
    EXPECT_TRUE(messages[1].startsWith(QStringLiteral("The sound font %1 could not be loaded.")
                                           .arg(QDir::toNativeSeparators(TempPath("none.sf2")))))
        << messages[1].toStdString();
    EXPECT_EQ(rondo_test::ReadFile(TempPath("take.wav")), "old take");
}

TEST_F(ExportAudioTest, ALoopDraggedOutWithCtrlIsItsAudioRender)
{
    std::unique_ptr<QMimeData> pData(frame().MakeLoopDragData(true));
    ASSERT_NE(pData, nullptr);
    ASSERT_EQ(pData->urls().size(), 1);
    const QString path = pData->urls().front().toLocalFile();
    EXPECT_EQ(QFileInfo(path).fileName(), QStringLiteral("Groove.wav"));
    const QByteArray wav = pData->data(QStringLiteral("audio/wav"));
    EXPECT_EQ(wav, rondo_test::ReadFile(path));
    EXPECT_FALSE(pData->hasFormat(QStringLiteral("audio/midi")));
    SF_INFO info{};
    SNDFILE* file = sf_open(path.toUtf8().constData(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_GT(info.frames, PassFrames(4, 97, 44100)) << "four passes at the loop's tempo and the release";
    sf_close(file);
    // Dragging chose no folder and no choices.
    EXPECT_TRUE(app->m_settings.GetString("Export Audio", "DirPath", QString()).isEmpty());
}
