// Every writer of the program on a file system that gives out after each
// length in turn: the write reports the failure, the old file stays exactly
// as it was and nothing is left beside it. Then, given room, it succeeds.
#include "doc/DocFixture.h"
#include "midiout/AudioFileWriter.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <functional>
#include <vector>

using rondo_test::FolderEntries;
using rondo_test::ReadFile;
using rondo_test::ScopedFileSizeLimit;
using rondo_test::WriteFile;

namespace {

// Runs write at each limit below nFull (every nStep bytes), expecting it to
// fail and to change nothing in folder; then without a limit, expecting
// success.
void FailAtEveryLength(const QString& folder, qsizetype nFull, qsizetype nStep, const std::function<bool()>& write,
                       const std::function<void(unsigned long long)>& checkFailed)
{
    const QStringList entries = FolderEntries(folder);
    std::vector<QByteArray> before;
    for (const QString& name : entries) before.push_back(ReadFile(folder + '/' + name));
    for (qsizetype limit = 0; limit < nFull; limit += nStep) {
        bool bWritten = true;
        {
            const ScopedFileSizeLimit full(static_cast<unsigned long long>(limit));
            bWritten = write();
        }
        ASSERT_FALSE(bWritten) << "limit " << limit;
        ASSERT_EQ(FolderEntries(folder), entries) << "limit " << limit;
        for (size_t i = 0; i < before.size(); ++i)
            ASSERT_EQ(ReadFile(folder + '/' + entries[qsizetype(i)]), before[i]) << entries[qsizetype(i)].toStdString();
        checkFailed(static_cast<unsigned long long>(limit));
    }
    EXPECT_TRUE(write()) << "with room for all of it";
}

} // namespace

class WriteFailureTest : public DocTest
{
};

TEST_F(WriteFailureTest, ASaveThatFailsKeepsTheOldLoopTheChangesAndTheTitle)
{
    ASSERT_TRUE(doc->SaveLoopTo(TempPath("groove.rlf")));
    doc->m_cells[3][5] = 1;
    doc->m_bDirty = true;
    FailAtEveryLength(
        files.path(), 1472, 1, [&] { return doc->SaveLoopFile(); },
        [&](unsigned long long limit) {
            EXPECT_TRUE(doc->m_bDirty) << limit;
            EXPECT_EQ(view->m_strTitle, "groove - Rondo");
            EXPECT_TRUE(view->m_messages.last().contains(TempPath("groove.rlf"))) << view->m_messages.last().toStdString();
            EXPECT_TRUE(view->m_messages.last().contains(qt_error_string(EFBIG)));
        });
    EXPECT_FALSE(doc->m_bDirty);
    EXPECT_EQ(ReadFile(TempPath("groove.rlf"))[268 + 4 * (16 * 3 + 5)], 1);

    // Save As to a new name: the file appears whole or not at all.
    FailAtEveryLength(
        files.path(), 1472, 7, [&] { return doc->SaveLoopTo(TempPath("copy.rlf")); },
        [&](unsigned long long) { EXPECT_EQ(doc->m_strFilePath, TempPath("groove.rlf")); });
    EXPECT_EQ(ReadFile(TempPath("copy.rlf")).size(), 1472);
}

TEST_F(WriteFailureTest, AnExportThatFailsKeepsTheOldFile)
{
    ASSERT_TRUE(WriteFile(TempPath("beat.mid"), "the previous export"));
    doc->m_cells[0][0] = 1;
    doc->BuildMidiFile(false);
    FailAtEveryLength(
        files.path(), doc->m_nDocSize, 1, [&] { return doc->ExportTo(TempPath("beat.mid")); },
        [&](unsigned long long) {
            EXPECT_TRUE(view->m_messages.last().contains(TempPath("beat.mid")));
            EXPECT_TRUE(view->m_messages.last().contains(qt_error_string(EFBIG)));
        });
    EXPECT_EQ(ReadFile(TempPath("beat.mid")), QByteArray(reinterpret_cast<const char*>(doc->m_midiFile), doc->m_nDocSize));
}

TEST_F(WriteFailureTest, AWavFileThatCannotBeCompletedNeverReplacesTheOldOne)
{
    ASSERT_TRUE(WriteFile(TempPath("take.wav"), QByteArray(5000, 'w')));
    std::vector<float> left(1000, 0.25f), right(1000, -0.25f);
    const auto write = [&] {
        CAudioFileWriter wav;
        if (!wav.Open(TempPath("take.wav"), 44100)) return false;
        // Whatever fails, the render goes on and only Close tells.
        for (int block = 0; block < 4; ++block) wav.Append(left.data(), right.data(), 250);
        return wav.Close();
    };
    FailAtEveryLength(files.path(), 44 + 4000, 13, write, [](unsigned long long) {});
    EXPECT_EQ(ReadFile(TempPath("take.wav")).size(), 4044);
}

TEST_F(WriteFailureTest, APreferenceThatCannotBeWrittenKeepsTheFileAsItWas)
{
    ASSERT_TRUE(settings.SetString("Prefs", "Composer", "Jo"));
    const QString folder = QFileInfo(settings.FilePath()).path();
    const QString longer(200, u'x');
    // The section is there: the file grows by one line.
    const qsizetype nFull = ReadFile(settings.FilePath()).size() + qsizetype(sizeof "Company=\n") - 1 + longer.size();
    FailAtEveryLength(
        folder, nFull, 5, [&] { return settings.SetString("Prefs", "Company", longer); },
        [&](unsigned long long) { EXPECT_EQ(settings.GetString("Prefs", "Composer", "?"), "Jo"); });
    EXPECT_EQ(settings.GetString("Prefs", "Company", "?"), longer);
    EXPECT_EQ(settings.GetString("Prefs", "Composer", "?"), "Jo");
}

TEST_F(WriteFailureTest, AFirstStartWhoseImportFailsLeavesNoPreferencesAndImportsNextTime)
{
    // The fixture's store lives elsewhere: this is a first start.
    const QByteArray company(300, 'c');
    ASSERT_TRUE(WriteFile(CSettingsStore::LegacyIniPath(), "[Prefs]\nComposer=Imported\nCompany=" + company + "\n[Doc]\nChannel=4\n"));
    const QString home = dirs.ConfigHome() + "/first";
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home));
    ASSERT_TRUE(QDir().mkpath(home + "/Quillon Software"));
    FailAtEveryLength(
        home + "/Quillon Software", 340, 1,
        [] {
            CSettingsStore store;
            return store.OpenForApplication();
        },
        [&](unsigned long long) { EXPECT_FALSE(QFileInfo::exists(home + "/Quillon Software/Rondo.ini")); });
    CSettingsStore store;
    store.PlaceForApplication();
    EXPECT_EQ(store.GetString("Prefs", "Composer", "?"), "Imported");
    EXPECT_EQ(store.GetInt("Doc", "Channel", 9), 4);
}
