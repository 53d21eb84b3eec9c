// SPDX-License-Identifier: GPL-3.0-or-later
// What a file was at one moment: enough to tell later whether a name still
// holds those very bytes (the same file, neither rewritten nor replaced).
#pragma once

#include <QHashFunctions>
#include <QtGlobal>

#include <sys/stat.h>
#include <time.h>

inline qint64 timespecNs(const timespec& ts)
{
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

/// Which file or folder a name leads to, whatever its content.
struct FileId
{
    quint64 device = 0;
    quint64 inode = 0;

    static FileId of(const struct stat& st) { return {quint64(st.st_dev), quint64(st.st_ino)}; }
    bool operator==(const FileId&) const = default;
};

struct FileStamp
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1; ///< -1: unknown (it could not be examined)
    qint64 mtimeNs = 0;

    static FileStamp of(const struct stat& st)
    {
        return {quint64(st.st_dev), quint64(st.st_ino), qint64(st.st_size), timespecNs(st.st_mtim)};
    }
    bool operator==(const FileStamp&) const = default;
};

inline size_t qHash(const FileStamp& s, size_t seed = 0) noexcept
{
    return qHashMulti(seed, s.device, s.inode, s.size, s.mtimeNs);
}
