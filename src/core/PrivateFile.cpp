// SPDX-License-Identifier: GPL-3.0-or-later
#include "PrivateFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

namespace PrivateFile {
namespace {

Outcome failure(Outcome::Failed part, int error, std::size_t bytes = 0)
{
    Outcome o;
    o.failed = part;
    o.error = error;
    o.bytes = bytes;
    return o;
}

// One call moves at most this much; Linux moves no more than about 2 GiB anyway.
constexpr std::size_t MaxChunk = std::size_t(1) << 30;

} // namespace

std::string folderOf(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    return slash == 0 ? std::string("/") : std::string(path.substr(0, slash));
}

std::string Outcome::reason() const
{
    if (failed == Failed::NotRegular)
        return "it is not a regular file";
    return std::strerror(error);
}

Opened open(const char* path, int flags, Links links, mode_t mode)
{
    Opened opened;
    const int fd = ::open(
        path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (links == Links::Refused ? O_NOFOLLOW : 0), mode);
    if (fd < 0) {
        opened.outcome = failure(Outcome::Failed::Open, errno);
        return opened;
    }
    UniqueFd held(fd);
    if (::fstat(fd, &opened.st) != 0) {
        opened.outcome = failure(Outcome::Failed::Examine, errno);
        return opened;
    }
    if (!S_ISREG(opened.st.st_mode)) {
        opened.outcome = failure(Outcome::Failed::NotRegular, 0);
        return opened;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        opened.outcome = failure(Outcome::Failed::Examine, errno);
        return opened;
    }
    opened.fd = std::move(held);
    return opened;
}

Outcome writeAll(int fd, std::string_view data, off_t at)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t chunk = std::min(data.size() - done, MaxChunk);
        const ssize_t n = at < 0 ? ::write(fd, data.data() + done, chunk)
                                 : ::pwrite(fd, data.data() + done, chunk, at + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failure(Outcome::Failed::Write, n < 0 ? errno : ENOSPC, done);
        done += std::size_t(n);
    }
    Outcome o;
    o.bytes = done;
    return o;
}

Outcome readUpTo(int fd, char* buffer, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, std::min(size - done, MaxChunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failure(Outcome::Failed::Read, errno, done);
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    Outcome o;
    o.bytes = done;
    return o;
}

std::optional<std::string> read(const char* path, std::size_t cap, Links links)
{
    const Opened file = open(path, O_RDONLY, links);
    if (!file.outcome.ok())
        return std::nullopt;
    // The size is a hint only: the file may grow or shrink while it is read.
    std::string out;
    const std::size_t hint = file.st.st_size > 0 ? std::size_t(file.st.st_size) : 0;
    out.resize(std::min(cap, hint + 1));
    std::size_t done = 0;
    for (;;) {
        const Outcome got = readUpTo(file.fd.get(), out.data() + done, out.size() - done);
        if (!got.ok())
            return std::nullopt;
        done += got.bytes;
        if (done < out.size() || done == cap)
            break;
        out.resize(std::min(cap, out.size() * 2));
    }
    out.resize(done);
    return out;
}

Outcome syncFolder(const char* folder)
{
    UniqueFd dir(::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return failure(Outcome::Failed::Open, errno);
    if (::fsync(dir.get()) != 0)
        return failure(Outcome::Failed::Sync, errno);
    return {};
}

Outcome replace(const char* path, std::string_view data)
{
    std::string temp = std::string(path) + ".XXXXXX";
    // mkostemp makes it for the owner only, whatever the umask.
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return failure(Outcome::Failed::Open, errno);
    Outcome o = writeAll(fd.get(), data, 0);
    if (o.ok() && ::fsync(fd.get()) != 0)
        o = failure(Outcome::Failed::Sync, errno, data.size());
    if (o.ok() && ::rename(temp.c_str(), path) != 0)
        o = failure(Outcome::Failed::Rename, errno, data.size());
    if (!o.ok()) {
        ::unlink(temp.c_str());
        return o;
    }
    // The rename is on the disk only once the folder is. A file system that
    // cannot sync a folder keeps its entries as it does: the file is replaced.
    const Outcome folder = syncFolder(folderOf(path).c_str());
    if (!folder.ok() && folder.error != EINVAL && folder.error != ENOTSUP)
        return folder;
    return o;
}

Outcome publish(const char* from, const char* to)
{
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return {};
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return failure(Outcome::Failed::Rename, errno);
    // A hard link fails on a name that is taken just the same.
    if (::link(from, to) == 0) {
        ::unlink(from);
        return {};
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
        return failure(Outcome::Failed::Rename, errno);
    // No hard links either (FAT, some network shares): claim the name
    // exclusively, then move the file over that claim.
    UniqueFd claim(::open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (claim.get() < 0)
        return failure(Outcome::Failed::Rename, errno);
    claim.reset();
    if (::rename(from, to) != 0) {
        const int error = errno;
        ::unlink(to);
        return failure(Outcome::Failed::Rename, error);
    }
    return {};
}

Locked lockFolder(const char* folder, int waitMs)
{
    Locked locked;
    UniqueFd dir(::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
        locked.outcome = failure(Outcome::Failed::Open, errno);
        return locked;
    }
    constexpr int StepMs = 10;
    for (int waited = 0;; waited += StepMs) {
        if (::flock(dir.get(), LOCK_EX | LOCK_NB) == 0) {
            locked.fd = std::move(dir);
            return locked;
        }
        const int error = errno;
        if ((error != EWOULDBLOCK && error != EINTR) || waited >= waitMs) {
            locked.outcome = failure(Outcome::Failed::Lock, error);
            return locked;
        }
        ::usleep(StepMs * 1000);
    }
}

} // namespace PrivateFile
