// The file primitives under every writer and reader: on a real file system,
// with real devices, FIFOs, links and descriptors.
#include "settings/SafeFile.h"

#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace rondo_test;

namespace {

mode_t ModeOf(const QString& path)
{
    struct stat st{};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

bool MakeFifo(const QString& path)
{
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

QByteArray ReadFd(int fd)
{
    QByteArray bytes(4096, '\0');
    const ssize_t n = ::read(fd, bytes.data(), size_t(bytes.size()));
    bytes.truncate(n < 0 ? 0 : n);
    return bytes;
}

QString WriteError(const QString& path, const QByteArray& bytes, files::Target target = files::Target::FileOrStream)
{
    files::CSafeFile file;
    if (file.Open(path, target) && file.Write(bytes) && file.Commit()) return QString();
    return file.ErrorString().isEmpty() ? QStringLiteral("(no reason)") : file.ErrorString();
}

} // namespace

TEST(SafeFile, ReplacesARegularFileWholeKeepingItsPermissionsAndItsLinks)
{
    QTemporaryDir dir;
    const QString target = dir.filePath("loop.rlf");
    ASSERT_TRUE(WriteFile(target, "the old contents, longer than the new"));
    ASSERT_EQ(::chmod(QFile::encodeName(target).constData(), 0640), 0);
    ASSERT_TRUE(QFile::link("loop.rlf", dir.filePath("link.rlf")));

    EXPECT_EQ(WriteError(dir.filePath("link.rlf"), "new"), QString());
    EXPECT_EQ(ReadFile(target), "new");
    EXPECT_TRUE(QFileInfo(dir.filePath("link.rlf")).isSymLink()) << "the link stays a link";
    EXPECT_EQ(ModeOf(target) & 07777, 0640u);
    EXPECT_EQ(FolderEntries(dir.path()), QStringList({"link.rlf", "loop.rlf"})) << "no temporary file is left";

    // A new file gets the permissions of the umask; a dangling link
    // creates the file it names.
    const mode_t mask = ::umask(022);
    EXPECT_EQ(WriteError(dir.filePath("new.mid"), "x"), QString());
    ::umask(mask);
    EXPECT_EQ(ModeOf(dir.filePath("new.mid")) & 0777, 0644u);
    ASSERT_TRUE(QFile::link(dir.filePath("made.mid"), dir.filePath("dangling.mid")));
    EXPECT_EQ(WriteError(dir.filePath("dangling.mid"), "made"), QString());
    EXPECT_EQ(ReadFile(dir.filePath("made.mid")), "made");
    EXPECT_TRUE(QFileInfo(dir.filePath("dangling.mid")).isSymLink());

    // Names with dots and relative names reach the same file.
    ASSERT_TRUE(QDir(dir.path()).mkdir("sub"));
    EXPECT_EQ(WriteError(dir.filePath("sub/../loop.rlf"), "again"), QString());
    EXPECT_EQ(ReadFile(target), "again");
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.filePath("sub")));
    EXPECT_EQ(WriteError("here.mid", "rel"), QString());
    QDir::setCurrent(cwd);
    EXPECT_EQ(ReadFile(dir.filePath("sub/here.mid")), "rel");
}

TEST(SafeFile, AFailedOrAbandonedWriteLeavesTheTargetAsItWasAndNothingBeside)
{
    QTemporaryDir dir;
    const QString target = dir.filePath("export.mid");
    const QByteArray before = "the export that must survive";
    ASSERT_TRUE(WriteFile(target, before));
    const QStringList entries = FolderEntries(dir.path());
    const QByteArray image(300, 'm');

    // Every length of the file system's tolerance short of the whole image.
    for (unsigned long long limit = 0; limit < unsigned(image.size()); ++limit) {
        QString error;
        {
            const ScopedFileSizeLimit full(limit);
            EXPECT_FALSE(files::WriteWholeFile(target, image, error)) << limit;
        }
        EXPECT_EQ(error, qt_error_string(EFBIG)) << limit;
        ASSERT_EQ(ReadFile(target), before) << limit;
        ASSERT_EQ(FolderEntries(dir.path()), entries) << limit;
    }
    {
        const ScopedFileSizeLimit exactly(image.size());
        QString error;
        EXPECT_TRUE(files::WriteWholeFile(target, image, error)) << error.toStdString();
    }
    EXPECT_EQ(ReadFile(target), image);

    // Written but never committed, or discarded: nothing happened.
    {
        files::CSafeFile file;
        ASSERT_TRUE(file.Open(target));
        ASSERT_TRUE(file.Write("abandoned"));
    }
    files::CSafeFile file;
    ASSERT_TRUE(file.Open(dir.filePath("never.mid")));
    ASSERT_TRUE(file.Write("discarded"));
    file.Discard();
    EXPECT_FALSE(file.Commit());
    EXPECT_EQ(ReadFile(target), image);
    EXPECT_EQ(FolderEntries(dir.path()), entries);

    // A folder that is not there, or a name that is a folder.
    EXPECT_EQ(WriteError(dir.filePath("missing/x.mid"), "x"), qt_error_string(ENOENT));
    EXPECT_EQ(WriteError(dir.path(), "x"), qt_error_string(EISDIR));
    EXPECT_EQ(WriteError(dir.filePath("."), "x"), qt_error_string(EISDIR));
}

TEST(SafeFile, WritesIntoDevicesAndFifosAndNeverReplacesThem)
{
    EXPECT_EQ(WriteError("/dev/null", "discarded"), QString());
    EXPECT_TRUE(S_ISCHR(ModeOf("/dev/null")));
    EXPECT_EQ(WriteError("/dev/full", "x"), qt_error_string(ENOSPC));
    EXPECT_TRUE(S_ISCHR(ModeOf("/dev/full")));

    QTemporaryDir dir;
    ASSERT_TRUE(QFile::link("/dev/zero", dir.filePath("zero.wav")));
    EXPECT_EQ(WriteError(dir.filePath("zero.wav"), "into the device"), QString());
    EXPECT_TRUE(QFileInfo(dir.filePath("zero.wav")).isSymLink());

    // A FIFO without a reader would block the writer for good: refused at once.
    const QString fifo = dir.filePath("fifo");
    ASSERT_TRUE(MakeFifo(fifo));
    EXPECT_EQ(WriteError(fifo, "x"), "No program is reading from the FIFO.");
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(WriteError(fifo, "through the FIFO"), QString());
    EXPECT_EQ(ReadFd(reader), "through the FIFO");
    ::close(reader);
    EXPECT_TRUE(S_ISFIFO(ModeOf(fifo)));

    // A writer that must go back to its start takes regular files only.
    for (const QString& path : {QStringLiteral("/dev/null"), fifo, dir.filePath("zero.wav")})
        EXPECT_TRUE(WriteError(path, "x", files::Target::FileOnly).contains("not a regular file")) << path.toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("zero.wav.tmp")));

    const QDir dev("/dev");
    for (const QString& name : dev.entryList(QDir::System)) {
        if (!S_ISBLK(ModeOf(dev.filePath(name)))) continue;
        EXPECT_TRUE(WriteError(dev.filePath(name), "x").contains("block device")) << name.toStdString();
        EXPECT_TRUE(S_ISBLK(ModeOf(dev.filePath(name))));
        break;
    }
}

TEST(SafeFile, DescriptorNamesWriteWhereTheDescriptorPoints)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    EXPECT_EQ(WriteError(QStringLiteral("/dev/fd/%1").arg(fds[1]), "piped"), QString());
    EXPECT_EQ(ReadFd(fds[0]), "piped");
    EXPECT_TRUE(WriteError(QStringLiteral("/dev/fd/%1").arg(fds[1]), "x", files::Target::FileOnly)
                    .contains("not a regular file"));
    ::close(fds[0]);
    ::close(fds[1]);

    // A descriptor on a file writes at its offset, as a shell's >> does:
    // the file is not replaced.
    QTemporaryDir dir;
    const QString log = dir.filePath("log");
    ASSERT_TRUE(WriteFile(log, "head\n"));
    const int fd = ::open(QFile::encodeName(log).constData(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(WriteError(QStringLiteral("/proc/self/fd/%1").arg(fd), "tail\n"), QString());
    ::close(fd);
    EXPECT_EQ(ReadFile(log), "head\ntail\n");
    EXPECT_EQ(WriteError("/dev/fd/987", "x"), qt_error_string(EBADF));
}

TEST(SafeFile, ReadsTakeABoundedAmountAndNeverWaitForAWriter)
{
    QTemporaryDir dir;
    const QString small = dir.filePath("small.ini");
    ASSERT_TRUE(WriteFile(small, QByteArray(100, 's')));
    QByteArray bytes;
    QString error;
    EXPECT_EQ(files::ReadSmallFile(small, 100, bytes, error), files::ReadResult::Read);
    EXPECT_EQ(bytes, QByteArray(100, 's'));
    EXPECT_EQ(files::ReadSmallFile(small, 99, bytes, error), files::ReadResult::TooLarge);
    EXPECT_TRUE(bytes.isEmpty());
    EXPECT_EQ(files::ReadSmallFile(dir.filePath("absent"), 99, bytes, error), files::ReadResult::Missing);

    // Nothing but a regular file is read, and nothing waits: a FIFO without
    // a writer, /dev/zero behind a link, a folder.
    const QString fifo = dir.filePath("fifo");
    ASSERT_TRUE(MakeFifo(fifo));
    ASSERT_TRUE(QFile::link("/dev/zero", dir.filePath("zero.ini")));
    for (const QString& path : {fifo, dir.filePath("zero.ini"), dir.path()})
        EXPECT_EQ(files::ReadSmallFile(path, 1000, bytes, error), files::ReadResult::NotAFile) << path.toStdString();

    // A prefix: of a file, a device, a FIFO whose writer wrote and stayed.
    EXPECT_EQ(files::ReadPrefix(small, 10, bytes, error), files::ReadResult::Read);
    EXPECT_EQ(bytes, QByteArray(10, 's'));
    EXPECT_EQ(files::ReadPrefix(dir.filePath("zero.ini"), 1472, bytes, error), files::ReadResult::Read);
    EXPECT_EQ(bytes, QByteArray(1472, '\0'));
    EXPECT_EQ(files::ReadPrefix(fifo, 1472, bytes, error), files::ReadResult::Read) << "no writer: empty";
    EXPECT_TRUE(bytes.isEmpty());
    const int writer = ::open(QFile::encodeName(fifo).constData(), O_RDWR);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, "0123456789", 10), 10);
    EXPECT_EQ(files::ReadPrefix(fifo, 4, bytes, error), files::ReadResult::Read);
    EXPECT_EQ(bytes, "0123");
    // The writer stays silent: the reader gives up after a few seconds.
    EXPECT_EQ(files::ReadPrefix(fifo, 1472, bytes, error), files::ReadResult::Failed);
    EXPECT_TRUE(error.contains("Nothing came")) << error.toStdString();
    ::close(writer);
    EXPECT_EQ(files::ReadPrefix(dir.path(), 10, bytes, error), files::ReadResult::NotAFile);
}

TEST(FileNames, BytesThatSpellNoTextAreNeverTurnedIntoAnotherName)
{
    QString name;
    EXPECT_TRUE(files::NameFromBytes("caf\xC3\xA9.rlf", name));
    EXPECT_EQ(name, QString::fromUtf8("café.rlf"));
    // Latin-1, an overlong '/', an encoded surrogate.
    for (const QByteArray& bytes : {QByteArray("caf\xE9.rlf"), QByteArray("a\xC0\xAF" "b"), QByteArray("\xED\xA0\x80")})
        EXPECT_FALSE(files::NameFromBytes(bytes, name)) << bytes.toHex().toStdString();
    EXPECT_EQ(files::PrintableName("caf\xC3\xA9\xFE.rlf"), QString::fromUtf8("café\\xfe.rlf"));

    // A text names its bytes; one that has none (a lone surrogate, a NUL)
    // is refused rather than written under some other name.
    EXPECT_EQ(files::FileSystemName(QString::fromUtf8("/tmp/café")), QByteArray("/tmp/caf\xC3\xA9"));
    QTemporaryDir dir;
    EXPECT_TRUE(WriteError(dir.filePath(QString(QChar(0xD800))), "x").contains("cannot be spelled"));
    EXPECT_TRUE(files::FileSystemName(QStringLiteral("a") + QChar(0) + QStringLiteral("b")).isEmpty());
    EXPECT_TRUE(FolderEntries(dir.path()).isEmpty());
}
