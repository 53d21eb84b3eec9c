// SPDX-License-Identifier: GPL-3.0-or-later
#include "OutFile.h"

#include "Failure.h"
#include "FileStamp.h"
#include "PrivateData.h"
#include "PrivateFile.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

OutFile::OutFile(QString path) : m_path(std::move(path)) {}

QString OutFile::defaultPath()
{
    return PrivateData::path(QStringLiteral("out.txt"));
}

Outcome OutFile::open()
{
    const QByteArray native = QFile::encodeName(m_path);
    // Opening with truncation for every file freed and allocated the file's
    // blocks each time, a large share of a pass of small files; the file
    // stays open for the pass and is rewritten in place. It is opened anew
    // whenever the name no longer leads to it (deleted, replaced).
    struct stat named
    {
    }, held{};
    if (m_fd.get() >= 0 && (::stat(native.constData(), &named) != 0 || ::fstat(m_fd.get(), &held) != 0 ||
                            FileId::of(named) != FileId::of(held)))
        m_fd.reset();
    if (m_fd.get() >= 0) {
        m_size = held.st_size;
        return {};
    }
    if (Outcome made = PrivateData::ensureFolder(); !made.ok())
        return made;
    PrivateFile::Opened opened = PrivateFile::open(native.constData(), O_WRONLY | O_CREAT);
    if (opened.outcome.failed == PrivateFile::Outcome::Failed::Open)
        return cannotWrite(opened.outcome.error, systemErrorText(opened.outcome.error));
    if (!opened.outcome.ok())
        return cannotWrite(0, QStringLiteral("it is not a regular file"));
    m_fd = std::move(opened.fd);
    ::fchmod(m_fd.get(), S_IRUSR | S_IWUSR);
    m_size = opened.st.st_size;
    return {};
}

Outcome OutFile::write(const QByteArray& body)
{
    if (Outcome opened = open(); !opened.ok())
        return opened;
    // A plain rewrite: this copy is for looking at, and syncing it to disk for
    // every file sent would cost more than the upload itself.
    // Truncated only when it shrinks: every truncation goes through the file
    // system's block bookkeeping, even to the size the file already has.
    const qint64 size = body.size() + 2;
    PrivateFile::Outcome put = PrivateFile::writeAll(m_fd.get(), {body.constData(), size_t(body.size())}, 0);
    if (put.ok())
        put = PrivateFile::writeAll(m_fd.get(), "\r\n", off_t(body.size()));
    if (!put.ok() || (size < m_size && ::ftruncate(m_fd.get(), off_t(size)) != 0)) {
        const int error = put.ok() ? errno : put.error;
        return cannotWrite(error, systemErrorText(error));
    }
    return {};
}

Outcome OutFile::begin(QByteArrayView head)
{
    if (Outcome opened = open(); !opened.ok())
        return opened;
    m_written = 0;
    m_copies = true;
    return copy(-1, 0, head);
}

Outcome OutFile::copy(int fromFd, qint64 at, QByteArrayView bytes)
{
    if (m_fd.get() < 0)
        return Outcome::failed(m_path, QStringLiteral("Cannot write %1: it is not open").arg(m_path));
    qint64 done = 0;
    // Within the file system the kernel copies from the page cache (or shares
    // the blocks, where the file system can): no second pass through memory
    // of ours. Across file systems, or where the call is missing, the bytes in
    // hand are written instead.
    while (fromFd >= 0 && m_copies && done < bytes.size()) {
        loff_t from = at + done;
        loff_t to = m_written;
        const ssize_t n = ::copy_file_range(fromFd, &from, m_fd.get(), &to, size_t(bytes.size() - done), 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            m_copies = false;
            break;
        }
        done += n;
        m_written += n;
    }
    if (done < bytes.size()) {
        const PrivateFile::Outcome put = PrivateFile::writeAll(
            m_fd.get(), {bytes.data() + done, size_t(bytes.size() - done)}, off_t(m_written));
        if (!put.ok())
            return cannotWrite(put.error, systemErrorText(put.error));
        m_written += bytes.size() - done;
    }
    return {};
}

Outcome OutFile::end(QByteArrayView tail)
{
    if (Outcome put = copy(-1, 0, tail); !put.ok())
        return put;
    if (Outcome put = copy(-1, 0, "\r\n"); !put.ok())
        return put;
    if (m_written < m_size && ::ftruncate(m_fd.get(), off_t(m_written)) != 0) {
        const int error = errno;
        return cannotWrite(error, systemErrorText(error));
    }
    m_size = m_written;
    return {};
}

Outcome OutFile::cannotWrite(int error, const QString& reason)
{
    m_fd.reset();
    return Outcome::failed(m_path, QStringLiteral("Cannot write %1: %2").arg(m_path, reason), error);
}
