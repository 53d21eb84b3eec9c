// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a file for upload only when it is whole: never a file that vanished,
// changed since it was listed, is still open for writing or was modified in the
// last two seconds (ten minutes where no lease can tell whether a writer has
// it open). Quillfeed's own completed files (scanned pages, converter output)
// skip the quiet-time test. Links are never followed.
#pragma once

#include "FileStamp.h"
#include "UniqueHandle.h"

#include <QByteArray>
#include <QString>

#include <optional>

#include <sys/stat.h>

namespace FileGate {

enum class Verdict {
    Ready,        ///< read whole
    Vanished,     ///< gone since it was listed
    BeingWritten, ///< changed since listed, open for writing, or modified moments ago
    Unreadable,   ///< cannot be opened or read, or is not a regular file
};

struct Result
{
    Result(Verdict v = Verdict::Unreadable, QString d = {}, FileStamp id = {})
        : verdict(v), description(std::move(d)), identity(id)
    {
    }
    Verdict verdict;
    QString description;
    FileStamp identity; ///< of the file read or checked, when Ready
};

struct Expectation
{
    /// As listed: its size and modification time must still hold (not compared
    /// when the size is -1, unknown).
    FileStamp listed;
    bool trusted = false; ///< completed by Quillfeed itself
};

inline constexpr qint64 QuietNs = 2'000'000'000;
/// The quiet time of a file for which no lease can tell whether a writer still
/// has it open.
inline constexpr qint64 UnknownWriterQuietNs = 10 * 60'000'000'000LL;

/// Checks the file and, when it is ready, appends its whole content to dest
/// (dest is reserved for it plus reserveExtra bytes, so the caller can finish
/// its body without another copy). On any other verdict dest is unchanged.
Result readWhole(const QString& path, const Expectation& expected, QByteArray& dest,
                 qsizetype reserveExtra = 0);

/// The file opened for reading once the checks pass, for a caller that reads
/// it in pieces as they go out (fd is open only when the verdict is Ready).
struct Opened
{
    Result result;
    UniqueFd fd;
    struct stat st
    {
    };
};
Opened openChecked(const QString& path, const Expectation& expected);

/// Whether some process has the file open for writing now. Unknown (no lease
/// can tell) reads as no, as it does for the checks before reading.
bool openForWritingNow(int fd);

/// Only the checks, without reading (for files handed to another program).
Result checkComplete(const QString& path, const Expectation& expected);

/// What stands under the name now (a link itself, not its target); none when
/// nothing does or it cannot be examined.
std::optional<FileStamp> identityAt(const QString& path);

/// The realtime clock as file times are stamped (the coarse clock), for createdSince.
qint64 fileClockNowNs();

/// What stands under the name, when it is a file this user created at or after
/// sinceNs (by the file system's birth time; none where the system keeps none).
/// Tells a file a failed step left behind from one somebody put there.
std::optional<FileStamp> createdSince(const QString& path, qint64 sinceNs);

enum class Removal {
    Removed,
    Gone,    ///< nothing under the name any more
    Changed, ///< another file, or a newer version, stands under the name: kept
    Refused, ///< the system would not delete it (permissions, immutable, read-only)
};

/// Removes the file at path only while it is still the file that was read or
/// made; a newer version saved under the same name is left alone. Sets why to
/// the system's reason unless the file was removed.
Removal removeIfUnchanged(const QString& path, const FileStamp& identity, QString* why);

} // namespace FileGate
