// SPDX-License-Identifier: GPL-3.0-or-later
#include "RunExe.h"

#include "Failure.h"
#include "Logging.h"

#include <QFile>

#include <algorithm>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace RunExe {

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

} // namespace

std::optional<QStringList> SplitCommandLine(const QString& commandLine)
{
    QStringList tokens;
    QString token;
    bool inToken = false; // a token has begun, even an empty quoted one ("")
    bool quoted = false;

    const qsizetype n = commandLine.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = commandLine.at(i);
        if (quoted) {
            if (c == u'\\' && i + 1 < n &&
                (commandLine.at(i + 1) == u'"' || commandLine.at(i + 1) == u'\\')) {
                token += commandLine.at(++i);
            } else if (c == u'"') {
                quoted = false;
            } else {
                token += c;
            }
            continue;
        }
        if (isBlank(c)) {
            if (inToken) {
                tokens << token;
                token.clear();
                inToken = false;
            }
            continue;
        }
        inToken = true;
        if (c == u'"')
            quoted = true;
        else
            token += c;
    }
    if (quoted)
        return std::nullopt;
    if (inToken)
        tokens << token;
    if (tokens.isEmpty() || tokens.first().isEmpty())
        return std::nullopt;
    return tokens;
}

QString QuoteArgument(const QString& argument)
{
    QString out;
    out.reserve(argument.size() + 2);
    out += u'"';
    for (const QChar c : argument) {
        if (c == u'"' || c == u'\\')
            out += u'\\';
        out += c;
    }
    out += u'"';
    return out;
}

namespace {

/// Where the program may be, in the order execvp would try: the name itself when
/// it holds a slash, else each folder of PATH. Worked out before fork, since the
/// child of a program with threads may only make system calls.
std::vector<QByteArray> candidatePaths(const QByteArray& name)
{
    if (name.contains('/'))
        return {name};
    const char* path = std::getenv("PATH");
    const QByteArray folders = path ? QByteArray(path) : QByteArray("/bin:/usr/bin");
    std::vector<QByteArray> out;
    for (const QByteArray& folder : folders.split(':'))
        out.push_back((folder.isEmpty() ? QByteArray(".") : folder) + '/' + name);
    return out;
}

/// The last line that holds anything but blanks.
QString lastLineOf(const QByteArray& text)
{
    const QList<QByteArray> lines = text.split('\n');
    for (auto it = lines.crbegin(); it != lines.crend(); ++it) {
        const QByteArray line = it->trimmed();
        if (!line.isEmpty())
            return QString::fromLocal8Bit(line.right(1000));
    }
    return {};
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

/// Whether the program has ended, without reaping it: its process id, and
/// with it the number of its group, stays ours until waitpid.
bool hasEnded(pid_t pid)
{
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

struct Watched
{
    QByteArray tail; ///< the end of what it wrote on standard error
    bool overran = false;
};

/// Passes what the program writes on its standard error (errFd, -1 when not
/// captured) on to ours while it runs, keeping the end of it, and stops the
/// program's group once it runs past the limit. Returns when the program has
/// ended; a process of its own that keeps the pipe open does not hold the caller.
Watched watch(pid_t pid, int errFd, std::optional<std::chrono::milliseconds> limit)
{
    using Clock = std::chrono::steady_clock;
    Watched out;
    int pidFd = int(::syscall(SYS_pidfd_open, pid, 0));
    // No deadline without a limit, and none once SIGKILL has gone.
    bool timed = limit.has_value();
    Clock::time_point deadline = timed ? Clock::now() + *limit : Clock::time_point::max();
    // Time for the program to remove what it was writing before it is killed.
    const std::chrono::milliseconds grace =
        limit ? std::min<std::chrono::milliseconds>(*limit, std::chrono::seconds(2))
              : std::chrono::milliseconds(0);
    int nextSignal = SIGTERM;
    bool ended = false;
    bool reading = errFd >= 0;
    char buf[4096];
    while (!ended || reading) {
        if (ended) {
            // What the program wrote before it ended is still read to the end.
            ::fcntl(errFd, F_SETFL, ::fcntl(errFd, F_GETFL) | O_NONBLOCK);
        } else {
            int timeout = -1;
            if (timed) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
                timeout = int(std::clamp<decltype(left)>(left, 0, 60'000));
            }
            // Without a pidfd the end is looked for between short waits.
            if (pidFd < 0)
                timeout = timeout < 0 ? 50 : std::min(timeout, 50);
            pollfd fds[2];
            nfds_t n = 0;
            if (reading)
                fds[n++] = {errFd, POLLIN, 0};
            if (pidFd >= 0)
                fds[n++] = {pidFd, POLLIN, 0};
            const int r = ::poll(fds, n, timeout);
            if (r < 0 && errno != EINTR && pidFd >= 0) {
                ::close(pidFd);
                pidFd = -1;
            }
            if (pidFd >= 0 ? r > 0 && fds[n - 1].revents != 0 : hasEnded(pid))
                ended = true;
            if (!ended && timed && Clock::now() >= deadline) {
                out.overran = true;
                ::kill(-pid, nextSignal);
                if (nextSignal == SIGTERM) {
                    nextSignal = SIGKILL;
                    deadline = Clock::now() + grace;
                } else {
                    timed = false;
                }
            }
            if (!reading || r <= 0 || fds[0].revents == 0)
                continue;
        }
        const ssize_t got = ::read(errFd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            reading = false;
            continue;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t w = ::write(STDERR_FILENO, buf + done, size_t(got - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                break;
            done += w;
        }
        out.tail.append(buf, got);
        if (out.tail.size() > 8192)
            out.tail.remove(0, out.tail.size() - 4096);
    }
    // What it started and left running goes with it.
    if (out.overran)
        ::kill(-pid, SIGKILL);
    if (pidFd >= 0)
        ::close(pidFd);
    return out;
}

int run(const QString& commandLine, QString* lastErrorLine, std::optional<std::chrono::milliseconds> limit,
        bool* overran)
{
    if (lastErrorLine)
        lastErrorLine->clear();
    if (overran)
        *overran = false;
    const std::optional<QStringList> tokens = SplitCommandLine(commandLine);
    if (!tokens) {
        qCWarning(lcCore) << "cannot run a malformed command line:" << commandLine;
        return -1;
    }

    // The bytes must outlive the child's exec; argv points into them.
    std::vector<QByteArray> bytes;
    bytes.reserve(tokens->size());
    for (qsizetype i = 0; i < tokens->size(); ++i) {
        const QString& t = tokens->at(i);
        // A NUL cannot travel in an argument; cutting the text there would run
        // the program on something else than what was asked.
        if (t.contains(QChar(u'\0'))) {
            qCWarning(lcCore) << "cannot run a command line holding a NUL character";
            return -1;
        }
        bytes.push_back(i == 0 ? QFile::encodeName(t) : t.toLocal8Bit());
    }
    std::vector<char*> argv;
    argv.reserve(bytes.size() + 1);
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    const std::vector<QByteArray> candidates = candidatePaths(bytes.front());
    char** const env = environ;

    // One pipe tells the parent why exec failed (nothing comes when it worked);
    // the other carries the program's standard error.
    int execPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (::pipe2(execPipe, O_CLOEXEC) != 0)
        return -1;
    const bool capture = ::pipe2(errPipe, O_CLOEXEC) == 0;
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    // No handler of this program may run in the child between fork and exec.
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        struct sigaction dfl
        {
        };
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig)
            ::sigaction(sig, &dfl, nullptr);
        // The program ends with the station: a converter left running would finish
        // its PDF beside a TIFF the next start converts again.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The station may have died before the line above took effect.
        if (::getppid() != parent)
            ::_exit(127);
        // A group of its own, so that a converter that hangs is stopped with
        // whatever it started.
        ::setpgid(0, 0);
        if (capture)
            ::dup2(errPipe[1], STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        int err = ENOENT;
        for (const QByteArray& c : candidates) {
            ::execve(c.constData(), argv.data(), env);
            // Like execvp: the search goes on past a folder without the program,
            // or with one that may not be run, and stops at any other failure.
            if (errno == EACCES) {
                err = EACCES;
            } else if (errno != ENOENT && errno != ENOTDIR) {
                err = errno;
                break;
            }
        }
        ssize_t ignored = ::write(execPipe[1], &err, sizeof err);
        (void)ignored;
        ::_exit(127);
    }
    const int forkErr = errno;
    // Also here, so that the group exists before the parent may signal it.
    if (pid > 0)
        ::setpgid(pid, pid);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    closeFd(execPipe[1]);
    closeFd(errPipe[1]);
    if (pid < 0) {
        closeFd(execPipe[0]);
        closeFd(errPipe[0]);
        qCWarning(lcCore) << "cannot start" << tokens->first() << ":" << systemErrorText(forkErr);
        return -1;
    }

    int execErr = 0;
    ssize_t got;
    do
        got = ::read(execPipe[0], &execErr, sizeof execErr);
    while (got < 0 && errno == EINTR);
    closeFd(execPipe[0]);
    Watched watched;
    if (got != ssize_t(sizeof execErr))
        watched = watch(pid, capture ? errPipe[0] : -1, limit);
    closeFd(errPipe[0]);

    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, 0);
        if (r == pid)
            break;
        if (r < 0 && errno == EINTR)
            continue;
        // ECHILD: someone else reaped the program (SIGCHLD ignored); its exit
        // code is gone.
        qCWarning(lcCore) << "lost track of" << tokens->first() << ":" << systemErrorText(errno);
        return -1;
    }
    if (got == ssize_t(sizeof execErr)) {
        qCWarning(lcCore) << "cannot start" << tokens->first() << ":" << systemErrorText(execErr);
        if (lastErrorLine)
            *lastErrorLine = systemErrorText(execErr);
        return -1;
    }
    if (lastErrorLine)
        *lastErrorLine = lastLineOf(watched.tail);
    if (watched.overran) {
        qCWarning(lcCore) << tokens->first() << "stopped after" << limit->count() << "ms";
        if (overran)
            *overran = true;
        return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    qCWarning(lcCore) << tokens->first() << "ended by signal" << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return -1;
}

} // namespace

int RunAndWait(const QString& commandLine)
{
    return run(commandLine, nullptr, std::nullopt, nullptr);
}

int RunAndWait(const QString& commandLine, QString* lastErrorLine)
{
    return run(commandLine, lastErrorLine, std::nullopt, nullptr);
}

int RunAndWait(const QString& commandLine, QString* lastErrorLine, std::chrono::milliseconds limit,
               bool* overran)
{
    return run(commandLine, lastErrorLine, limit, overran);
}

} // namespace RunExe
