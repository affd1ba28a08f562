#include "settings/Ansi.h"
#include "settings/SettingsStore.h"

#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <functional>

#include <gtest/gtest.h>

#include <climits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace rondo_test;

namespace {

const QString kKey = QStringLiteral("Quillon Software/Rondo");
const QString kNone = QStringLiteral("<none>");

CSettingsStore Imported(const ScopedConfigDirs& dirs, const QByteArray& ini)
{
    CSettingsStore store;
    EXPECT_TRUE(store.Open(QString(), kKey));
    EXPECT_TRUE(WriteFile(dirs.SystemDir() + "/in.ini", ini));
    store.ImportIniFile(dirs.SystemDir() + "/in.ini");
    return store;
}

// Standard error, as the program's own lines reach it, while it lives.
class CapturedStderr
{
public:
    CapturedStderr() : m_saved(::dup(2))
    {
        const int fd = ::open(QFile::encodeName(m_dir.filePath("err")).constData(), O_WRONLY | O_CREAT, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~CapturedStderr() { Restore(); }
    QString Text()
    {
        Restore();
        return QString::fromUtf8(ReadFile(m_dir.filePath("err")));
    }

private:
    void Restore()
    {
        if (m_saved < 0) return;
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }
    QTemporaryDir m_dir;
    int m_saved;
};

bool MakeFifo(const QString& path)
{
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

} // namespace

TEST(SettingsStore, OpenCreatesFileOnceWhereTheEnvironmentSays)
{
    for (int i = 0; i < 2; ++i) { // a second home proves the location is not cached
        ScopedConfigDirs dirs;
        CSettingsStore store, again;
        bool bCreated = false;
        EXPECT_TRUE(store.Open(QString(), kKey, &bCreated));
        EXPECT_TRUE(bCreated);
        EXPECT_EQ(store.FilePath(), dirs.StoreFile());
        ASSERT_TRUE(store.SetInt("Prefs", "Tempo", 120));
        EXPECT_TRUE(again.Open(QString(), kKey, &bCreated));
        EXPECT_FALSE(bCreated);
        EXPECT_EQ(again.GetInt("Prefs", "Tempo", 0), 120);
        EXPECT_EQ(CSettingsStore::LegacyIniPath(), dirs.SystemDir() + "/Rondo.INI");
    }
    ScopedConfigDirs dirs;
    qunsetenv("XDG_CONFIG_HOME");
    qunsetenv("XDG_CONFIG_DIRS");
    EXPECT_EQ(CSettingsStore::DefaultRoot(), QDir::homePath() + "/.config");
    EXPECT_EQ(CSettingsStore::LegacyIniPath(), "/etc/xdg/Rondo.INI");
}

TEST(SettingsStore, ReadsDefaultsWithoutCreatingAnything)
{
    ScopedConfigDirs dirs;
    CSettingsStore store;
    ASSERT_TRUE(store.Open(QString(), kKey));
    const QString dir = QFileInfo(dirs.StoreFile()).path();
    ASSERT_TRUE(QDir(dir).removeRecursively());
    EXPECT_EQ(store.GetInt("Prefs", "Tempo", 42), 42);
    EXPECT_EQ(store.GetString("Prefs", "Name", kNone), kNone);
    EXPECT_FALSE(QFileInfo::exists(dir));
}

TEST(SettingsStore, TheCommandLinesPlaceCreatesNothingUntilAWrite)
{
    ScopedConfigDirs dirs;
    ASSERT_TRUE(WriteFile(CSettingsStore::LegacyIniPath(), "[Prefs]\nComposer=Legacy\n"));
    CSettingsStore store;
    store.PlaceForApplication();
    EXPECT_EQ(store.FilePath(), dirs.StoreFile());
    EXPECT_EQ(store.GetString("Prefs", "Composer", kNone), kNone) << "no import either";
    EXPECT_TRUE(FolderEntries(dirs.ConfigHome()).isEmpty());
    ASSERT_TRUE(store.SetString("Prefs", "Company", "Ours"));
    EXPECT_EQ(FolderEntries(dirs.ConfigHome() + "/Quillon Software"), QStringList{"Rondo.ini"}) << "the lock is gone";
}

TEST(SettingsStore, WhatIsNoSmallRegularFileIsPassedOverOnceAndNeverReplaced)
{
    ScopedConfigDirs dirs;
    const QString file = dirs.StoreFile();
    ASSERT_TRUE(QDir().mkpath(QFileInfo(file).path()));
    const auto unreadable = [&](const char* kind) {
        CapturedStderr err;
        CSettingsStore store;
        EXPECT_FALSE(store.Open(QString(), kKey)) << kind;
        for (int i = 0; i < 3; ++i) EXPECT_EQ(store.GetInt("Doc", "Channel", 9), 9) << kind;
        EXPECT_FALSE(store.SetInt("Doc", "Channel", 3)) << kind;
        const QString text = err.Text();
        EXPECT_EQ(text.count(file), 1) << kind << ": " << text.toStdString();
        EXPECT_TRUE(text.startsWith("rondo: ")) << text.toStdString();
    };
    // Once per run and file: each kind gets a file of its own name.
    ASSERT_TRUE(MakeFifo(file));
    unreadable("a FIFO, which would wait for a writer");
    struct stat st{};
    ASSERT_EQ(::lstat(QFile::encodeName(file).constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "still the FIFO";
    ASSERT_TRUE(QFile::remove(file));

    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dirs.ConfigHome() + "/zero"));
    const QString zero = dirs.ConfigHome() + "/zero/Quillon Software/Rondo.ini";
    ASSERT_TRUE(QDir().mkpath(QFileInfo(zero).path()));
    ASSERT_TRUE(QFile::link("/dev/zero", zero));
    {
        CSettingsStore store;
        store.PlaceForApplication();
        CapturedStderr err;
        EXPECT_EQ(store.GetString("Prefs", "Composer", kNone), kNone);
        EXPECT_FALSE(store.SetString("Prefs", "Composer", "x"));
        EXPECT_TRUE(err.Text().contains("not a regular file"));
    }
    EXPECT_TRUE(QFileInfo(zero).isSymLink());

    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dirs.ConfigHome() + "/large"));
    const QString large = dirs.ConfigHome() + "/large/Quillon Software/Rondo.ini";
    ASSERT_TRUE(QDir().mkpath(QFileInfo(large).path()));
    ASSERT_TRUE(WriteFile(large, "[Prefs]\nComposer=Jo\n" + QByteArray(CSettingsStore::kMaxFileSize, ';')));
    {
        CSettingsStore store;
        store.PlaceForApplication();
        CapturedStderr err;
        EXPECT_EQ(store.GetString("Prefs", "Composer", kNone), kNone);
        EXPECT_FALSE(store.SetString("Prefs", "Composer", "x")) << "a write would drop the rest of the file";
        EXPECT_TRUE(err.Text().contains("larger than"));
    }
    EXPECT_EQ(QFileInfo(large).size(), CSettingsStore::kMaxFileSize + 20);
}

TEST(SettingsStore, TheFirstStartImportsOnlyASmallRegularLegacyFile)
{
    ScopedConfigDirs dirs;
    QString legacy;
    struct Case { const char* kind; std::function<bool()> make; };
    const Case cases[] = {
        {"FIFO", [&] { return MakeFifo(legacy); }},
        {"link to /dev/zero", [&] { return QFile::link("/dev/zero", legacy); }},
        {"too large", [&] { return WriteFile(legacy, "[Prefs]\nComposer=Jo\n" + QByteArray(CSettingsStore::kMaxFileSize, 'x')); }},
    };
    for (const Case& c : cases) {
        // A folder of its own each time: a file passed over is said once a run.
        const QString folder = dirs.SystemDir() + '/' + QString::fromLatin1(c.kind);
        ASSERT_TRUE(QDir().mkpath(folder));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(folder));
        legacy = CSettingsStore::LegacyIniPath();
        QFile::remove(dirs.StoreFile());
        ASSERT_TRUE(c.make()) << c.kind;
        CapturedStderr err;
        CSettingsStore store;
        EXPECT_TRUE(store.OpenForApplication()) << c.kind;
        EXPECT_EQ(store.GetString("Prefs", "Composer", kNone), kNone) << c.kind;
        EXPECT_EQ(ReadFile(dirs.StoreFile()), "") << c.kind << ": the store starts empty";
        EXPECT_TRUE(err.Text().contains(legacy)) << c.kind;
    }

    // The usual first start, then a second that does not import again.
    QFile::remove(legacy);
    QFile::remove(dirs.StoreFile());
    ASSERT_TRUE(WriteFile(legacy, "[Prefs]\nComposer=First\n"));
    CSettingsStore first;
    ASSERT_TRUE(first.OpenForApplication());
    EXPECT_EQ(first.GetString("Prefs", "Composer", kNone), "First");
    ASSERT_TRUE(WriteFile(legacy, "[Prefs]\nComposer=Changed\n"));
    CSettingsStore second;
    ASSERT_TRUE(second.OpenForApplication());
    EXPECT_EQ(second.GetString("Prefs", "Composer", kNone), "First");
}

TEST(SettingsStore, WriteFailureIsReported)
{
    ScopedConfigDirs dirs; // root ignores permissions, so block the path with a file
    ASSERT_TRUE(WriteFile(dirs.ConfigHome() + "/file", "x"));
    CSettingsStore store;
    bool bCreated = true;
    EXPECT_FALSE(store.Open(dirs.ConfigHome() + "/file/below", kKey, &bCreated));
    EXPECT_FALSE(bCreated);
    EXPECT_EQ(store.FilePath(), dirs.ConfigHome() + "/file/below/" + kKey + ".ini");
    EXPECT_FALSE(store.SetInt("Prefs", "Tempo", 1));
    EXPECT_FALSE(store.SetString("Prefs", "Name", "x"));
    EXPECT_FALSE(CSettingsStore().SetInt("Prefs", "Tempo", 1)); // never opened
}

TEST(SettingsStore, ValuesRoundTripAsText)
{
    ScopedConfigDirs dirs;
    CSettingsStore store;
    ASSERT_TRUE(store.Open(QString(), kKey));
    const QString fits(259, 'a'), wideFits = QString(129, QChar(0xE9)) + "a";
    const QString values[] = {"a, b,c", QString::fromUtf8("Zoë \"Jo\""), fits, wideFits};
    for (const QString& v : values) {
        ASSERT_TRUE(store.SetString("Prefs", "Text", v));
        EXPECT_EQ(store.GetString("Prefs", "Text", kNone), v);
    }
    ASSERT_TRUE(store.SetInt("Prefs", "Swing", -1));
    EXPECT_EQ(store.GetString("Prefs", "Swing", kNone), "-1");
    EXPECT_FALSE(store.SetString("Prefs", "", "nameless"));
    ASSERT_TRUE(store.SetInt("", "Tempo", 9));
    EXPECT_TRUE(ReadFile(dirs.StoreFile()).contains("Tempo=9\n"));
    // 260 bytes and more, counted in UTF-8, no longer fit the value buffer.
    for (const QString& v : {QString(260, 'a'), QString(300, 'a'), QString(130, QChar(0xE9)), "7" + QString(259, '0')}) {
        ASSERT_TRUE(store.SetString("Prefs", "Text", v));
        EXPECT_EQ(store.GetString("Prefs", "Text", kNone), kNone);
        EXPECT_EQ(store.GetInt("Prefs", "Text", 3), 3);
    }
    ASSERT_TRUE(WriteFile(dirs.StoreFile(), "[Prefs]\nList=a,b, c\nNumber=12abc\n"));
    EXPECT_EQ(store.GetString("Prefs", "List", kNone), "a, b, c");
    EXPECT_EQ(store.GetInt("Prefs", "Number", 0), 12);
}

TEST(SettingsStore, TextsKeepEveryCharacterAndStayReadableByQSettings)
{
    ScopedConfigDirs dirs;
    CSettingsStore store;
    ASSERT_TRUE(store.Open(QString(), kKey));
    const QString texts[] = {"@home",          "@@twice",    "\"Jo\", Ltd",   " lead",         "trail ",
                             "semi;colon = x", "C:\\loops\\", "tab\tnew\nline", QString(QChar(1)) + "2F",
                             QString::fromUtf8("Zo\u00eb \U0001F941"), "@Variant(\\0)"};
    for (const QString& text : texts) {
        ASSERT_TRUE(store.SetString("Prefs", "Composer", text));
        EXPECT_EQ(store.GetString("Prefs", "Composer", kNone), text);
        // The file stays what QSettings itself reads and writes.
        EXPECT_EQ(QSettings(dirs.StoreFile(), QSettings::IniFormat).value("Prefs/Composer").toString(), text);
    }
    ASSERT_TRUE(store.SetString("General", "Odd/Key", "x"));
    {
        QSettings written(dirs.StoreFile(), QSettings::IniFormat);
        EXPECT_EQ(written.value("General/Odd/Key").toString(), "x");
        for (size_t i = 0; i < std::size(texts); ++i) written.setValue(QStringLiteral("Prefs/%1 k").arg(i), texts[i]);
    }
    for (size_t i = 0; i < std::size(texts); ++i)
        EXPECT_EQ(store.GetString("Prefs", QStringLiteral("%1 k").arg(i), kNone), texts[i]);
}

TEST(SettingsStore, SerializedObjectsInTheFileAreNeverDecoded)
{
    // Found by fuzzing: decoding this value asked for tens of gigabytes.
    ScopedConfigDirs dirs;
    CSettingsStore store;
    ASSERT_TRUE(store.Open(QString(), kKey));
    ASSERT_TRUE(WriteFile(dirs.StoreFile(),
                          "[Prefs]\nComposer=Jo\n"
                          "LoopTitle=@DateTime(\\0\\0\\0\\xb\\0g\\0\\x61\\0i\\0n\\0\\0\\0\\x6?\\xe0\\0\\0\\0\\0\\o0\\0)\n"
                          "Company=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\xff\\xff\\xff\\xff)\n"
                          "[Doc]\nChannel=@Rect(1 2 3 4)\nInstrument=@ByteArray(12)\nSave=@@1\n"));
    EXPECT_EQ(store.GetString("Prefs", "LoopTitle", kNone), kNone);
    EXPECT_EQ(store.GetString("Prefs", "Company", kNone), kNone);
    EXPECT_EQ(store.GetInt("Doc", "Channel", 9), 9);
    EXPECT_EQ(store.GetInt("Doc", "Instrument", 0), 12);
    EXPECT_EQ(store.GetString("Doc", "Save", kNone), "@1");
    // Writing keeps the readable values and drops the others.
    ASSERT_TRUE(store.SetInt("Doc", "Channel", 3));
    EXPECT_EQ(store.GetString("Prefs", "Composer", kNone), "Jo");
    EXPECT_EQ(store.GetInt("Doc", "Channel", 9), 3);
    EXPECT_FALSE(ReadFile(dirs.StoreFile()).contains("@DateTime"));
}

TEST(SettingsStore, ParseIntReadsLikeScanfDecimal)
{
    const std::pair<const char*, int> cases[] = {
        {"12abc", 12}, {"-1", -1}, {" +7", 7}, {"\t\n\v\f\r5", 5}, {"abc", -99}, {"-", -99}, {"", -99},
        {"+-5", -99}, {"\u0663", -99}, {"\u00A05", -99}, {"-2147483648", INT_MIN}, {"2147483648", INT_MIN},
        // Past 32 bits the low bits of strtol's 64-bit result remain.
        {"4294967305", 9}, {"-4294967295", 1}, {"99999999999999999999", -1}, {"-99999999999999999999", 0}};
    for (const auto& [text, nExpected] : cases)
        EXPECT_EQ(CSettingsStore::ParseInt(QString::fromUtf8(text), -99), nExpected) << text;
}

TEST(SettingsStore, ImportsLegacyIni)
{
    ScopedConfigDirs dirs;
    const char ini[] = "Early=dropped\n[Prefs]\r\nComposer = Jo\r\n=x\nExpr=a=b\n; note\n[Prefs] x\nLatin=Caf\xE9\n"
                       "[Half]open]\nEuro=\x80 5\nUtf8=Caf\xC3\xA9\nNul=ab\0cd\n[ Other ]\nKey=v \t\n[]\nTop=t\n";
    const CSettingsStore store = Imported(dirs, QByteArray(ini, sizeof(ini) - 1));
    const std::pair<const char*, QString> expected[] = {
        {"Composer ", " Jo"}, {"Expr", "a=b"}, {"Latin", QString::fromUtf8("Café")},
        {"Euro", QString::fromUtf8("€ 5")}, {"Utf8", QString::fromUtf8("Café")}, {"Nul", "ab"}};
    for (const auto& [name, value] : expected)
        EXPECT_EQ(store.GetString("Prefs", name, kNone), value) << name;
    EXPECT_EQ(store.GetString("Other", "Key", kNone), "v");
    EXPECT_EQ(store.GetString("", "Top", kNone), "t");
    EXPECT_EQ(store.GetString("", "Early", kNone), kNone);
    EXPECT_EQ(store.GetString("Prefs", "Early", kNone), kNone);
}

TEST(SettingsStore, ImportReadsLongLinesInPieces)
{
    ScopedConfigDirs dirs; // 600 bytes: the first piece ends after 519, just before "B="
    const QByteArray first = "A=" + QByteArray(517, 'a'), second = "B=" + QByteArray(79, 'b');
    const CSettingsStore store = Imported(dirs, "[Prefs]\n" + first + second + "\nC=c\n");
    EXPECT_TRUE(ReadFile(dirs.StoreFile()).contains(first.mid(2)));
    EXPECT_EQ(store.GetString("Prefs", "B", kNone), second.mid(2));
    EXPECT_EQ(store.GetString("Prefs", "C", kNone), "c");
}

TEST(SettingsStore, ImportSplitsALineOfAMegabyteIntoPieces)
{
    // The longest line a legacy file within the bound can hold.
    ScopedConfigDirs dirs;
    const qsizetype n = CSettingsStore::kMaxFileSize - 32;
    QByteArray line = "A=" + QByteArray(n, 'a');
    // Piece 1000 reads as a line "a…a=aaa…": 500 bytes of name, 18 of value.
    line[CSettingsStore::kIniPieceSize * 1000 + 500] = '=';
    const CSettingsStore store = Imported(dirs, "[Prefs]\n" + line + "\nLast=l\n");
    EXPECT_EQ(store.GetString("Prefs", "A", kNone), kNone) << "517 bytes do not fit a value";
    EXPECT_EQ(store.GetString("Prefs", QString(500, u'a'), kNone), QString(18, u'a'));
    EXPECT_EQ(store.GetString("Prefs", "Last", kNone), "l");
}

TEST(SettingsStore, ImportTakesTheLegacyFileOnlyWhenPresent)
{
    ScopedConfigDirs dirs;
    CSettingsStore store;
    ASSERT_TRUE(store.Open(QString(), kKey));
    ASSERT_TRUE(store.SetString("Prefs", "Kept", "yes"));
    const QByteArray before = ReadFile(dirs.StoreFile());
    store.ImportIniFile();
    EXPECT_EQ(ReadFile(dirs.StoreFile()), before);
    ASSERT_TRUE(WriteFile(CSettingsStore::LegacyIniPath(), "[Prefs]\nComposer=Jo\n"));
    store.ImportIniFile();
    EXPECT_EQ(store.GetString("Prefs", "Composer", kNone), "Jo");
    EXPECT_EQ(store.GetString("Prefs", "Kept", kNone), "yes");
}

TEST(AnsiText, EveryByteSurvivesTheRoundTripThroughUnicode)
{
    std::string all;
    for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
    const QString text = ansi::ToUnicode(all);
    EXPECT_EQ(ansi::FromUnicode(text), all);
    EXPECT_EQ(text.at(0x80 - 1), QChar(0x20AC));  // the euro sign
    EXPECT_EQ(text.at(0xA9 - 1), QChar(0x00A9));
    EXPECT_EQ(ansi::Bounded(std::string("ab\0cd", 5), 80), "ab");
}
