#include "settings/SafeFile.h"

#include <QFile>
#include <QRandomGenerator>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace files {

namespace {

constexpr int kMaxLinkHops = 40;
// The temporary file's name keeps this much of the target's, so that it
// stays within the file system's limit of 255 bytes.
constexpr qsizetype kMaxBaseInTemporary = 200;
constexpr int kStreamIdleMs = 5000;

std::array<std::atomic<bool>, 3> g_closedAtStart{};

QString ErrnoText(int err)
{
    return qt_error_string(err);
}

bool WriteAllTo(int fd, const char* p, size_t n, int& err)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                // A descriptor inherited in non-blocking mode: wait for room.
                pollfd out{fd, POLLOUT, 0};
                if (::poll(&out, 1, -1) >= 0 || errno == EINTR) continue;
            }
            err = errno;
            return false;
        }
        if (w == 0) {
            err = EIO;
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

QByteArray DirName(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0) return QByteArrayLiteral(".");
    if (slash == 0) return QByteArrayLiteral("/");
    return path.left(slash);
}

QByteArray BaseName(const QByteArray& path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

// The folder with every link and dot taken out, as the kernel sees it.
bool CanonicalDir(const QByteArray& dir, QByteArray& canonical, int& err)
{
    char* resolved = ::realpath(dir.constData(), nullptr);
    if (resolved == nullptr) {
        err = errno;
        return false;
    }
    canonical = QByteArray(resolved);
    std::free(resolved);
    return true;
}

// An entry of our own descriptor table (/proc/self/fd/N): N, else -1.
int OwnDescriptor(const QByteArray& dir, const QByteArray& base)
{
    static const QByteArray own = "/proc/" + QByteArray::number(qint64(::getpid())) + "/fd";
    if (dir != own && dir != "/proc/self/fd") return -1;
    bool bOk = false;
    const int fd = base.toInt(&bOk);
    return bOk && fd >= 0 ? fd : -1;
}

// The names of our own descriptors, known without /proc.
int NamedDescriptor(const QByteArray& name)
{
    if (name == "/dev/stdout") return 1;
    if (name == "/dev/stderr") return 2;
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        if (!name.startsWith(prefix)) continue;
        bool bOk = false;
        const int fd = name.mid(qsizetype(std::strlen(prefix))).toInt(&bOk);
        return bOk && fd >= 0 ? fd : -1;
    }
    return -1;
}

// Where a name leads. Links are followed one by one, so that a link stays
// a link and the file it names is the one replaced.
struct Place
{
    QByteArray path;      // canonical folder + last component
    QByteArray dir;
    bool bExists = false;
    bool bProcLink = false;  // an entry of /proc that is no path (pipe:[…])
    int nDescriptor = -1;    // one of our own descriptors
    struct stat st{};
};

bool Locate(const QByteArray& name, Place& place, int& err)
{
    QByteArray path = name;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        QByteArray dir;
        if (!CanonicalDir(DirName(path), dir, err)) return false;
        const QByteArray base = BaseName(path);
        if (base.isEmpty() || base == "." || base == "..") {
            err = EISDIR;
            return false;
        }
        place = Place{};
        place.dir = dir;
        place.path = (dir == "/" ? dir : dir + '/') + base;
        place.nDescriptor = OwnDescriptor(dir, base);
        if (place.nDescriptor >= 0) return true;
        if (::lstat(place.path.constData(), &place.st) != 0) {
            if (errno != ENOENT) {
                err = errno;
                return false;
            }
            return true;  // a new file
        }
        place.bExists = true;
        if (!S_ISLNK(place.st.st_mode)) return true;
        if (dir.startsWith("/proc/")) {
            // Opened as it is: the kernel knows what it names.
            if (::stat(place.path.constData(), &place.st) != 0) {
                err = errno;
                return false;
            }
            place.bProcLink = true;
            return true;
        }
        std::array<char, PATH_MAX> link{};
        const ssize_t n = ::readlink(place.path.constData(), link.data(), link.size());
        if (n < 0 || size_t(n) >= link.size()) {
            err = n < 0 ? errno : ENAMETOOLONG;
            return false;
        }
        const QByteArray target(link.data(), n);
        path = target.startsWith('/') ? target : place.dir + '/' + target;
    }
    err = ELOOP;
    return false;
}

QByteArray RandomSuffix()
{
    return QByteArray::number(QRandomGenerator::global()->generate64(), 36);
}

QByteArray TemporaryName(const QByteArray& dir, const QByteArray& base)
{
    return dir + "/." + base.left(kMaxBaseInTemporary) + ".rondo-" + RandomSuffix();
}

bool WaitReadable(int fd, int& err)
{
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int n = ::poll(&p, 1, kStreamIdleMs);
        if (n > 0) return true;
        if (n == 0) {
            err = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR) {
            err = errno;
            return false;
        }
    }
}

enum class ReadKind { SmallFile, Prefix };

ReadResult Read(const QString& path, qsizetype nMaxBytes, ReadKind kind, QByteArray& bytes, QString& error)
{
    bytes.clear();
    error.clear();
    const QByteArray name = FileSystemName(path);
    if (name.isEmpty()) {
        error = QStringLiteral("The name cannot be spelled in the file system's encoding.");
        return ReadResult::Failed;
    }
    // Opening a FIFO waits for a writer unless it is opened like this.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        error = ErrnoText(err);
        return err == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    }
    struct stat st{};
    ReadResult result = ReadResult::Read;
    if (::fstat(fd, &st) != 0) {
        error = ErrnoText(errno);
        result = ReadResult::Failed;
    } else if (S_ISDIR(st.st_mode)) {
        error = ErrnoText(EISDIR);
        result = ReadResult::NotAFile;
    } else if (!S_ISREG(st.st_mode) && (kind == ReadKind::SmallFile || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)))) {
        error = QStringLiteral("It is not a regular file.");
        result = ReadResult::NotAFile;
    } else if (kind == ReadKind::SmallFile && st.st_size > nMaxBytes) {
        error = QStringLiteral("It is larger than %1 bytes.").arg(nMaxBytes);
        result = ReadResult::TooLarge;
    }
    if (result != ReadResult::Read) {
        ::close(fd);
        return result;
    }
    const bool bStream = !S_ISREG(st.st_mode);
    // One byte more than allowed tells a file that grew meanwhile.
    const qsizetype nWanted = kind == ReadKind::SmallFile ? nMaxBytes + 1 : nMaxBytes;
    bytes.resize(std::min<qsizetype>(nWanted, bStream ? nWanted : qsizetype(st.st_size) + 1));
    qsizetype n = 0;
    int err = 0;
    for (;;) {
        if (n == bytes.size()) {
            if (n >= nWanted) break;
            bytes.resize(std::min<qsizetype>(nWanted, 2 * n + 4096));
        }
        const ssize_t got = ::read(fd, bytes.data() + n, size_t(bytes.size() - n));
        if (got < 0) {
            if (errno == EINTR) continue;
            // A FIFO that never had a writer reads as empty; one whose writer
            // is silent is given a few seconds.
            if (bStream && errno == EAGAIN && WaitReadable(fd, err)) continue;
            if (err == 0) err = errno;
            break;
        }
        if (got == 0) break;
        n += got;
    }
    ::close(fd);
    bytes.truncate(n);
    if (err != 0) {
        error = err == ETIMEDOUT ? QStringLiteral("Nothing came from it for %1 seconds.").arg(kStreamIdleMs / 1000)
                                 : ErrnoText(err);
        bytes.clear();
        return ReadResult::Failed;
    }
    if (kind == ReadKind::SmallFile && n > nMaxBytes) {
        error = QStringLiteral("It is larger than %1 bytes.").arg(nMaxBytes);
        bytes.clear();
        return ReadResult::TooLarge;
    }
    return ReadResult::Read;
}

} // namespace

// --- writing ---

CSafeFile::~CSafeFile()
{
    Discard();
}

bool CSafeFile::Fail(int err)
{
    return Fail(ErrnoText(err));
}

bool CSafeFile::Fail(const QString& reason)
{
    m_bFailed = true;
    m_error = reason;
    return false;
}

bool CSafeFile::Open(const QString& path, Target target)
{
    Discard();
    m_bFailed = false;
    m_error.clear();
    const QByteArray name = FileSystemName(path);
    if (name.isEmpty()) return Fail(QStringLiteral("The name cannot be spelled in the file system's encoding."));

    const bool bFileOnly = target == Target::FileOnly;
    const QString notAFile =
        QStringLiteral("It is not a regular file, and a WAV file is completed by going back to its header.");
    if (const int fd = NamedDescriptor(name); fd >= 0) return bFileOnly ? Fail(notAFile) : OpenDescriptor(fd);

    Place place;
    int err = 0;
    if (!Locate(name, place, err)) return Fail(err);
    if (place.nDescriptor >= 0) return bFileOnly ? Fail(notAFile) : OpenDescriptor(place.nDescriptor);
    if (place.bExists && !S_ISREG(place.st.st_mode)) {
        const mode_t type = place.st.st_mode & S_IFMT;
        if (type == S_IFDIR) return Fail(ErrnoText(EISDIR));
        if (type == S_IFBLK) return Fail(QStringLiteral("It is a block device; files are written, never disks."));
        if (type == S_IFSOCK) return Fail(QStringLiteral("It is a socket."));
        if (bFileOnly) return Fail(notAFile);
        // A device or a FIFO is never replaced: what is written goes into it.
        m_fd = ::open(place.path.constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (m_fd < 0) {
            if (errno == ENXIO && type == S_IFIFO) return Fail(QStringLiteral("No program is reading from the FIFO."));
            return Fail(errno);
        }
        // Writes into a full pipe wait for its reader, as they should.
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
        m_bDirect = true;
        return true;
    }
    if (place.bProcLink) return Fail(QStringLiteral("A file named through /proc cannot be replaced."));
    m_target = place.path;
    m_dir = place.dir;
    return OpenTemporary(place.dir, BaseName(place.path), place.bExists ? &place.st : nullptr);
}

bool CSafeFile::OpenDescriptor(int fd)
{
    Discard();
    m_bFailed = false;
    m_error.clear();
    // Descriptors 0..2 that were closed at the start now lead to /dev/null.
    if (WasStandardStreamClosed(fd)) return Fail(QStringLiteral("It was closed when the program started."));
    m_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (m_fd < 0) return Fail(errno);
    m_bDirect = true;
    return true;
}

bool CSafeFile::OpenTemporary(const QByteArray& dir, const QByteArray& base, const struct stat* pExisting)
{
    // Without a name the file cannot outlive a crash; it gets one at Commit,
    // through /proc (so without /proc it is named from the start).
    m_bAnonymous = false;
#ifdef O_TMPFILE
    if (::access("/proc/self/fd", X_OK) == 0) {
        m_fd = ::open(dir.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            m_bAnonymous = true;
        } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return Fail(errno);
        }
    }
#endif
    for (int attempt = 0; m_fd < 0 && attempt < 100; ++attempt) {
        const QByteArray name = TemporaryName(dir, base);
        m_fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            m_temporary = name;
        } else if (errno != EEXIST) {
            return Fail(errno);
        }
    }
    if (m_fd < 0) return Fail(EEXIST);
    if (pExisting) {
        // The replacement keeps the old file's permissions and, where we
        // may, its owner.
        if (::fchmod(m_fd, pExisting->st_mode & 07777) != 0) {
            const int err = errno;
            Discard();
            return Fail(err);
        }
        if (::geteuid() == 0) (void)!::fchown(m_fd, pExisting->st_uid, pExisting->st_gid);
    }
    return true;
}

bool CSafeFile::Write(const void* data, size_t n)
{
    if (m_fd < 0 || m_bFailed) return Fail(m_bFailed ? m_error : ErrnoText(EBADF));
    int err = 0;
    if (!WriteAllTo(m_fd, static_cast<const char*>(data), n, err)) return Fail(err);
    return true;
}

bool CSafeFile::WriteAt(uint64_t offset, const void* data, size_t n)
{
    if (m_fd < 0 || m_bFailed) return Fail(m_bFailed ? m_error : ErrnoText(EBADF));
    if (m_bDirect) return Fail(ErrnoText(ESPIPE));
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = ::pwrite(m_fd, p, n, off_t(offset));
        if (w < 0) {
            if (errno == EINTR) continue;
            return Fail(errno);
        }
        if (w == 0) return Fail(EIO);
        p += w;
        n -= size_t(w);
        offset += uint64_t(w);
    }
    return true;
}

bool CSafeFile::LinkTemporary()
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = TemporaryName(m_dir, BaseName(m_target));
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW) == 0) {
            m_temporary = name;
            return true;
        }
        if (errno != EEXIST) return Fail(errno);
    }
    return Fail(EEXIST);
}

bool CSafeFile::Commit()
{
    if (m_fd < 0) return Fail(m_bFailed ? m_error : ErrnoText(EBADF));
    if (m_bFailed) {
        const QString reason = m_error;
        Discard();
        return Fail(reason);
    }
    if (m_bDirect) {
        // Devices and pipes have nothing to sync; a descriptor on a file does.
        const bool bSynced = ::fsync(m_fd) == 0 || errno == EINVAL || errno == EROFS;
        const int syncErr = errno;
        const bool bClosed = ::close(m_fd) == 0 || errno == EINTR;
        const int closeErr = errno;
        m_fd = -1;
        m_bDirect = false;
        if (!bSynced) return Fail(syncErr);
        if (!bClosed) return Fail(closeErr);
        return true;
    }
    if (::fsync(m_fd) != 0) {
        const int err = errno;
        Discard();
        return Fail(err);
    }
    if (m_bAnonymous && !LinkTemporary()) {
        const QString reason = m_error;
        Discard();
        return Fail(reason);
    }
    const int closeResult = ::close(m_fd);
    const int closeErr = errno;
    m_fd = -1;
    if (closeResult != 0 && closeErr != EINTR) {
        Discard();
        return Fail(closeErr);
    }
    // Whatever took the target's place meanwhile must not be renamed over
    // if it is no regular file either.
    struct stat st{};
    if (::lstat(m_target.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        Discard();
        return Fail(QStringLiteral("It is no longer a regular file."));
    }
    if (::rename(m_temporary.constData(), m_target.constData()) != 0) {
        const int err = errno;
        Discard();
        return Fail(err);
    }
    m_temporary.clear();
    // The new name must last too; the file itself is in place already.
    const int dirFd = ::open(m_dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

void CSafeFile::Discard()
{
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    if (!m_temporary.isEmpty()) ::unlink(m_temporary.constData());
    m_temporary.clear();
    m_bDirect = false;
    m_bAnonymous = false;
}

bool WriteWholeFile(const QString& path, QByteArrayView bytes, QString& error)
{
    CSafeFile file;
    const bool bOk = file.Open(path) && file.Write(bytes) && file.Commit();
    error = bOk ? QString() : file.ErrorString();
    return bOk;
}

// --- reading ---

ReadResult ReadSmallFile(const QString& path, qsizetype nMaxBytes, QByteArray& bytes, QString& error)
{
    return Read(path, nMaxBytes, ReadKind::SmallFile, bytes, error);
}

ReadResult ReadPrefix(const QString& path, qsizetype nMaxBytes, QByteArray& bytes, QString& error)
{
    return Read(path, nMaxBytes, ReadKind::Prefix, bytes, error);
}

// --- names ---

QByteArray FileSystemName(const QString& path)
{
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.isEmpty() || bytes.contains('\0') || QFile::decodeName(bytes) != path) return {};
    return bytes;
}

bool NameFromBytes(const QByteArray& bytes, QString& name)
{
    name = QFile::decodeName(bytes);
    return QFile::encodeName(name) == bytes;
}

QString PrintableName(const QByteArray& bytes)
{
    QString shown;
    qsizetype i = 0;
    while (i < bytes.size()) {
        // The longest piece from here that decodes back to itself.
        qsizetype len = std::min<qsizetype>(4, bytes.size() - i);
        for (; len > 0; --len) {
            const QByteArray piece = bytes.mid(i, len);
            const QString text = QFile::decodeName(piece);
            if (QFile::encodeName(text) == piece) {
                shown += text;
                break;
            }
        }
        if (len == 0) {
            shown += QStringLiteral("\\x%1").arg(uint(uint8_t(bytes[i])), 2, 16, QLatin1Char('0'));
            len = 1;
        }
        i += len;
    }
    return shown;
}

// --- standard streams ---

void GuardStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        g_closedAtStart[size_t(fd)] = true;
        // The lowest free descriptor: this one, as the lower ones are open.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) ::close(opened);
    }
}

bool WasStandardStreamClosed(int fd)
{
    return fd >= 0 && fd <= 2 && g_closedAtStart[size_t(fd)].load();
}

} // namespace files
