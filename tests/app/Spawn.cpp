#include "app/Spawn.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace spawn {

namespace {

struct Prepared
{
    std::vector<QByteArray> argStore, envStore;
    std::vector<char*> argv, envp;
};

Prepared Prepare(const QByteArray& binary, const QList<QByteArray>& args, const Options& options)
{
    Prepared p;
    p.argStore.push_back(binary);
    for (const QByteArray& arg : args) p.argStore.push_back(arg);
    for (char** e = environ; *e; ++e) {
        const QByteArray entry(*e);
        bool bReplaced = false;
        for (const auto& [name, value] : options.env) bReplaced = bReplaced || entry.startsWith(name + '=');
        if (!bReplaced) p.envStore.push_back(entry);
    }
    for (const auto& [name, value] : options.env) {
        if (!value.isEmpty()) p.envStore.push_back(name + '=' + value);
    }
    for (QByteArray& a : p.argStore) p.argv.push_back(a.data());
    p.argv.push_back(nullptr);
    for (QByteArray& e : p.envStore) p.envp.push_back(e.data());
    p.envp.push_back(nullptr);
    return p;
}

// In the child, after fork: async-signal-safe calls only.
[[noreturn]] void Exec(const Prepared& p, const Options& options, int outFd, int errFd)
{
    if (outFd >= 0) ::dup2(outFd, 1);
    if (errFd >= 0) ::dup2(errFd, 2);
    if (options.out == Options::Out::Closed) ::close(1);
    if (options.nFileSizeLimit >= 0) {
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = rlim_t(options.nFileSizeLimit);
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    // Whatever the test runner ignores, the program starts with defaults.
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGXFSZ, SIG_DFL);
    if (!options.cwd.isEmpty() && ::chdir(options.cwd.constData()) != 0) ::_exit(126);
    ::execve(p.argv[0], p.argv.data(), p.envp.data());
    ::_exit(127);
}

int OutputFd(const Options& options, int captured)
{
    switch (options.out) {
    case Options::Out::Captured: return captured;
    case Options::Out::DevFull: return ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    case Options::Out::File: return ::open(options.outFile.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    default: return -1;
    }
}

} // namespace

Result Run(const QByteArray& binary, const QList<QByteArray>& args, const Options& options, int timeoutMs)
{
    Result r;
    const Prepared p = Prepare(binary, args, options);
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return r;
    int outFd = OutputFd(options, outPipe[1]);
    if (options.out == Options::Out::BrokenPipe) {
        ::close(outPipe[0]);
        outPipe[0] = -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) Exec(p, options, options.out == Options::Out::BrokenPipe ? outPipe[1] : outFd, errPipe[1]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (outFd >= 0 && outFd != outPipe[1]) ::close(outFd);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<pollfd> fds;
    if (outPipe[0] >= 0) fds.push_back({outPipe[0], POLLIN, 0});
    fds.push_back({errPipe[0], POLLIN, 0});
    bool bKilled = false;
    while (!fds.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            bKilled = true;
            break;
        }
        if (::poll(fds.data(), fds.size(), int(left.count())) < 0) continue;
        for (size_t i = 0; i < fds.size();) {
            if (fds[i].revents == 0) {
                ++i;
                continue;
            }
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (fds[i].fd == errPipe[0] ? r.err : r.out).append(buffer, n);
                ++i;
            } else {
                ::close(fds[i].fd);
                fds.erase(fds.begin() + long(i));
            }
        }
    }
    for (const pollfd& fd : fds) ::close(fd.fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!bKilled && WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

pid_t Start(const QByteArray& binary, const QList<QByteArray>& args, const Options& options)
{
    const Prepared p = Prepare(binary, args, options);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) Exec(p, options, devNull, devNull);
    ::close(devNull);
    return pid;
}

int Wait(pid_t pid)
{
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace spawn
