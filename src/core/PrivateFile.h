// SPDX-License-Identifier: GPL-3.0-or-later
// The station's own files (its records, its settings, the TIFF handed to the
// converter) are opened only as regular files, without blocking and, unless a
// caller asks, without following a link: anyone who can put a FIFO, a device or
// a link under such a name must neither hold the window in open() for good nor
// have the station read or write some other file. Plain C++ on POSIX, so that
// the converter shares it.
#pragma once

#include "UniqueHandle.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace PrivateFile {

/// What a step on a file came to: done, or which part failed and the system's reason.
struct Outcome
{
    enum class Failed { Nothing, Open, Examine, NotRegular, Read, Write, Sync, Rename, Lock };
    Failed failed = Failed::Nothing;
    int error = 0;         ///< errno of the part that failed; 0 for NotRegular
    std::size_t bytes = 0; ///< read or written, also before a failure

    bool ok() const { return failed == Failed::Nothing; }
    /// The system's words for the failure; "it is not a regular file" for NotRegular.
    std::string reason() const;
};

enum class Links { Refused, Followed };

struct Opened
{
    UniqueFd fd; ///< -1 unless outcome is ok
    struct stat st
    {
    }; ///< the file as it was opened
    Outcome outcome;
};

/// Opens path with flags (the access mode, and O_CREAT, O_APPEND or O_EXCL as
/// wanted; close-on-exec and no controlling terminal always) as a regular
/// file: a link is refused (ELOOP) unless links says otherwise, and anything
/// else is closed again. Blocks neither in open() nor, as O_NONBLOCK is cleared
/// once it is open, in the reads and writes after.
Opened open(const char* path, int flags, Links links = Links::Refused, mode_t mode = S_IRUSR | S_IWUSR);

/// Writes all of data at offset at, or at the file's own offset when at is
/// negative (O_APPEND), through interrupted and short writes. A write that
/// takes nothing counts as ENOSPC.
Outcome writeAll(int fd, std::string_view data, off_t at = -1);

/// Reads up to size bytes into buffer from the file's offset: fewer (bytes)
/// only where the file ends.
Outcome readUpTo(int fd, char* buffer, std::size_t size);

/// The first cap bytes of the regular file at path (all of it when shorter);
/// none when it cannot be opened or read as one.
std::optional<std::string> read(const char* path, std::size_t cap, Links links = Links::Refused);

/// Replaces whatever stands at path by a file of the owner only holding data:
/// written beside it under a temporary name, synced, renamed over it, and the
/// folder synced, so that after a kill or a power cut the name holds the old
/// file or the new one, whole.
Outcome replace(const char* path, std::string_view data);

/// Brings the folder's entries (a file made or renamed in it) to the disk.
Outcome syncFolder(const char* folder);

/// The folder a path names its file in: "." for a bare name, "/" for one at the root.
std::string folderOf(std::string_view path);

/// Gives the file at from the name to, which must not be taken: a name that
/// appeared there since the caller looked is never replaced (the outcome then
/// fails at Rename with EEXIST). Works on file systems without
/// RENAME_NOREPLACE, and on those without hard links too.
Outcome publish(const char* from, const char* to);

struct Locked
{
    UniqueFd fd; ///< holds the lock; -1 unless outcome is ok
    Outcome outcome;
};

/// An exclusive flock on the folder, given up after waitMs milliseconds of
/// another holder (Lock with EWOULDBLOCK): the window's thread never waits
/// for a lock without end. Released when fd closes.
Locked lockFolder(const char* folder, int waitMs);

} // namespace PrivateFile
