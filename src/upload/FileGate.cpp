#include "FileGate.h"
#include "Failure.h"

#include <QFile>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>

namespace FileGate {
namespace {

qint64 nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

qint64 mtimeOf(const struct stat& st)
{
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

Identity identityOf(const struct stat& st)
{
    return {quint64(st.st_dev), quint64(st.st_ino), qint64(st.st_size), mtimeOf(st)};
}

class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// A lease is broken with SIGIO, whose default action ends the process. The
// lease is only held for an instant, but a writer opening the file in that
// instant must not kill the program.
void ignoreLeaseBreakSignal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa{};
        sa.sa_handler = SIG_IGN;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGIO, &sa, nullptr);
    });
}

// True when some process has the file open for writing. A read lease can only
// be had when nobody has; where leases are not supported the test is passed over.
bool openForWriting(int fd)
{
    ignoreLeaseBreakSignal();
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        fcntl(fd, F_SETLEASE, F_UNLCK);
        return false;
    }
    return errno == EAGAIN || errno == EBUSY;
}

Result check(int fd, const QString& path, const Expectation& expected, struct stat& st)
{
    if (fstat(fd, &st) != 0)
        return {Verdict::Unreadable, QStringLiteral("Cannot read %1: %2").arg(path, systemErrorText(errno))};
    if (!S_ISREG(st.st_mode))
        return {Verdict::Unreadable, QStringLiteral("%1 is not a regular file").arg(path)};
    if (expected.size >= 0 && (st.st_size != expected.size || mtimeOf(st) != expected.mtimeNs))
        return {Verdict::BeingWritten, QStringLiteral("changed since it was listed")};
    if (openForWriting(fd))
        return {Verdict::BeingWritten, QStringLiteral("still open for writing")};
    if (!expected.trusted) {
        const qint64 age = nowNs() - mtimeOf(st);
        // A modification time in the future says nothing about a writer; only a
        // recent one holds the file back.
        if (age >= 0 && age < QuietNs)
            return {Verdict::BeingWritten, QStringLiteral("modified moments ago")};
    }
    return {Verdict::Ready, {}};
}

int openForReading(const QString& path, Result& failure)
{
    const QByteArray native = QFile::encodeName(path);
    // O_NONBLOCK: a FIFO in the folder must not hang the window.
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int err = errno;
        failure = {err == ENOENT ? Verdict::Vanished : Verdict::Unreadable,
                   err == ENOENT ? QStringLiteral("File not found: %1").arg(path)
                                 : QStringLiteral("Cannot open %1: %2").arg(path, systemErrorText(err))};
    }
    return fd;
}

} // namespace

Result checkComplete(const QString& path, const Expectation& expected)
{
    Result failure;
    Fd fd(openForReading(path, failure));
    if (fd.get() < 0)
        return failure;
    struct stat st;
    return check(fd.get(), path, expected, st);
}

Result readWhole(const QString& path, const Expectation& expected, QByteArray& dest, qsizetype reserveExtra)
{
    Result failure;
    Fd fd(openForReading(path, failure));
    if (fd.get() < 0)
        return failure;
    struct stat before;
    Result verdict = check(fd.get(), path, expected, before);
    if (verdict.verdict != Verdict::Ready)
        return verdict;

    const qsizetype start = dest.size();
    const qint64 size = before.st_size;
    if (size > qint64(std::numeric_limits<qsizetype>::max() / 2))
        return {Verdict::Unreadable, QStringLiteral("%1 is too large to send").arg(path)};
    try {
        dest.reserve(start + qsizetype(size) + reserveExtra);
        dest.resize(start + qsizetype(size));
    } catch (const std::bad_alloc&) {
        dest.resize(start);
        return {Verdict::Unreadable, QStringLiteral("Not enough memory to read %1").arg(path)};
    }
    char* out = dest.data() + start;
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd.get(), out + done, size_t(qMin<qint64>(size - done, 1 << 24)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : 0;
            dest.resize(start);
            if (n == 0)
                return {Verdict::BeingWritten, QStringLiteral("shorter than when it was opened")};
            return {Verdict::Unreadable, QStringLiteral("Cannot read %1: %2").arg(path, systemErrorText(err))};
        }
        done += n;
    }
    // Anything written while it was read makes the copy suspect: leave it for later.
    struct stat after;
    char extra;
    if (fstat(fd.get(), &after) != 0 || after.st_size != before.st_size || mtimeOf(after) != mtimeOf(before) ||
        ::read(fd.get(), &extra, 1) > 0) {
        dest.resize(start);
        return {Verdict::BeingWritten, QStringLiteral("changed while it was read")};
    }
    return {Verdict::Ready, {}, identityOf(after)};
}

bool removeIfUnchanged(const QString& path, const Identity& identity, QString* why)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    if (::stat(native.constData(), &st) != 0) {
        *why = errno == ENOENT ? QStringLiteral("File not found") : systemErrorText(errno);
        return false;
    }
    if (identityOf(st) != identity) {
        *why = QStringLiteral("changed after it was sent");
        return false;
    }
    if (::unlink(native.constData()) != 0) {
        *why = systemErrorText(errno);
        return false;
    }
    return true;
}

} // namespace FileGate
