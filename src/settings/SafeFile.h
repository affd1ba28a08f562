#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstddef>
#include <cstdint>

struct stat;

// Files as every part of the program writes and reads them. A write either
// replaces its target completely or leaves it exactly as it was; a read takes
// a bounded number of bytes and never waits for a writer that does not come.
// Names travel as QString; a name whose bytes cannot be spelled as one is
// refused, never turned into another name.
namespace files {

// What a writer accepts in place of a regular file.
enum class Target {
    // A regular file is replaced whole (written beside it, renamed over it).
    // A character device, a FIFO with a reader, or an open descriptor named
    // as /dev/stdout, /dev/fd/N or /proc/self/fd/N is written directly.
    FileOrStream,
    // A regular file only: the writer goes back to fill in a header.
    FileOnly,
};

class CSafeFile
{
public:
    CSafeFile() = default;
    // Discards whatever was not committed.
    ~CSafeFile();
    CSafeFile(const CSafeFile&) = delete;
    CSafeFile& operator=(const CSafeFile&) = delete;

    // Prepares the write: checks the target and opens the temporary file
    // beside it (or the stream). Nothing about the target changes yet.
    bool Open(const QString& path, Target target = Target::FileOrStream);
    // Writes into standard output as it is; fails when it was closed.
    bool OpenStandardOutput() { return OpenDescriptor(1); }
    // Appends all n bytes; after the first failure every call fails.
    bool Write(const void* data, size_t n);
    bool Write(QByteArrayView bytes) { return Write(bytes.data(), size_t(bytes.size())); }
    // Rewrites bytes already written (FileOnly targets).
    bool WriteAt(uint64_t offset, const void* data, size_t n);
    // Syncs, closes and puts the file in place of the target. True only when
    // every byte reached the file system; on failure the target is as it was
    // (a stream keeps what already reached it).
    bool Commit();
    // Gives up: the temporary file is removed, the target left as it was.
    void Discard();

    bool IsOpen() const { return m_fd >= 0; }
    // The temporary file itself, for a writer that seeks in what it wrote
    // (libsndfile) on a FileOnly target. A failure it meets there is its to
    // report, with Discard.
    int Descriptor() const { return m_fd; }
    // Written straight into a device, FIFO or descriptor.
    bool IsDirect() const { return m_bDirect; }
    // Why the last call failed: the system's reason, or what is wrong with
    // the target.
    const QString& ErrorString() const { return m_error; }

private:
    bool OpenDescriptor(int fd);
    bool Fail(int err);
    bool Fail(const QString& reason);
    // pExisting: the file replaced, whose permissions the new one takes.
    bool OpenTemporary(const QByteArray& dir, const QByteArray& base, const struct stat* pExisting);
    bool LinkTemporary();

    int m_fd = -1;
    bool m_bDirect = false;
    bool m_bFailed = false;
    bool m_bAnonymous = false;  // the temporary file has no name until Commit
    QByteArray m_target;        // the file replaced (links followed)
    QByteArray m_dir;           // its folder, where the temporary file lives
    QByteArray m_temporary;     // the temporary file's name, once it has one
    QString m_error;
};

// path holds exactly bytes afterwards, or is as it was; error says why not.
bool WriteWholeFile(const QString& path, QByteArrayView bytes, QString& error);

enum class ReadResult { Read, Missing, NotAFile, TooLarge, Failed };

// A regular file of at most nMaxBytes, whole. Anything else (a FIFO, a
// device, a folder, a larger file) is not read at all.
ReadResult ReadSmallFile(const QString& path, qsizetype nMaxBytes, QByteArray& bytes, QString& error);
// The first nMaxBytes of a regular file, a FIFO or a character device (what
// there is of them); a stream that sends nothing for a few seconds fails.
ReadResult ReadPrefix(const QString& path, qsizetype nMaxBytes, QByteArray& bytes, QString& error);

// --- names ---

// The bytes that name path on the file system; empty when path has none
// that decode back to it.
QByteArray FileSystemName(const QString& path);
// A name given as bytes (a command-line argument): false when the bytes are
// not the encoding of any text, so that no QString would reach that file.
bool NameFromBytes(const QByteArray& bytes, QString& name);
// The bytes as a message shows them: undecodable bytes as \xHH.
QString PrintableName(const QByteArray& bytes);

// --- standard streams ---

// Opens /dev/null on descriptors 0..2 that are closed, so that no file the
// program opens lands on them, and remembers which were closed.
void GuardStandardStreams();
// Descriptor fd (0..2) was closed when the program started.
bool WasStandardStreamClosed(int fd);

} // namespace files
