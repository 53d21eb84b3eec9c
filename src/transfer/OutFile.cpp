#include "OutFile.h"

#include "Failure.h"
#include "FileStamp.h"
#include "PrivateData.h"

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

QString OutFile::open()
{
    const QByteArray native = QFile::encodeName(m_path);
    // Opening with truncation for every file freed and allocated the file's
    // blocks each time, a fifth of what a pass of small files cost; the file
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
    if (const QString why = PrivateData::ensureFolder(); !why.isEmpty())
        return why;
    m_fd.reset(::open(native.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                      S_IRUSR | S_IWUSR));
    if (m_fd.get() < 0)
        return QStringLiteral("Cannot write %1: %2").arg(m_path, systemErrorText(errno));
    struct stat opened
    {
    };
    if (::fstat(m_fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
        m_fd.reset();
        return QStringLiteral("Cannot write %1: it is not a regular file").arg(m_path);
    }
    ::fchmod(m_fd.get(), S_IRUSR | S_IWUSR);
    m_size = opened.st_size;
    return {};
}

QString OutFile::write(const QByteArray& body)
{
    if (const QString why = open(); !why.isEmpty())
        return why;
    // A plain rewrite: this copy is for looking at, and syncing it to disk for
    // every file sent would cost more than the upload itself.
    auto put = [this](const char* data, qint64 size, qint64 at) {
        while (size > 0) {
            const ssize_t n = ::pwrite(m_fd.get(), data, size_t(size), off_t(at));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            size -= n;
            at += n;
        }
        return true;
    };
    // Truncated only when it shrinks: every truncation goes through the file
    // system's block bookkeeping, even to the size the file already has.
    const qint64 size = body.size() + 2;
    if (!put(body.constData(), body.size(), 0) || !put("\r\n", 2, body.size()) ||
        (size < m_size && ::ftruncate(m_fd.get(), off_t(size)) != 0)) {
        const QString reason = systemErrorText(errno);
        m_fd.reset();
        return QStringLiteral("Cannot write %1: %2").arg(m_path, reason);
    }
    return {};
}
