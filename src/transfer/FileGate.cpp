// SPDX-License-Identifier: GPL-3.0-or-later
#include "FileGate.h"
#include "Failure.h"
#include "PrivateFile.h"

#include <QFile>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
    return timespecNs(ts);
}

qint64 mtimeOf(const struct stat& st)
{
    return timespecNs(st.st_mtim);
}

// A lease is broken with SIGIO, whose default action ends the process. The
// lease is only held for an instant, but a writer opening the file in that
// instant must not kill the program.
void ignoreLeaseBreakSignal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa
        {
        };
        sa.sa_handler = SIG_IGN;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGIO, &sa, nullptr);
    });
}

enum class Writers { None, Some, Unknown };

// Whether some process has the file open for writing. A read lease can only be
// had when nobody has. The lease is refused outright for a file of another user
// (without CAP_LEASE) and on file systems without leases (network shares); that
// says nothing about writers, so the answer is then Unknown, never None.
Writers openForWriting(int fd)
{
    ignoreLeaseBreakSignal();
    if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        fcntl(fd, F_SETLEASE, F_UNLCK);
        return Writers::None;
    }
    return errno == EAGAIN || errno == EBUSY ? Writers::Some : Writers::Unknown;
}

Result check(int fd, const Expectation& expected, const struct stat& st)
{
    if (expected.listed.size >= 0 &&
        (st.st_size != expected.listed.size || mtimeOf(st) != expected.listed.mtimeNs))
        return {Verdict::BeingWritten, QStringLiteral("changed since it was listed")};
    const Writers writers = openForWriting(fd);
    if (writers == Writers::Some)
        return {Verdict::BeingWritten, QStringLiteral("still open for writing")};
    if (!expected.trusted) {
        const qint64 age = nowNs() - mtimeOf(st);
        // A modification time in the future says nothing about a writer; only a
        // recent one holds the file back. Where nobody can tell whether a writer
        // still has the file open, only a long silence makes it likely that the
        // writer is done.
        if (age >= 0 && age < QuietNs)
            return {Verdict::BeingWritten, QStringLiteral("modified moments ago")};
        if (writers == Writers::Unknown && age >= 0 && age < UnknownWriterQuietNs)
            return {Verdict::BeingWritten,
                    QStringLiteral("modified less than %1 minutes ago, and whether it is still being written "
                                   "cannot be told (a file of another user, or on a network share)")
                        .arg(UnknownWriterQuietNs / 60'000'000'000)};
    }
    return {Verdict::Ready, {}, FileStamp::of(st)};
}

/// The file opened for reading, or why it cannot be.
PrivateFile::Opened openForReading(const QString& path, Result& failure)
{
    // A FIFO in the folder must not hang the window, and a link put in the
    // place of a listed file must not hand its target to the page.
    PrivateFile::Opened file = PrivateFile::open(QFile::encodeName(path).constData(), O_RDONLY);
    const PrivateFile::Outcome& o = file.outcome;
    using Failed = PrivateFile::Outcome::Failed;
    if (o.failed == Failed::Open)
        failure = {o.error == ENOENT ? Verdict::Vanished : Verdict::Unreadable,
                   o.error == ENOENT ? QStringLiteral("File not found: %1").arg(path)
                   : o.error == ELOOP
                       ? QStringLiteral("%1 is a symbolic link; links are never followed").arg(path)
                       : QStringLiteral("Cannot open %1: %2").arg(path, systemErrorText(o.error))};
    else if (o.failed == Failed::NotRegular)
        failure = {Verdict::Unreadable, QStringLiteral("%1 is not a regular file").arg(path)};
    else if (!o.ok())
        failure = {Verdict::Unreadable,
                   QStringLiteral("Cannot read %1: %2").arg(path, systemErrorText(o.error))};
    return file;
}

} // namespace

Result checkComplete(const QString& path, const Expectation& expected)
{
    Result failure;
    const PrivateFile::Opened file = openForReading(path, failure);
    if (!file.outcome.ok())
        return failure;
    return check(file.fd.get(), expected, file.st);
}

Opened openChecked(const QString& path, const Expectation& expected)
{
    Opened opened;
    PrivateFile::Opened file = openForReading(path, opened.result);
    if (!file.outcome.ok())
        return opened;
    opened.result = check(file.fd.get(), expected, file.st);
    if (opened.result.verdict == Verdict::Ready) {
        opened.fd = std::move(file.fd);
        opened.st = file.st;
    }
    return opened;
}

bool openForWritingNow(int fd)
{
    return openForWriting(fd) == Writers::Some;
}

Result readWhole(const QString& path, const Expectation& expected, QByteArray& dest, qsizetype reserveExtra)
{
    Result failure;
    const PrivateFile::Opened file = openForReading(path, failure);
    if (!file.outcome.ok())
        return failure;
    const int fd = file.fd.get();
    const struct stat& before = file.st;
    Result verdict = check(fd, expected, before);
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
    const PrivateFile::Outcome read = PrivateFile::readUpTo(fd, dest.data() + start, std::size_t(size));
    if (!read.ok() || qint64(read.bytes) < size) {
        dest.resize(start);
        if (read.ok())
            return {Verdict::BeingWritten, QStringLiteral("shorter than when it was opened")};
        return {Verdict::Unreadable,
                QStringLiteral("Cannot read %1: %2").arg(path, systemErrorText(read.error))};
    }
    // Anything written while it was read makes the copy suspect: leave it for later.
    struct stat after;
    char extra;
    if (fstat(fd, &after) != 0 || after.st_size != before.st_size || mtimeOf(after) != mtimeOf(before) ||
        PrivateFile::readUpTo(fd, &extra, 1).bytes > 0) {
        dest.resize(start);
        return {Verdict::BeingWritten, QStringLiteral("changed while it was read")};
    }
    return {Verdict::Ready, {}, FileStamp::of(after)};
}

std::optional<FileStamp> identityAt(const QString& path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return FileStamp::of(st);
}

qint64 fileClockNowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    return timespecNs(ts);
}

std::optional<FileStamp> createdSince(const QString& path, qint64 sinceNs)
{
    struct statx sx;
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_SYMLINK_NOFOLLOW,
                STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return std::nullopt;
    if (!(sx.stx_mask & STATX_BTIME) || sx.stx_uid != ::geteuid() || !S_ISREG(sx.stx_mode))
        return std::nullopt;
    const qint64 born = timespecNs({sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec});
    if (born < sinceNs)
        return std::nullopt;
    return FileStamp{makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino, qint64(sx.stx_size),
                     timespecNs({sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec})};
}

Removal removeIfUnchanged(const QString& path, const FileStamp& identity, QString* why)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st;
    // lstat: a link now standing under the name is not the file that was read.
    if (::lstat(native.constData(), &st) != 0) {
        const int err = errno;
        *why = err == ENOENT ? QStringLiteral("File not found") : systemErrorText(err);
        return err == ENOENT ? Removal::Gone : Removal::Refused;
    }
    if (FileStamp::of(st) != identity) {
        *why = QStringLiteral("changed after it was read");
        return Removal::Changed;
    }
    if (::unlink(native.constData()) != 0) {
        const int err = errno;
        *why = systemErrorText(err);
        return err == ENOENT ? Removal::Gone : Removal::Refused;
    }
    return Removal::Removed;
}

} // namespace FileGate
