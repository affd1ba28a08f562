// The command line where things go wrong: full disks, devices, FIFOs,
// links, killed renders, broken standard output, names that are not text,
// preferences that are not files, no display. The real binary each time.
#include "TestSupport.h"
#include "app/Spawn.h"
#include "doc/HeadlessView.h"
#include "doc/RondoDoc.h"
#include "midiout/VirtualMidiOut.h"
#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using rondo_test::FolderEntries;
using rondo_test::ReadFile;
using rondo_test::WriteFile;

namespace {

const QString kSmallSoundFont = QStringLiteral("/usr/share/sounds/sf2/TimGM6mb.sf2");

QByteArray Bytes(const QString& path)
{
    return QFile::encodeName(path);
}

mode_t ModeOf(const QByteArray& path)
{
    struct stat st{};
    return ::lstat(path.constData(), &st) == 0 ? st.st_mode : 0;
}

// What every command-line error looks like: "rondo: " first, one message
// without blank lines, nothing from the libraries underneath.
::testing::AssertionResult IsErrorMessage(const QByteArray& err)
{
    if (!err.startsWith("rondo: ")) return ::testing::AssertionFailure() << "not \"rondo: \" first: " << err.toStdString();
    if (!err.endsWith('\n') || err.contains("\n\n"))
        return ::testing::AssertionFailure() << "not one message: " << err.toStdString();
    if (err.contains("CRITICAL") || err.contains("WARNING") || err.contains("fluidsynth:"))
        return ::testing::AssertionFailure() << "console noise: " << err.toStdString();
    return ::testing::AssertionSuccess();
}

// A 16-bit stereo WAV whose header agrees with its size.
bool IsCompleteWav(const QByteArray& wav)
{
    if (wav.size() < 44 || !wav.startsWith("RIFF") || wav.mid(8, 8) != "WAVEfmt ") return false;
    return qFromLittleEndian<quint32>(wav.constData() + 4) == quint32(wav.size() - 8) &&
           qFromLittleEndian<quint32>(wav.constData() + 40) == quint32(wav.size() - 44);
}

// A folder's names as the bytes they are (QDir cannot name every file).
QList<QByteArray> RawEntries(const QByteArray& dir)
{
    QList<QByteArray> names;
    if (DIR* d = ::opendir(dir.constData())) {
        while (const dirent* e = ::readdir(d)) {
            const QByteArray name(e->d_name);
            if (name != "." && name != "..") names.append(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

class CommandLineFaultTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CSettingsStore settings;
        settings.Open(files.path() + "/settings", "Quillon Software/Rondo");
        CVirtualMidiOut midiOut;
        CRondoDoc doc(settings, midiOut);
        CHeadlessView view(doc);
        doc.SetView(&view);
        doc.ResetLoop();
        doc.m_voices[0].byPitch = 42;
        for (int b = 0; b < 16; b += 2) doc.m_cells[0][b] = 1;
        doc.m_nBPM = 200;
        ASSERT_TRUE(doc.SaveLoopTo(Path("loop.rlf")));
        doc.BuildMidiFile(false);
        midi = QByteArray(reinterpret_cast<const char*>(doc.m_midiFile), doc.m_nDocSize);
        QDir().mkpath(Path("out"));
    }

    QString Path(const QString& name) const { return files.path() + "/" + name; }
    spawn::Result Rondo(const QList<QByteArray>& args, const spawn::Options& options = {})
    {
        return spawn::Run(RONDO_BINARY, args, options);
    }

    rondo_test::ScopedConfigDirs dirs;  // inherited by the child process
    QTemporaryDir files;
    QByteArray midi;
};

TEST_F(CommandLineFaultTest, AFullDiskKeepsTheOldExportAndTheOldRender)
{
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const QByteArray disk = Bytes(Path("disk"));
    ASSERT_TRUE(QDir().mkpath(Path("disk")));
    if (::mount("tmpfs", disk.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "no tmpfs could be mounted here: " << std::strerror(errno);
    struct Unmount { QByteArray at; ~Unmount() { ::umount2(at.constData(), MNT_DETACH); } } unmount{disk};

    ASSERT_EQ(Rondo({"--export", Bytes(Path("loop.rlf")), disk + "/old.mid"}).exitCode, 0);
    ASSERT_TRUE(WriteFile(Path("disk/old.wav"), QByteArray(2000, 'w')));
    // Fill what is left.
    const int fill = ::open((disk + "/fill").constData(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fill, 0);
    const QByteArray block(4096, 'f');
    while (::write(fill, block.constData(), size_t(block.size())) > 0) {}
    ::close(fill);

    spawn::Result r = Rondo({"--export", Bytes(Path("loop.rlf")), disk + "/old.mid"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(IsErrorMessage(r.err));
    EXPECT_TRUE(r.err.contains("old.mid") && r.err.contains(qt_error_string(ENOSPC).toUtf8())) << r.err.toStdString();
    EXPECT_EQ(ReadFile(Path("disk/old.mid")), midi);

    if (QFileInfo(kSmallSoundFont).isFile()) {
        r = Rondo({"--render", Bytes(Path("loop.rlf")), disk + "/old.wav", "--soundfont", Bytes(kSmallSoundFont)});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(IsErrorMessage(r.err));
        EXPECT_TRUE(r.err.contains("old.wav")) << r.err.toStdString();
        EXPECT_EQ(ReadFile(Path("disk/old.wav")), QByteArray(2000, 'w'));
    }
    EXPECT_EQ(FolderEntries(Path("disk")), QStringList({"fill", "old.mid", "old.wav"}));
}

TEST_F(CommandLineFaultTest, AFileSizeLimitFailsTheWriteAndKeepsTheOldFile)
{
    // SIGXFSZ is left at its default: the program itself must survive it.
    ASSERT_TRUE(WriteFile(Path("out/old.mid"), "old export"));
    spawn::Options limited;
    limited.nFileSizeLimit = 100;
    spawn::Result r = Rondo({"--export", Bytes(Path("loop.rlf")), Bytes(Path("out/old.mid"))}, limited);
    EXPECT_EQ(r.exitCode, 1) << "signal " << r.signal;
    EXPECT_TRUE(IsErrorMessage(r.err));
    EXPECT_TRUE(r.err.contains(qt_error_string(EFBIG).toUtf8())) << r.err.toStdString();
    EXPECT_EQ(ReadFile(Path("out/old.mid")), "old export");

    if (QFileInfo(kSmallSoundFont).isFile()) {
        ASSERT_TRUE(WriteFile(Path("out/old.wav"), "old render"));
        limited.nFileSizeLimit = 50000;
        r = Rondo({"--render", Bytes(Path("loop.rlf")), Bytes(Path("out/old.wav")), "--soundfont", Bytes(kSmallSoundFont)},
                  limited);
        EXPECT_EQ(r.exitCode, 1) << "signal " << r.signal;
        EXPECT_TRUE(IsErrorMessage(r.err));
        EXPECT_EQ(ReadFile(Path("out/old.wav")), "old render");
        // FLAC, written by its encoder in its own blocks, fails the same way.
        ASSERT_TRUE(WriteFile(Path("out/old.flac"), "old flac"));
        r = Rondo({"--render", Bytes(Path("loop.rlf")), Bytes(Path("out/old.flac")), "--soundfont",
                   Bytes(kSmallSoundFont)},
                  limited);
        EXPECT_EQ(r.exitCode, 1) << "signal " << r.signal;
        EXPECT_TRUE(IsErrorMessage(r.err));
        EXPECT_TRUE(r.err.contains("old.flac")) << r.err.toStdString();
        EXPECT_EQ(ReadFile(Path("out/old.flac")), "old flac");
    }
    QStringList expected{"old.mid"};
    if (QFileInfo(kSmallSoundFont).isFile()) expected = QStringList{"old.flac", "old.mid", "old.wav"};
    EXPECT_EQ(FolderEntries(Path("out")), expected);
}

TEST_F(CommandLineFaultTest, WithoutProcTheTemporaryFileIsNamedAndStillCleanedUp)
{
#ifdef RONDO_SANITIZED
    GTEST_SKIP() << "the sanitizers' runtime cannot run without /proc";
#endif
    if (::geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty())
        GTEST_SKIP() << "a mount namespace without /proc needs root and unshare";
    // The program's temporary file has no name while /proc is there; without
    // it the file is named beside the target, and removed when the write fails.
    ASSERT_TRUE(WriteFile(Path("out/old.mid"), "old export"));
    const QByteArray script = "umount -l /proc || exit 99; ulimit -f 0; exec \"$0\" --export \"$1\" \"$2\"";
    spawn::Result r = spawn::Run("/usr/bin/unshare", {"-m", "--propagation", "private", "/bin/sh", "-c", script,
                                                      RONDO_BINARY, Bytes(Path("loop.rlf")), Bytes(Path("out/old.mid"))});
    if (r.exitCode == 99 || r.err.contains("unshare:")) GTEST_SKIP() << "no mount namespace here: " << r.err.toStdString();
    EXPECT_EQ(r.exitCode, 1) << r.err.toStdString();
    EXPECT_EQ(ReadFile(Path("out/old.mid")), "old export");
    EXPECT_EQ(FolderEntries(Path("out")), QStringList{"old.mid"});
    r = spawn::Run("/usr/bin/unshare", {"-m", "--propagation", "private", "/bin/sh", "-c",
                                        "umount -l /proc && exec \"$0\" --export \"$1\" \"$2\"", RONDO_BINARY,
                                        Bytes(Path("loop.rlf")), Bytes(Path("out/old.mid"))});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(ReadFile(Path("out/old.mid")), midi);
    EXPECT_EQ(FolderEntries(Path("out")), QStringList{"old.mid"});
}

TEST_F(CommandLineFaultTest, DevicesFifosAndLinksAreWrittenIntoAndNeverReplaced)
{
    const QByteArray loop = Bytes(Path("loop.rlf"));
    spawn::Result r = Rondo({"--export", loop, "/dev/null"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(S_ISCHR(ModeOf("/dev/null")));
    r = Rondo({"--export", loop, "/dev/stdout"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, midi);
    r = Rondo({"--export", loop, "/dev/full"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(IsErrorMessage(r.err));
    EXPECT_TRUE(S_ISCHR(ModeOf("/dev/full")));

    // A FIFO nobody reads: a clear answer at once, not a hang.
    const QByteArray fifo = Bytes(Path("out/fifo"));
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    r = Rondo({"--export", loop, fifo});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(IsErrorMessage(r.err));
    EXPECT_TRUE(r.err.contains("fifo") && r.err.contains("reading")) << r.err.toStdString();
    EXPECT_TRUE(S_ISFIFO(ModeOf(fifo)));

    ASSERT_TRUE(QFile::link("/dev/zero", Path("out/zero.mid")));
    r = Rondo({"--export", loop, Bytes(Path("out/zero.mid"))});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(S_ISLNK(ModeOf(Bytes(Path("out/zero.mid")))));

    // A WAV file goes back to its header: only a regular file will do.
    const bool bFont = QFileInfo(kSmallSoundFont).isFile();
    for (const QByteArray& target : {QByteArray("/dev/null"), QByteArray("/dev/stdout"), fifo}) {
        if (!bFont) break;
        r = Rondo({"--render", loop, target, "--soundfont", Bytes(kSmallSoundFont)});
        EXPECT_EQ(r.exitCode, 1) << target.toStdString();
        EXPECT_TRUE(IsErrorMessage(r.err));
        EXPECT_TRUE(r.err.contains(target) && r.err.contains("not a regular file")) << r.err.toStdString();
    }
    EXPECT_TRUE(S_ISCHR(ModeOf("/dev/null")));
    EXPECT_EQ(FolderEntries(Path("out")), QStringList({"fifo", "zero.mid"}));
}

TEST_F(CommandLineFaultTest, ARenderThatCannotStartLeavesTheOldFileUntouched)
{
    const QByteArray old(1000000, 'o');
    ASSERT_TRUE(WriteFile(Path("out/old.wav"), old));
    const QByteArray loop = Bytes(Path("loop.rlf"));
    const QByteArray target = Bytes(Path("out/old.wav"));

    spawn::Result r = Rondo({"--render", loop, target, "--soundfont", Bytes(Path("none.sf2"))});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(IsErrorMessage(r.err));
    EXPECT_TRUE(r.err.contains("none.sf2") && r.err.contains("sound font")) << r.err.toStdString();

    // A damaged sound font: the libraries under FluidSynth say nothing.
    if (QFileInfo(kSmallSoundFont).isFile()) {
        ASSERT_TRUE(WriteFile(Path("damaged.sf2"), ReadFile(kSmallSoundFont).left(300000)));
        r = Rondo({"--render", loop, target, "--soundfont", Bytes(Path("damaged.sf2"))});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(IsErrorMessage(r.err));
        EXPECT_TRUE(r.err.contains("damaged.sf2") && r.err.contains("sound font")) << r.err.toStdString();
    }
    ASSERT_TRUE(WriteFile(Path("junk.rlf"), QByteArray(1472, 'j')));
    r = Rondo({"--render", Bytes(Path("junk.rlf")), target, "--soundfont", Bytes(kSmallSoundFont)});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(IsErrorMessage(r.err));
    EXPECT_TRUE(r.err.contains("junk.rlf")) << r.err.toStdString();
    EXPECT_EQ(ReadFile(Path("out/old.wav")), old);
    EXPECT_EQ(FolderEntries(Path("out")), QStringList{"old.wav"});
}

TEST_F(CommandLineFaultTest, ARenderKilledAtAnyMomentLeavesTheOldFileOrTheWholeNewOne)
{
    if (!QFileInfo(kSmallSoundFont).isFile()) GTEST_SKIP() << "no small sound font";
    const QList<QByteArray> render = {"--render", Bytes(Path("loop.rlf")), Bytes(Path("out/take.wav")), "--loops",
                                      "30", "--soundfont", Bytes(kSmallSoundFont)};
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Rondo(render).exitCode, 0);
    const auto took = std::chrono::steady_clock::now() - started;
    const QByteArray complete = ReadFile(Path("out/take.wav"));
    ASSERT_TRUE(IsCompleteWav(complete));

    const QByteArray old = "an older take";
    int nOld = 0;
    for (int k = 0; k < 16; ++k) {
        ASSERT_TRUE(WriteFile(Path("out/take.wav"), old));
        const pid_t pid = spawn::Start(RONDO_BINARY, render);
        ASSERT_GT(pid, 0);
        // From the first moments to just past the end.
        std::this_thread::sleep_for(took * k / 14);
        ::kill(pid, SIGKILL);
        spawn::Wait(pid);
        const QByteArray now = ReadFile(Path("out/take.wav"));
        EXPECT_TRUE(now == old || now == complete) << "killed after " << k << "/14: " << now.size() << " bytes";
        nOld += now == old;
        EXPECT_EQ(FolderEntries(Path("out")), QStringList{"take.wav"}) << "nothing left beside it";
    }
    EXPECT_GT(nOld, 0) << "some kills came during the render";
}

TEST_F(CommandLineFaultTest, StandardOutputThatCannotTakeTheOutputIsAnError)
{
    using Out = spawn::Options::Out;
    const QByteArray loop = Bytes(Path("loop.rlf"));
    const std::pair<QList<QByteArray>, Out> cases[] = {
        {{"--info", loop}, Out::DevFull},     {{"--info", loop}, Out::Closed},   {{"--info", loop}, Out::BrokenPipe},
        {{"--list-devices"}, Out::DevFull},   {{"--version"}, Out::DevFull},     {{"--help"}, Out::Closed},
        {{"--export", loop, "/dev/stdout"}, Out::Closed},
    };
    for (const auto& [args, out] : cases) {
        spawn::Options options;
        options.out = out;
        const spawn::Result r = Rondo(args, options);
        EXPECT_EQ(r.exitCode, 1) << args.first().toStdString() << " " << int(out) << ", signal " << r.signal;
        EXPECT_TRUE(IsErrorMessage(r.err)) << args.first().toStdString();
        EXPECT_TRUE(r.err.contains("standard output") || r.err.contains("/dev/stdout")) << r.err.toStdString();
    }
    // A closed standard output must not let a file take its place.
    spawn::Options closed;
    closed.out = Out::Closed;
    EXPECT_EQ(Rondo({"--export", loop, Bytes(Path("out/x.mid"))}, closed).exitCode, 0);
    EXPECT_EQ(ReadFile(Path("out/x.mid")), midi);
}

TEST_F(CommandLineFaultTest, NamesThatAreNotTextAreRefusedAndNothingIsWrittenUnderAnother)
{
    const QByteArray out = Bytes(Path("out"));
    const QByteArray latin1 = "caf\xE9.rlf";
    ASSERT_TRUE(WriteFile(Path("out/copy.rlf"), ReadFile(Path("loop.rlf"))));
    ASSERT_EQ(::rename((out + "/copy.rlf").constData(), (out + '/' + latin1).constData()), 0);
    spawn::Result r = Rondo({"--info", out + '/' + latin1});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(IsErrorMessage(r.err));
    EXPECT_TRUE(r.err.contains("caf\\xe9.rlf") && r.err.contains("UTF-8")) << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty());

    r = Rondo({"--export", Bytes(Path("loop.rlf")), out + "/beat\xFF.mid"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(IsErrorMessage(r.err));
    EXPECT_EQ(RawEntries(out), QList<QByteArray>{latin1}) << "no file under this or another name";

    // A relative name in a folder whose own name is not text.
    const QByteArray folder = "dir\xFE";
    ASSERT_EQ(::mkdir((out + '/' + folder).constData(), 0755), 0);
    spawn::Options inside;
    inside.cwd = out + '/' + folder;
    r = Rondo({"--export", Bytes(Path("loop.rlf")), "beat.mid"}, inside);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(IsErrorMessage(r.err));
    EXPECT_TRUE(r.err.contains("beat.mid") && r.err.contains("folder")) << r.err.toStdString();
    EXPECT_TRUE(RawEntries(out + '/' + folder).isEmpty());

    // Qt could not remove these names either.
    ::rmdir((out + '/' + folder).constData());
    ::unlink((out + '/' + latin1).constData());
}

TEST_F(CommandLineFaultTest, ReadingCreatesNothingAndUnreadablePreferencesAreSaidOnce)
{
    const QByteArray loop = Bytes(Path("loop.rlf"));
    ASSERT_EQ(Rondo({"--info", loop}).exitCode, 0);
    ASSERT_EQ(Rondo({"--list-devices"}).exitCode, 0);
    ASSERT_EQ(Rondo({"--export", loop, Bytes(Path("out/x.mid"))}).exitCode, 0);
    EXPECT_TRUE(FolderEntries(dirs.ConfigHome()).isEmpty()) << FolderEntries(dirs.ConfigHome()).join(' ').toStdString();

    // The preferences as a FIFO, the legacy file as a link to /dev/zero:
    // no wait, no import, one line about the preferences.
    ASSERT_TRUE(QDir().mkpath(dirs.ConfigHome() + "/Quillon Software"));
    ASSERT_EQ(::mkfifo(Bytes(dirs.StoreFile()).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link("/dev/zero", CSettingsStore::LegacyIniPath()));
    const spawn::Result r = Rondo({"--info", loop});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.startsWith("{"));
    EXPECT_TRUE(IsErrorMessage(r.err));
    EXPECT_TRUE(r.err.contains(Bytes(dirs.StoreFile()))) << r.err.toStdString();
    EXPECT_TRUE(S_ISFIFO(ModeOf(Bytes(dirs.StoreFile()))));
}

TEST_F(CommandLineFaultTest, OptionErrorsExit64AndTheWindowSaysItNeedsADisplay)
{
    spawn::Options noDisplay;
    noDisplay.env = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
    const QByteArray loop = Bytes(Path("loop.rlf"));
    const QList<QList<QByteArray>> wrong = {
        {"--bogus"}, {"--info=" + loop}, {"--render", loop, "x.wav", "--tempo"}, {loop, loop},
        {"--export", loop}, {"--info", "--list-devices"}, {"--loops", "3"}, {"--render", loop, "x.wav", "--loops", "x"},
    };
    for (const QList<QByteArray>& args : wrong) {
        const spawn::Result r = Rondo(args, noDisplay);
        EXPECT_EQ(r.exitCode, 64) << args.join(' ').toStdString() << ", signal " << r.signal;
        EXPECT_TRUE(IsErrorMessage(r.err)) << args.join(' ').toStdString();
    }

    spawn::Result r = Rondo({loop}, noDisplay);
    EXPECT_EQ(r.exitCode, 1) << "signal " << r.signal;
    EXPECT_TRUE(IsErrorMessage(r.err));
    EXPECT_TRUE(r.err.contains("display")) << r.err.toStdString();

    // A display that is named but not there: Qt's advice stays unprinted.
    spawn::Options goneDisplay;
    goneDisplay.env = {{"DISPLAY", ":97"}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
    r = Rondo({}, goneDisplay);
    EXPECT_EQ(r.exitCode, 1) << "signal " << r.signal;
    EXPECT_TRUE(IsErrorMessage(r.err));
    EXPECT_TRUE(r.err.contains(":97")) << r.err.toStdString();
}

TEST_F(CommandLineFaultTest, TheVersionIsThePackagesVersion)
{
    const spawn::Result r = Rondo({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, QByteArray("Rondo " RONDO_PROJECT_VERSION "\n"));
}
