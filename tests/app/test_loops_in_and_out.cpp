// Loops coming into the window and going out of it: the recent files of the
// File menu, files dropped on the window, and a loop dragged out of it.
#include "app/AppFixture.h"
#include "midi/SmfReader.h"
#include "settings/SettingsStore.h"
#include "view/Commands.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QToolBar>
#include <QUrl>

#include <cstring>

namespace {

class LoopsInAndOutTest : public AppTest
{
protected:
    // A loop of its own on disk, its first cell marking it.
    QString SaveLoop(const QString& name, int nBeat)
    {
        doc().ResetLoop();
        doc().m_cells[0][nBeat] = 1;
        const QString path = TempPath(name);
        EXPECT_TRUE(doc().SaveLoopTo(path));
        return path;
    }
    QStringList RecentTexts() const
    {
        QStringList texts;
        for (int n = 0; n < CMainFrame::kMaxRecent; ++n) {
            if (frame().RecentAction(n)->isVisible()) texts << frame().RecentAction(n)->text();
        }
        return texts;
    }
    void Drop(const QList<QUrl>& urls)
    {
        QMimeData data;
        data.setUrls(urls);
        // As the window system delivers a drop: the drag enters, then drops.
        QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&frame(), &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&frame(), &drop);
        QApplication::processEvents();
    }
};

} // namespace

TEST_F(LoopsInAndOutTest, TheLastFourLoopsOpenedOrSavedAreInTheFileMenuAcrossARestart)
{
    EXPECT_TRUE(RecentTexts().isEmpty());
    SaveLoop("a.rlf", 1);
    const QString b = SaveLoop("b.rlf", 2), c = SaveLoop("c & d.rlf", 3),
                  d = SaveLoop("d.rlf", 4), e = SaveLoop("e.rlf", 5);
    EXPECT_EQ(RecentTexts(), (QStringList{"&1 e.rlf", "&2 d.rlf", "&3 c && d.rlf", "&4 b.rlf"}));
    EXPECT_EQ(frame().RecentAction(2)->statusTip(), QStringLiteral("Open ") + c);

    // Opening one moves it to the top; a restart keeps the list.
    ASSERT_EQ(doc().LoadLoopFrom(b), CRondoDoc::LoadResult::Loaded);
    Start();
    EXPECT_EQ(RecentTexts(), (QStringList{"&1 b.rlf", "&2 e.rlf", "&3 d.rlf", "&4 c && d.rlf"}));

    // Choosing an entry opens that loop, with the save prompt first.
    doc().m_cells[5][5] = 1;
    doc().m_bDirty = true;
    answers = {IRondoView::MsgResult::No};
    frame().RecentAction(2)->trigger();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0], QString::fromLatin1(CRondoDoc::kMsgSavePrompt));
    EXPECT_EQ(doc().m_strFilePath, d);
    EXPECT_TRUE(doc().IsCellOn(0, 4));
    EXPECT_EQ(RecentTexts().front(), QStringLiteral("&1 d.rlf"));

    // One that was deleted meanwhile is taken off, and the user told.
    ASSERT_TRUE(QFile::remove(e));
    frame().RecentAction(2)->trigger();
    ASSERT_EQ(messages.size(), 2);
    EXPECT_TRUE(messages[1].contains(QStringLiteral("is no longer there"))) << messages[1].toStdString();
    EXPECT_EQ(RecentTexts(), (QStringList{"&1 d.rlf", "&2 b.rlf", "&3 c && d.rlf"}));
    EXPECT_EQ(doc().m_strFilePath, d);

    // Like Open, not while the loop plays.
    QTest::mouseClick(view().StartButton(), Qt::LeftButton);
    EXPECT_FALSE(frame().RecentAction(1)->isEnabled());
    QTest::mouseClick(view().StopButton(), Qt::LeftButton);
    EXPECT_TRUE(frame().RecentAction(1)->isEnabled());
}

TEST_F(LoopsInAndOutTest, ADroppedLoopOpensAndAnythingElseSaysWhyNot)
{
    const QString loop = SaveLoop("dropped.rlf", 7);
    doc().ResetLoop();
    Drop({QUrl::fromLocalFile(loop)});
    EXPECT_EQ(doc().m_strFilePath, loop);
    EXPECT_TRUE(doc().IsCellOn(0, 7));
    EXPECT_TRUE(messages.isEmpty());

    ASSERT_TRUE(rondo_test::WriteFile(TempPath("song.mid"), "MThd"));
    Drop({QUrl::fromLocalFile(TempPath("song.mid"))});
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages.back(), QStringLiteral("%1 cannot be opened: Rondo opens its own loop files (.rlf). A MIDI file "
                                              "goes into your sequencer.")
                                   .arg(TempPath("song.mid")));
    Drop({QUrl::fromLocalFile(loop), QUrl::fromLocalFile(loop)});
    EXPECT_EQ(messages.back(), QStringLiteral("Rondo opens one loop at a time: drop a single .rlf file."));
    Drop({QUrl(QStringLiteral("https://example.com/beat.rlf"))});
    EXPECT_TRUE(messages.back().endsWith(QStringLiteral("cannot be opened: Rondo opens loop files on this computer only.")));

    // Unsaved changes get the prompt; Cancel keeps them.
    doc().m_cells[3][3] = 1;
    doc().m_bDirty = true;
    answers = {IRondoView::MsgResult::Cancel};
    Drop({QUrl::fromLocalFile(loop)});
    EXPECT_EQ(messages.back(), QString::fromLatin1(CRondoDoc::kMsgSavePrompt));
    EXPECT_TRUE(doc().IsCellOn(3, 3));

    // While the loop plays, Open waits.
    doc().m_bDirty = false;
    QTest::mouseClick(view().StartButton(), Qt::LeftButton);
    Drop({QUrl::fromLocalFile(loop)});
    EXPECT_EQ(messages.back(), QStringLiteral("Stop the loop before you open %1.").arg(loop));
    QTest::mouseClick(view().StopButton(), Qt::LeftButton);
}

TEST_F(LoopsInAndOutTest, ALoopDraggedOutIsAMidiFileNamedAfterItsTitle)
{
    doc().m_strLoopTitle = "Funk: take 2";
    doc().m_cells[0][0] = doc().m_cells[1][4] = 1;
    std::unique_ptr<QMimeData> pData(frame().MakeLoopDragData());
    ASSERT_NE(pData, nullptr);
    doc().BuildMidiFile(false);
    const QByteArray exported(reinterpret_cast<const char*>(doc().m_midiFile), doc().m_nDocSize);

    ASSERT_EQ(pData->urls().size(), 1);
    const QString path = pData->urls().front().toLocalFile();
    EXPECT_EQ(QFileInfo(path).fileName(), QStringLiteral("Funk_ take 2.mid"));
    EXPECT_EQ(rondo_test::ReadFile(path), exported) << "the same bytes as Export";
    EXPECT_EQ(pData->data(QStringLiteral("audio/midi")), exported);
    const smf::File file = smf::Parse(std::vector<uint8_t>(exported.begin(), exported.end()));
    EXPECT_TRUE(file.error.empty()) << file.error;
    EXPECT_EQ(file.tracks, 2);

    // The toolbar's Export button starts it, and still exports on a click.
    QWidget* pExport = nullptr;
    for (QToolBar* pBar : frame().findChildren<QToolBar*>()) pExport = pBar->widgetForAction(&command(ID_EXPORT));
    ASSERT_NE(pExport, nullptr);
    EXPECT_EQ(pExport->toolTip(), QStringLiteral("Export (or drag the loop out as a MIDI file; with Ctrl, as audio)"));
    chosenFiles.push_back(QString());
    QTest::mouseClick(pExport, Qt::LeftButton);
    ASSERT_FALSE(dialogs.empty());
    EXPECT_EQ(dialogs.back().kind, IRondoView::FileKind::ExportMidi);
}
