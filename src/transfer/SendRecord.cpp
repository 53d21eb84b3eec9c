// SPDX-License-Identifier: GPL-3.0-or-later
#include "SendRecord.h"

#include "ConverterFiles.h"
#include "Failure.h"
#include "PrivateData.h"
#include "PrivateFile.h"
#include "RegularFile.h"
#include "TransferLogging.h"
#include "UniqueHandle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kSend[] = "sending";

/// Overwrites the record in place: creating a new file and renaming it over the
/// old one for every document made the file system allocate an inode per file
/// sent, which cost more than the request itself. One write() of a record that
/// fits in a page is whole or absent after a kill; the checksum in the record
/// catches what a power cut or a longer record may leave torn, and the record's
/// end is its first line, so a longer record left behind it is never read.
PrivateFile::Outcome writeInPlace(const QString& dataFolder, const QString& path, const QByteArray& content)
{
    using Failed = PrivateFile::Outcome::Failed;
    const QByteArray native = QFile::encodeName(path);
    // One name only: a hard link would carry every record into a file elsewhere.
    const auto own = [](const struct stat& s) { return S_ISREG(s.st_mode) && s.st_nlink == 1; };
    const auto openRecord = [&] {
        PrivateFile::Opened record = PrivateFile::open(native.constData(), O_WRONLY | O_CREAT);
        if (record.outcome.ok() && !own(record.st)) {
            record.fd.reset();
            record.outcome.failed = Failed::NotRegular;
        }
        return record;
    };
    PrivateFile::Opened record = openRecord();
    if (record.outcome.failed == Failed::Open && record.outcome.error == ENOENT &&
        PrivateData::ensureFolder(dataFolder).ok())
        record = openRecord();
    if (!record.outcome.ok()) {
        // A link, a FIFO or a socket under the record's name in the private folder
        // would otherwise stop every record for good; it is no file of ours to keep.
        struct stat st;
        if (::lstat(native.constData(), &st) == 0 && !own(st) && !S_ISDIR(st.st_mode) &&
            ::unlink(native.constData()) == 0) {
            if (PrivateFile::Opened again = openRecord(); again.outcome.ok())
                record = std::move(again);
        }
        if (!record.outcome.ok())
            return record.outcome;
    }
    PrivateFile::Outcome wrote =
        PrivateFile::writeAll(record.fd.get(), {content.constData(), size_t(content.size())}, 0);
    if (wrote.ok() && record.st.st_size > content.size() &&
        ::ftruncate(record.fd.get(), content.size()) != 0) {
        wrote.failed = Failed::Write;
        wrote.error = errno;
    }
    return wrote;
}

QByteArray checksum(const QByteArray& line)
{
    return QByteArray::number(qChecksum(line), 16);
}

QByteArray readSmall(const QString& path)
{
    constexpr qint64 Limit = 256 * 1024;
    const std::optional<QByteArray> text = RegularFile::read(path, Limit, false);
    return text && text->size() < Limit ? *text : QByteArray();
}

QByteArray field(const QString& text)
{
    return text.toUtf8().toPercentEncoding("/");
}

QString unfield(const QByteArray& bytes)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(bytes));
}

} // namespace

SendRecord::SendRecord(QString dataFolder) : m_dataFolder(std::move(dataFolder)) {}

QString SendRecord::defaultFolder()
{
    return PrivateData::folder();
}

Outcome SendRecord::setFolder(const QString& folder)
{
    m_sending.clear();
    m_filed.clear();
    struct stat st;
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0) {
        const int error = errno;
        m_key.clear();
        return Outcome::failed(
            folder,
            QStringLiteral("Cannot keep the record of the requests sent from %1 (%2): should "
                           "Quillfeed stop while it sends, its next start cannot name the "
                           "document the web page may already have.")
                .arg(folder, systemErrorText(error)),
            error);
    }
    const FileId id = FileId::of(st);
    m_key = QStringLiteral("%1-%2").arg(id.device).arg(id.inode);
    return {};
}

QString SendRecord::path(const char* kind) const
{
    return m_dataFolder + u'/' + QLatin1String(kind) + u'-' + m_key + QStringLiteral(".txt");
}

Outcome SendRecord::beginSend(const QString& path)
{
    m_sending = field(path);
    return write();
}

Outcome SendRecord::endSend()
{
    m_sending.clear();
    return write();
}

void SendRecord::sendFiled()
{
    // Written with the next record, not now: until then the record names it as
    // in flight, and its row in filed.csv, made since, tells the next start
    // that it was filed. One write per document, not three.
    if (!m_sending.isEmpty())
        m_filed << std::exchange(m_sending, QByteArray());
}

void SendRecord::filedDone(const QString& path)
{
    // While a request is out, the next record leaves it out; a file named in it
    // that is gone is passed over at the next start anyway.
    // A record that cannot be written keeps naming it: the next start finds it
    // gone and says nothing of it, as it does of every filed one deleted.
    if (m_filed.removeOne(field(path)) && m_sending.isEmpty())
        (void)write();
}

bool SendRecord::crowded() const
{
    // A record within a page is written whole or not at all when a kill comes;
    // the next file in flight has to fit beside the waiting ones.
    qsizetype bytes = 0;
    for (const QByteArray& filed : m_filed)
        bytes += filed.size() + 1;
    return bytes > 2048;
}

Outcome SendRecord::write()
{
    if (m_key.isEmpty())
        return {};
    const QByteArray native = QFile::encodeName(path(kSend));
    if (m_sending.isEmpty() && m_filed.isEmpty()) {
        // Emptied to one blank line, not deleted: the next document's record
        // then needs neither a new file nor a new block. No record, or none of
        // ours (the next start reads only a regular file), names nothing.
        const PrivateFile::Opened record = PrivateFile::open(native.constData(), O_WRONLY);
        PrivateFile::Outcome emptied = record.outcome;
        if (emptied.failed == PrivateFile::Outcome::Failed::Open && emptied.error == ENOENT)
            return {};
        if (emptied.ok() && record.st.st_size > 1) {
            emptied = PrivateFile::writeAll(record.fd.get(), "\n", 0);
            // What a failed cut leaves stands behind the blank first line, where
            // the next start never reads.
            if (emptied.ok())
                (void)::ftruncate(record.fd.get(), 1);
        }
        if (emptied.ok() || emptied.failed == PrivateFile::Outcome::Failed::NotRegular)
            return {};
        const QString why = systemErrorText(emptied.error);
        qCWarning(lcTransfer) << "cannot clear the record of the request in flight:" << why;
        return Outcome::failed(path(kSend),
                               QStringLiteral("Cannot clear the record of the request in flight in %1 (%2): "
                                              "should Quillfeed stop before its next request, its next start "
                                              "names a document as interrupted that was not.")
                                   .arg(path(kSend), why),
                               emptied.error);
    }
    // Not synced: it is there for a kill or a crash, and a sync for every file
    // sent would cost more than the upload. One line: the file in flight (empty
    // when none is), the files filed and waiting for their delete, the checksum.
    QByteArray line = m_sending;
    for (const QByteArray& filed : std::as_const(m_filed))
        line += '\t' + filed;
    const PrivateFile::Outcome wrote =
        writeInPlace(m_dataFolder, path(kSend), line + '\t' + checksum(line) + '\n');
    if (wrote.ok())
        return {};
    // Whatever stands there that is no record of ours reads as the system's EINVAL.
    const QString why = systemErrorText(wrote.error ? wrote.error : EINVAL);
    qCWarning(lcTransfer) << "cannot record the request in flight:" << why;
    return Outcome::failed(
        path(kSend),
        QStringLiteral("Cannot keep the record of the request in flight in %1 (%2): should "
                       "Quillfeed stop while it sends, its next start cannot name the "
                       "document the web page may already have.")
            .arg(path(kSend), why),
        wrote.error);
}

SendRecord::Interrupted SendRecord::takeInterrupted()
{
    Interrupted found;
    if (m_key.isEmpty())
        return found;
    const QFileInfo info(path(kSend));
    found.recorded = info.lastModified();
    const QByteArray text = readSmall(path(kSend));
    m_sending.clear();
    m_filed.clear();
    // Read already: a record left uncleared is read again at the next start,
    // which says the same of it once more.
    (void)write();
    // A record that is there and cannot be read whole (torn by a power cut, or
    // grown past what is read back) may have named documents the page filed.
    const auto damaged = [&] {
        qCWarning(lcTransfer) << "the record of the request in flight is damaged";
        found.damaged = true;
        return found;
    };
    const qsizetype end = text.indexOf('\n');
    if (end < 0)
        return text.isEmpty() && !(info.isFile() && info.size() > 0) ? found : damaged();
    const QByteArray line = text.left(end);
    // Emptied: a kill before the rest of an earlier record was cut off leaves it behind the line.
    if (line.isEmpty())
        return found;
    const qsizetype tab = line.lastIndexOf('\t');
    // A record of an earlier version holds only the name.
    if (tab < 0) {
        if (text.size() != end + 1)
            return damaged();
        found.sending = unfield(line.trimmed());
        return found;
    }
    const QByteArray fields = line.left(tab);
    if (line.mid(tab + 1) != checksum(fields))
        return damaged();
    const QList<QByteArray> names = fields.split('\t');
    found.sending = unfield(names.first());
    for (qsizetype i = 1; i < names.size(); ++i)
        found.filed << unfield(names[i]);
    return found;
}

bool SendRecord::isOwnTemporary(const QString& fileName)
{
    return ConverterFiles::isTemporary(QFile::encodeName(fileName).toStdString());
}

int SendRecord::sweepConverterTemporaries(const QString& folder)
{
    // Only what the station's own conversions leave: their PDFs' names end in ".pdf".
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return 0;
    }
    int swept = 0;
    while (dirent* e = ::readdir(dir)) {
        if (!ConverterFiles::isPdfTemporary(e->d_name))
            continue;
        struct stat st;
        if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid() && ::unlinkat(fd, e->d_name, 0) == 0)
            ++swept;
    }
    ::closedir(dir);
    return swept;
}
