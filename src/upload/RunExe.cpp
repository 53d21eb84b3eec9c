#include "RunExe.h"

#include "Logging.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// A missing program must come back as -1 from the spawn call itself, at once.
// Older glibc reported exec failures only through the child's exit status 127,
// which cannot be told apart from a program that exits with 127.
#if defined(__GLIBC__) && !defined(__UCLIBC__)                                                        \
    && (__GLIBC__ < 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ < 24))
#error "posix_spawn on this glibc does not report exec failures; glibc 2.24 or later is needed"
#endif

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
    bool inToken = false;  // a token has begun, even an empty quoted one ("")
    bool quoted = false;

    const qsizetype n = commandLine.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = commandLine.at(i);
        if (quoted) {
            if (c == u'\\' && i + 1 < n && (commandLine.at(i + 1) == u'"' || commandLine.at(i + 1) == u'\\')) {
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

int RunAndWait(const QString& commandLine)
{
    const std::optional<QStringList> tokens = SplitCommandLine(commandLine);
    if (!tokens) {
        qCWarning(lcUpload) << "cannot run a malformed command line:" << commandLine;
        return -1;
    }

    // The bytes must outlive the spawn call; argv points into them.
    std::vector<QByteArray> bytes;
    bytes.reserve(tokens->size());
    for (qsizetype i = 0; i < tokens->size(); ++i) {
        const QString& t = tokens->at(i);
        // A NUL cannot travel in an argument; cutting the text there would run
        // the program on something else than what was asked.
        if (t.contains(QChar(u'\0'))) {
            qCWarning(lcUpload) << "cannot run a command line holding a NUL character";
            return -1;
        }
        bytes.push_back(i == 0 ? QFile::encodeName(t) : t.toLocal8Bit());
    }
    std::vector<char*> argv;
    argv.reserve(bytes.size() + 1);
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);

    // The program starts with ordinary signal handling whatever the caller has
    // blocked or ignored; file descriptors not marked close-on-exec are inherited,
    // standard output and error among them.
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0)
        return -1;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    // posix_spawnp searches PATH only for a name without a slash, like execvp.
    pid_t pid = -1;
    const int err = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (err != 0) {
        qCWarning(lcUpload) << "cannot start" << tokens->first() << ":" << std::strerror(err);
        return -1;
    }

    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, 0);
        if (r == pid)
            break;
        if (r < 0 && errno == EINTR)
            continue;
        // ECHILD: someone else reaped the program (SIGCHLD ignored); its exit
        // code is gone.
        qCWarning(lcUpload) << "lost track of" << tokens->first() << ":" << std::strerror(errno);
        return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    qCWarning(lcUpload) << tokens->first() << "ended by signal" << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return -1;
}

} // namespace RunExe
