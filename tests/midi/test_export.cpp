#include "doc/DocFixture.h"
#include "midi/SmfReader.h"

#include <QProcess>
#include <QStandardPaths>

using rondo_test::ReadFile;

class ExportTest : public DocTest
{
};

TEST_F(ExportTest, InitialNameIsTheTitleInTheRememberedFolderOrTheHomeFolder)
{
    // Never where a loop was opened: the example loops' folder is not writable.
    struct Case { QString folder; std::string title; QString expected; };
    const QString home = QDir::homePath();
    const Case cases[] = {
        {"", "Groove 1", home + "/Groove 1"},
        {"", "", home + "/untitled"},
        {"/loops", "", "/loops/untitled"},
        {"/loops", "Caf\xE9", QString::fromUtf8("/loops/Café")},
    };
    for (const Case& c : cases) {
        settings.SetString("Export", "DirPath", c.folder);
        doc->m_strLoopTitle = c.title;
        EXPECT_EQ(doc->ExportInitialName(), c.expected);
    }
}

TEST_F(ExportTest, ExportWritesTheImageAndRemembersTheFolder)
{
    doc->m_cells[0][0] = 1;
    std::optional<QString> answer;
    view->m_onChooseFile = [&](IRondoView::FileKind kind, const QString&) {
        EXPECT_EQ(kind, IRondoView::FileKind::ExportMidi);
        return answer;
    };
    doc->ExportMidiFile();  // cancelled: built, nothing remembered
    EXPECT_GT(doc->m_nDocSize, 0);
    EXPECT_EQ(settings.GetString("Export", "DirPath", "?"), "?");

    answer = TempPath("beat.mid");
    doc->ExportMidiFile();
    const QByteArray written = ReadFile(TempPath("beat.mid"));
    EXPECT_EQ(written.size(), doc->m_nDocSize);
    EXPECT_EQ(written, QByteArray(reinterpret_cast<const char*>(doc->m_midiFile), doc->m_nDocSize));
    EXPECT_EQ(settings.GetString("Export", "DirPath", "?"), files.path());

    EXPECT_FALSE(doc->ExportTo(TempPath("missing/beat.mid")));
    EXPECT_TRUE(view->m_messages.last().contains("could not be written"));
}

// An independent reader must accept what we export.
TEST_F(ExportTest, ExportedFilesReadCleanlyWithMidicsv)
{
    const QString midicsv = QStandardPaths::findExecutable("midicsv");
    ASSERT_FALSE(midicsv.isEmpty()) << "midicsv is not installed (scripts/install-deps installs it)";

    struct Loop { std::vector<std::pair<int, int>> cells; bool progChange; int bpm; };
    const Loop loops[] = {
        {{}, true, 100},
        {{{0, 0}, {0, 4}, {0, 8}, {0, 12}, {1, 4}, {1, 12}, {2, 0}, {2, 2}, {2, 4}, {2, 6}}, true, 120},
        {{{11, 15}, {5, 7}}, false, 40},
        {{{3, 0}}, true, 200},
    };
    int n = 0;
    for (const Loop& loop : loops) {
        doc->ResetLoop();
        doc->m_bProgChgExport = loop.progChange;
        doc->m_nBPM = loop.bpm;
        doc->m_strComposer = "J\xF6rg";
        for (auto [v, s] : loop.cells) doc->m_cells[v][s] = 1;
        doc->BuildMidiFile(false);
        const QString path = TempPath(QString("loop%1.mid").arg(n++));
        ASSERT_TRUE(doc->WriteMidiImage(path));

        QProcess p;
        p.start(midicsv, {path});
        ASSERT_TRUE(p.waitForFinished(10000));
        const QString out = QString::fromLatin1(p.readAllStandardOutput());
        const QString err = QString::fromLatin1(p.readAllStandardError());
        EXPECT_EQ(p.exitCode(), 0) << err.toStdString();
        EXPECT_TRUE(err.isEmpty()) << err.toStdString();
        EXPECT_TRUE(out.contains("0, 0, Header, 1, 2, 120")) << out.toStdString();
        EXPECT_TRUE(out.contains(QString("1, 0, Tempo, %1").arg(60000000 / loop.bpm))) << out.toStdString();
        EXPECT_TRUE(out.contains("2, 480, End_track")) << out.toStdString();
        EXPECT_EQ(out.contains("Program_c"), loop.progChange);
        EXPECT_EQ(out.count(", Note_on_c, 9, "), 2 * static_cast<int>(loop.cells.size()));
        for (auto [v, s] : loop.cells)
            EXPECT_TRUE(out.contains(QString("2, %1, Note_on_c, 9, %2, 100").arg(30 * s).arg(50 + 2 * v)));
    }
}
