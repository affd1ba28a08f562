#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <sys/types.h>

// Runs the real binary as a shell would, with what a QProcess cannot give
// it: arguments as raw bytes, standard output closed, on /dev/full or on a
// pipe nobody reads, a file-size limit, a current folder of any name.
namespace spawn {

struct Options
{
    enum class Out { Captured, Closed, DevFull, BrokenPipe, File };
    Out out = Out::Captured;
    QByteArray outFile;           // Out::File
    long long nFileSizeLimit = -1;  // RLIMIT_FSIZE; SIGXFSZ left at its default
    QByteArray cwd;               // empty: the test's own
    QList<QPair<QByteArray, QByteArray>> env;  // set (an empty value unsets)
};

struct Result
{
    int exitCode = -1;   // -1 when it did not exit normally
    int signal = 0;      // the signal that ended it
    QByteArray out, err;
};

// Runs binary with args and waits (at most timeoutMs, then SIGKILL).
Result Run(const QByteArray& binary, const QList<QByteArray>& args, const Options& options = {},
           int timeoutMs = 30000);

// Starts binary with its output going nowhere; the caller waits with Wait.
pid_t Start(const QByteArray& binary, const QList<QByteArray>& args, const Options& options = {});
// Waits for pid; the exit code, or -1 when a signal ended it.
int Wait(pid_t pid);

} // namespace spawn
