#include "app/AppFixture.h"
#include "view/Commands.h"
#include "view/GridButtons.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QScreen>
#include <QSlider>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>
#include <QUrl>

#include <sys/stat.h>

using MsgResult = IRondoView::MsgResult;
using FileKind = IRondoView::FileKind;

namespace {

// A loop file written by the program itself: one hit on voice 6, beat 3.
QString SaveLoop(CRondoApp& app, const QString& path)
{
    CRondoDoc& doc = *app.Document();
    CRondoView& view = *app.MainFrame()->GetActiveView();
    while (view.m_nVoices < 6) view.AddVoice();
    doc.m_cells[5][3] = 1;
    doc.m_nBPM = 132;
    return doc.SaveLoopTo(path) ? path : QString();
}

} // namespace

class FrameTest : public AppTest
{
};

TEST_F(FrameTest, StartsWithANewLoopOfFourRowsAtTempo100)
{
    EXPECT_EQ(frame().windowTitle(), QStringLiteral("Rondo"));
    EXPECT_TRUE(frame().isVisible());
    EXPECT_EQ(view().m_nVoices, 4);
    EXPECT_EQ(view().TempoSlider()->value(), 100);
    EXPECT_EQ(frame().PaneText(0), QStringLiteral("Ready"));
    EXPECT_EQ(frame().PaneText(1), QStringLiteral("BPM"));
    EXPECT_EQ(view().height(), view().FormSize(4).height());
    // The placement is stored from the first start on.
    const CSettingsStore& settings = app->m_settings;
    EXPECT_EQ(settings.GetInt("Screen", "cx", 0), frame().width());
    EXPECT_EQ(settings.GetInt("Screen", "cy", 0), frame().height());
    EXPECT_EQ(settings.GetInt("Screen", "x", -1), frame().x());
}

TEST_F(FrameTest, AFirstStartWithALegacyFileThatIsAFifoNeitherWaitsNorImports)
{
    app.reset();
    ASSERT_TRUE(QFile::remove(dirs.StoreFile()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(CSettingsStore::LegacyIniPath()).constData(), 0600), 0);
    Start();
    EXPECT_TRUE(frame().isVisible());
    EXPECT_EQ(doc().m_strComposer, "Your Name");
    EXPECT_TRUE(QFileInfo(dirs.StoreFile()).isFile()) << "the first start is over: the store exists";
}

TEST_F(FrameTest, TheLoopNamedOnTheCommandLineOpens)
{
    const QString path = SaveLoop(*app, TempPath("Groove.rlf"));
    ASSERT_FALSE(path.isEmpty());
    Start(path);
    EXPECT_TRUE(doc().IsCellOn(5, 3));
    EXPECT_EQ(view().m_nVoices, 6);
    EXPECT_EQ(view().TempoSlider()->value(), 132);
    EXPECT_EQ(frame().windowTitle(), QStringLiteral("Groove - Rondo"));
    EXPECT_EQ(doc().m_strFilePath, path);
    EXPECT_FALSE(doc().m_bDirty);
}

TEST_F(FrameTest, AnInvalidFileOnTheCommandLineSaysSoAndShowsANewLoop)
{
    ASSERT_TRUE(rondo_test::WriteFile(TempPath("notes.txt"), "not a loop"));
    // The message comes while the window starts: answer it before the fixture hooks in.
    app.reset();
    app = std::make_unique<CRondoApp>(&midiOut);
    QStringList shown;
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                shown << box->text();
                box->accept();
            }
        }
    });
    ASSERT_TRUE(app->InitInstance(TempPath("notes.txt")));
    EXPECT_EQ(shown, QStringList{QString::fromLatin1(CRondoDoc::kMsgInvalidFile)});
    EXPECT_EQ(frame().windowTitle(), QStringLiteral("Rondo"));
    EXPECT_TRUE(doc().m_strFilePath.isEmpty());
    EXPECT_EQ(view().m_nVoices, 4);
}

TEST_F(FrameTest, AStoredPlacementIsKeptOnlyWhenItFitsTheScreen)
{
    bool bReplaced = false;
    EXPECT_EQ(CMainFrame::ValidatePlacement(QRect(0, 0, 0, 0), QSize(1024, 768), &bReplaced),
              QRect(128, 96, 768, 576));
    EXPECT_TRUE(bReplaced);
    EXPECT_EQ(CMainFrame::ValidatePlacement(QRect(10, 10, 2000, 500), QSize(1280, 1024), &bReplaced),
              QRect(160, 128, 960, 768));
    EXPECT_TRUE(bReplaced) << "too wide: rejected as a whole";
    EXPECT_EQ(CMainFrame::ValidatePlacement(QRect(-5, 10, 500, 300), QSize(1280, 1024), &bReplaced).x(), 160);
    EXPECT_TRUE(bReplaced);
    EXPECT_EQ(CMainFrame::ValidatePlacement(QRect(1280, 1024, 500, 300), QSize(1280, 1024), &bReplaced),
              QRect(1280, 1024, 500, 300));
    EXPECT_FALSE(bReplaced) << "the screen's edge itself is accepted";
    EXPECT_EQ(CMainFrame::ValidatePlacement(QRect(1281, 0, 500, 300), QSize(1280, 1024), &bReplaced).x(), 160);
    EXPECT_TRUE(bReplaced);

    // The next start opens where the window was left.
    frame().move(37, 21);
    QApplication::processEvents();
    Start();
    EXPECT_EQ(frame().pos(), QPoint(37, 21));
}

TEST_F(FrameTest, NewAsksBeforeDroppingChangesAndACancelledSaveKeepsTheLoop)
{
    QTest::mouseClick(view().Cell(0, 0), Qt::LeftButton);
    // Cancel at the prompt.
    command(ID_LOOP_NEW).trigger();
    EXPECT_EQ(messages, QStringList{QString::fromLatin1(CRondoDoc::kMsgSavePrompt)});
    EXPECT_TRUE(doc().IsCellOn(0, 0));
    // Yes, then a cancelled Save As: the loop is not dropped.
    answers = {MsgResult::Yes};
    command(ID_LOOP_NEW).trigger();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].kind, FileKind::SaveLoop);
    EXPECT_EQ(dialogs[0].initialName, QDir::homePath() + QStringLiteral("/untitled"));
    EXPECT_TRUE(doc().IsCellOn(0, 0));
    EXPECT_TRUE(doc().m_bDirty);
    // Yes and a file: saved, then the new loop.
    answers = {MsgResult::Yes};
    chosenFiles = {TempPath("first.rlf")};
    command(ID_LOOP_NEW).trigger();
    EXPECT_TRUE(QFile::exists(TempPath("first.rlf")));
    EXPECT_FALSE(doc().IsCellOn(0, 0));
    EXPECT_EQ(frame().windowTitle(), QStringLiteral("Rondo"));
    // No: dropped without saving.
    QTest::mouseClick(view().Cell(1, 1), Qt::LeftButton);
    answers = {MsgResult::No};
    command(ID_LOOP_NEW).trigger();
    EXPECT_FALSE(doc().IsCellOn(1, 1));
    EXPECT_FALSE(doc().m_bDirty);
}

TEST_F(FrameTest, OpenSaveAndSaveAsRememberTheirFoldersApart)
{
    QDir(files.path()).mkpath("open");
    QDir(files.path()).mkpath("save");
    const QString saved = SaveLoop(*app, TempPath("open/beat.rlf"));
    ASSERT_FALSE(saved.isEmpty());
    answers = {MsgResult::No};
    command(ID_LOOP_NEW).trigger();

    command(ID_LOOP_OPEN).trigger();
    EXPECT_TRUE(messages.isEmpty()) << "an unchanged loop opens without a question";
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(dialogs[0].kind, FileKind::OpenLoop);
    // Nothing opened yet: the dialog starts among the shipped example loops.
    EXPECT_TRUE(QFileInfo(dialogs[0].initialName).dir().exists(QStringLiteral("Latin Groove.rlf")))
        << dialogs[0].initialName.toStdString();
    EXPECT_FALSE(doc().IsCellOn(5, 3)) << "a cancelled dialog changes nothing";
    chosenFiles = {saved};
    command(ID_LOOP_OPEN).trigger();
    EXPECT_TRUE(doc().IsCellOn(5, 3));
    EXPECT_EQ(frame().windowTitle(), QStringLiteral("beat - Rondo"));

    // Save writes the open file without a dialog.
    QTest::mouseClick(view().Cell(0, 9), Qt::LeftButton);
    command(ID_LOOP_SAVE).trigger();
    EXPECT_EQ(dialogs.size(), 2u);
    EXPECT_FALSE(doc().m_bDirty);

    // Save As starts where Save As saved last, not where Open opened (the
    // example loops' folder is not writable): the home folder at first.
    chosenFiles = {TempPath("save/copy.rlf")};
    command(ID_LOOP_SAVE_AS).trigger();
    EXPECT_EQ(dialogs.back().initialName, QDir::homePath() + QStringLiteral("/untitled"));
    command(ID_LOOP_SAVE_AS).trigger();
    EXPECT_EQ(dialogs.back().initialName, TempPath("save/untitled"));
    command(ID_LOOP_OPEN).trigger();
    EXPECT_EQ(dialogs.back().initialName, TempPath("open/untitled"));
    command(ID_EXPORT).trigger();
    EXPECT_EQ(dialogs.back().kind, FileKind::ExportMidi);
    EXPECT_EQ(dialogs.back().initialName, QDir::homePath() + QStringLiteral("/Your Title"))
        << "the loop title in the home folder, no folder yet";
}

TEST_F(FrameTest, ASaveOrExportOnAFullDiskSaysWhyAndLosesNothing)
{
    const QString loop = SaveLoop(*app, TempPath("kept.rlf"));
    ASSERT_FALSE(loop.isEmpty());
    ASSERT_TRUE(doc().LoadLoopFrom(loop) == CRondoDoc::LoadResult::Loaded);
    const QByteArray before = rondo_test::ReadFile(loop);
    ASSERT_TRUE(rondo_test::WriteFile(TempPath("kept.mid"), "the last export"));
    QTest::mouseClick(view().Cell(1, 1), Qt::LeftButton);
    ASSERT_TRUE(doc().m_bDirty);
    {
        // Room for a few dozen bytes: neither file fits.
        const rondo_test::ScopedFileSizeLimit full(64);
        command(ID_LOOP_SAVE).trigger();
        ASSERT_EQ(messages.size(), 1);
        EXPECT_TRUE(messages.back().contains(loop)) << messages.back().toStdString();
        EXPECT_TRUE(messages.back().contains(qt_error_string(EFBIG))) << messages.back().toStdString();
        chosenFiles = {TempPath("kept.mid")};
        command(ID_EXPORT).trigger();
        ASSERT_EQ(messages.size(), 2);
        EXPECT_TRUE(messages.back().contains(TempPath("kept.mid"))) << messages.back().toStdString();
    }
    EXPECT_TRUE(doc().m_bDirty) << "the changes are still unsaved";
    EXPECT_EQ(frame().windowTitle(), QStringLiteral("kept - Rondo"));
    EXPECT_EQ(rondo_test::ReadFile(loop), before);
    EXPECT_EQ(rondo_test::ReadFile(TempPath("kept.mid")), "the last export");
    EXPECT_EQ(rondo_test::FolderEntries(files.path()), QStringList({"kept.mid", "kept.rlf"}));
    command(ID_LOOP_SAVE).trigger();
    EXPECT_FALSE(doc().m_bDirty);
}

TEST_F(FrameTest, AnInvalidLoopFileIsReportedAndTheLoopKept)
{
    ASSERT_TRUE(rondo_test::WriteFile(TempPath("bad.rlf"), QByteArray(100, 'x')));
    QTest::mouseClick(view().Cell(2, 2), Qt::LeftButton);
    answers = {MsgResult::No};
    chosenFiles = {TempPath("bad.rlf")};
    command(ID_LOOP_OPEN).trigger();
    EXPECT_EQ(messages.back(), QString::fromLatin1(CRondoDoc::kMsgInvalidFile));
    EXPECT_TRUE(doc().IsCellOn(2, 2));
}

TEST_F(FrameTest, ClosingStopsPlaybackAndAsksUnlessThePreferenceSaysNot)
{
    view().OnStart();
    QTest::mouseClick(view().Cell(0, 0), Qt::LeftButton);
    EXPECT_FALSE(frame().close()) << "Cancel keeps the window open";
    EXPECT_TRUE(frame().isVisible());
    EXPECT_FALSE(doc().m_bPlaying) << "playback stopped all the same";
    EXPECT_TRUE(view().StartButton()->isEnabled());
    EXPECT_EQ(messages.size(), 1);

    doc().m_bNoSavePrompt = true;
    EXPECT_TRUE(frame().close());
    EXPECT_EQ(messages.size(), 1) << "no question with the preference set";
}

TEST_F(FrameTest, MenusAndToolbarCarryTheCommandsWithTheirKeysAndPrompts)
{
    QToolBar* pToolBar = frame().findChild<QToolBar*>();
    ASSERT_NE(pToolBar, nullptr);
    QStringList order;
    for (QAction* pAction : pToolBar->actions()) order << (pAction->isSeparator() ? QStringLiteral("|") : pAction->toolTip());
    EXPECT_EQ(order.join(u','), QStringLiteral("New,Open,Save,Export,|,Undo,Redo,|,Notes,Preferences,MIDI,Sound,|,Add Voice,Delete Voice,|,About"));
    for (QAction* pAction : pToolBar->actions())
        EXPECT_TRUE(pAction->isSeparator() || !pAction->icon().pixmap(16, 16).isNull()) << pAction->toolTip().toStdString();
    EXPECT_EQ(command(ID_EXPORT).statusTip(), QStringLiteral("Export as MIDI"));
    EXPECT_EQ(command(ID_EXPORT).shortcut(), QKeySequence(Qt::Key_F10));
    EXPECT_EQ(command(ID_SHIFT_LEFT).shortcuts(), (QList<QKeySequence>{QKeySequence(QStringLiteral("Ctrl+Left")), QKeySequence(Qt::Key_Left)}));
    EXPECT_EQ(command(ID_LOOP_SAVE).shortcut(), QKeySequence(QStringLiteral("Ctrl+S")));
    EXPECT_EQ(command(ID_MIDI).toolTip(), QStringLiteral("MIDI"));
    EXPECT_EQ(command(ID_SOUND).shortcut(), QKeySequence(Qt::Key_F5));

    // Hiding the status bar keeps the width and the row limits right.
    const int nMinHeight = frame().minimumHeight();
    frame().statusBar()->hide();
    QApplication::processEvents();
    EXPECT_LT(frame().minimumHeight(), nMinHeight);
    EXPECT_EQ(frame().maximumHeight() - frame().minimumHeight(), 8 * view().RowPitch());
}

TEST_F(FrameTest, HelpTopicsOpensTheShippedHelpPage)
{
    QUrl opened;
    std::function<void()> failLater;
    frame().m_openUrl = [&](const QUrl& url, const std::function<void()>& onFailed) {
        opened = url;
        failLater = onFailed;
        return true;
    };
    frame().Command(CMainFrame::ID_HELP_FINDER)->trigger();
    ASSERT_TRUE(opened.isLocalFile());
    QFile page(opened.toLocalFile());
    ASSERT_TRUE(page.open(QIODevice::ReadOnly)) << opened.toString().toStdString();
    EXPECT_TRUE(page.readAll().contains("Rondo"));

    EXPECT_FALSE(frame().PaneText(0).contains(QStringLiteral("could not be opened")));
    failLater();  // the browser never came
    EXPECT_TRUE(frame().PaneText(0).contains(QStringLiteral("could not be opened")));

    frame().SetPaneTextFit(0, QString());
    frame().m_openUrl = [](const QUrl&, const std::function<void()>&) { return false; };
    frame().Command(CMainFrame::ID_HELP_FINDER)->trigger();
    EXPECT_TRUE(frame().PaneText(0).contains(QStringLiteral("could not be opened")));
}

TEST_F(FrameTest, ALoopDrawnWithTheMousePlaysThroughTheBuiltInSynthesizer)
{
    const QString font = QStringLiteral("/usr/share/sounds/sf2/TimGM6mb.sf2");
    if (!QFile::exists(font)) GTEST_SKIP() << "no small sound font";
    app.reset();
    {
        // No sound card here: the synthesizer plays in real time into a file.
        CSettingsStore settings;
        ASSERT_TRUE(settings.OpenForApplication());
        settings.SetString("Synth", "SoundFont", font);
        settings.SetString("Synth", "AudioDriver", QStringLiteral("file"));
        settings.SetString("Synth", "AudioFile", TempPath("live.wav"));
    }
    app = std::make_unique<CRondoApp>();
    ASSERT_TRUE(app->InitInstance());

    QTest::mouseClick(view().Cell(0, 0), Qt::LeftButton);
    QTest::mouseClick(view().StartButton(), Qt::LeftButton);
    ASSERT_TRUE(doc().m_bPlaying) << frame().PaneText(0).toStdString();
    // The device reports the tempo at its first refill, a step after Start.
    EXPECT_TRUE(QTest::qWaitFor([&] { return frame().PaneText(1) == QStringLiteral("100 BPM"); }, 5000))
        << frame().PaneText(1).toStdString();
    QTest::mouseClick(view().StopButton(), Qt::LeftButton);
    EXPECT_FALSE(doc().m_bPlaying);

    const QByteArray wav = rondo_test::ReadFile(TempPath("live.wav"));
    ASSERT_GT(wav.size(), 44);
    int peak = 0;
    for (qsizetype at = 44; at + 2 <= wav.size(); at += 2)
        peak = std::max(peak, std::abs(int(int16_t(uint8_t(wav[at]) | uint8_t(wav[at + 1]) << 8))));
    EXPECT_GT(peak, 1000) << "the hit on the first beat sounds";
}
