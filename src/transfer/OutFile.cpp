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
    // Opened without truncation and rewritten in place: truncating it for
    // every file freed and allocated its blocks each time, a large share of
    // a pass of small files.
    m_fd.reset();
    if (Outcome made = PrivateData::ensureFolder(); !made.ok())
        return made;
    PrivateFile::Opened opened = PrivateFile::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT);
    if (opened.outcome.failed == PrivateFile::Outcome::Failed::Open)
        return cannotWrite(opened.outcome.error, systemErrorText(opened.outcome.error));
    if (!opened.outcome.ok())
        return cannotWrite(0, QStringLiteral("it is not a regular file"));
    m_fd = std::move(opened.fd);
    ::fchmod(m_fd.get(), S_IRUSR | S_IWUSR);
    m_size = opened.st.st_size;
    return {};
}

OutFile::~OutFile()
{
    cancel();
}

Outcome OutFile::copyLater(Body body, std::function<void(const QString&)> failed)
{
    // Nothing of this request went (the page could not be reached): out.txt
    // keeps the body before it, and its copy goes on.
    if (body.from.get() < 0)
        return {};
    cancel();
    // Opened here, so that the usual faults (no folder, not a regular file)
    // are known before the pass goes on, and said in their place.
    if (Outcome opened = open(); !opened.ok())
        return opened;
    m_job = std::thread([this, body = std::move(body), failed = std::move(failed)] {
        const Outcome done = copy(body);
        // Not held open between requests: deleted by the operator, its blocks
        // are freed at once. Opened again without truncation, its blocks stay.
        m_fd.reset();
        if (!done.ok() && failed)
            failed(done.text);
    });
    return {};
}

void OutFile::cancel()
{
    if (!m_job.joinable())
        return;
    m_giveUp = true;
    m_job.join();
    m_giveUp = false;
}

void OutFile::settle()
{
    if (m_job.joinable())
        m_job.join();
}

Outcome OutFile::copy(const Body& body)
{
    m_written = 0;
    Outcome done = put(body.head);
    if (done.ok())
        done = copyContent(body.from.get(), body.content);
    if (done.ok() && !m_giveUp && !body.tail.isEmpty()) {
        done = put(body.tail);
        if (done.ok())
            done = put("\r\n");
    }
    if (!done.ok()) {
        // A copy cut short by a full disk would keep the room that the next
        // document's row in filed.csv needs; what failed is said already.
        (void)::ftruncate(m_fd.get(), 0);
        return done;
    }
    // Truncated only when it shrinks: every truncation goes through the file
    // system's block bookkeeping, even to the size the file already has.
    if (m_written < m_size && ::ftruncate(m_fd.get(), off_t(m_written)) != 0) {
        const int error = errno;
        return cannotWrite(error, systemErrorText(error));
    }
    m_size = m_written;
    // Copied after the request, from the file: a writer since it was opened
    // (during the send, which then broke off, or once the page had it) leaves
    // a copy that is not what went. Its deletion changes only its ctime.
    struct stat now;
    if (!m_giveUp && ::fstat(body.from.get(), &now) == 0 && FileStamp::of(now) != FileStamp::of(body.st))
        return Outcome::failed(m_path, QStringLiteral("%1 may not hold what was sent: the document has "
                                                      "changed since it was read")
                                           .arg(m_path));
    return {};
}

Outcome OutFile::copyContent(int from, qint64 length)
{
    qint64 done = 0;
    bool inKernel = true;
    QByteArray buffer;
    while (done < length && !m_giveUp) {
        const qint64 chunk = qMin(length - done, Chunk);
        if (inKernel) {
            // Within the file system the kernel copies from the page cache (or
            // shares the blocks, where the file system can): no pass through
            // memory of ours.
            loff_t at = done;
            loff_t to = m_written;
            const ssize_t n = ::copy_file_range(from, &at, m_fd.get(), &to, size_t(chunk), 0);
            if (n > 0) {
                done += n;
                m_written += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == ENOSPC || errno == EDQUOT || errno == EFBIG || errno == EIO)) {
                const int error = errno;
                return cannotWrite(error, systemErrorText(error));
            }
            // Across file systems, or where the call is missing: read and write.
            inKernel = false;
        }
        buffer.resize(chunk);
        const ssize_t n = ::pread(from, buffer.data(), size_t(buffer.size()), off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Outcome::failed(m_path, QStringLiteral("%1 may not hold what was sent: the document "
                                                          "could not be read again (%2)")
                                               .arg(m_path, n < 0 ? systemErrorText(errno)
                                                                  : QStringLiteral("it became shorter")));
        if (Outcome written = put(QByteArrayView(buffer.constData(), qsizetype(n))); !written.ok())
            return written;
        done += n;
    }
    return {};
}

Outcome OutFile::put(QByteArrayView bytes)
{
    const PrivateFile::Outcome put =
        PrivateFile::writeAll(m_fd.get(), {bytes.data(), size_t(bytes.size())}, off_t(m_written));
    if (!put.ok())
        return cannotWrite(put.error, systemErrorText(put.error));
    m_written += bytes.size();
    return {};
}

Outcome OutFile::cannotWrite(int error, const QString& reason)
{
    return Outcome::failed(m_path, QStringLiteral("Cannot write %1: %2").arg(m_path, reason), error);
}
