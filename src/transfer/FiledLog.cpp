// SPDX-License-Identifier: GPL-3.0-or-later
#include "FiledLog.h"

#include "Failure.h"
#include "PrivateData.h"
#include "PrivateFile.h"
#include "RegularFile.h"
#include "UniqueHandle.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cctype>
#include <cerrno>

#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kHeader = "filed_at,file,bytes,sha256,page\r\n";
// The newest row is found in the tail; no row is near this long.
constexpr qint64 TailBytes = 256 * 1024;

QByteArray csvField(const QString& value)
{
    QByteArray bytes = value.toUtf8();
    if (!bytes.contains(',') && !bytes.contains('"') && !bytes.contains('\r') && !bytes.contains('\n'))
        return bytes;
    bytes.replace("\"", "\"\"");
    return '"' + bytes + '"';
}

/// The fields of the CSV lines in text, in order; a line cut at the end of text is left out.
QList<QStringList> parseCsv(const QByteArray& text)
{
    QList<QStringList> rows;
    QStringList fields;
    QByteArray field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields << QString::fromUtf8(field);
            field.clear();
        } else if (c == '\n') {
            if (field.endsWith('\r'))
                field.chop(1);
            fields << QString::fromUtf8(field);
            field.clear();
            rows << fields;
            fields.clear();
        } else {
            field += c;
        }
    }
    return rows;
}

} // namespace

FiledLog::FiledLog(QString path) : m_path(std::move(path)) {}

QString FiledLog::defaultPath()
{
    return PrivateData::path(QStringLiteral("filed.csv"));
}

QByteArray FiledLog::sha256Hex(QByteArrayView content)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    ::SHA256(reinterpret_cast<const unsigned char*>(content.data()), size_t(content.size()), digest);
    return QByteArray(reinterpret_cast<const char*>(digest), sizeof digest).toHex();
}

FiledLog::Row FiledLog::rowFor(const QString& entry, QByteArrayView content, const QString& uploadUrl)
{
    return {QDateTime::currentDateTime(), entry, content.size(), sha256Hex(content),
            pageWithoutCredentials(uploadUrl)};
}

FiledLog::Row FiledLog::rowFor(const QString& entry, qint64 bytes, const QByteArray& sha256Hex,
                               const QString& uploadUrl)
{
    return {QDateTime::currentDateTime(), entry, bytes, sha256Hex, pageWithoutCredentials(uploadUrl)};
}

QString FiledLog::pageWithoutCredentials(const QString& url)
{
    QUrl u(url);
    if (!u.isValid())
        return url.section(u'@', -1); // whatever it is, nothing before an "@" is kept
    u.setUserInfo(QString());
    return u.toString();
}

QByteArray FiledLog::csvLine(const Row& row)
{
    // Every file entry begins with "/", the address with a scheme, the time and
    // the size with digits, the hash with a hex digit: no field can start like a
    // spreadsheet formula.
    return row.filedAt.toOffsetFromUtc(row.filedAt.offsetFromUtc()).toString(Qt::ISODate).toUtf8() + ',' +
           csvField(row.file) + ',' + QByteArray::number(row.bytes) + ',' + row.sha256 + ',' +
           csvField(row.page) + "\r\n";
}

FiledLog::Appended FiledLog::append(const Row& row, bool leaveSync) const
{
    Appended appended;
    appended.failure = write(row, leaveSync ? &appended.unsyncedFd : nullptr).text;
    return appended;
}

Outcome FiledLog::write(const Row& row, int* unsynced) const
{
    if (unsynced)
        *unsynced = -1;
    const QByteArray native = QFile::encodeName(m_path);
    // Only ever a regular file of the user's: never a FIFO that would block,
    // never a link that would write elsewhere.
    auto open = [&] { return PrivateFile::open(native.constData(), O_WRONLY | O_APPEND | O_CREAT); };
    PrivateFile::Opened file = open();
    // The private folder is made once, not checked for every document filed.
    if (file.outcome.failed == PrivateFile::Outcome::Failed::Open && file.outcome.error == ENOENT) {
        if (Outcome made = PrivateData::ensureFolder(QFileInfo(m_path).absolutePath()); !made.ok())
            return made;
        file = open();
    }
    auto failed = [this](int error) {
        return Outcome::failed(
            m_path, QStringLiteral("Cannot record in %1: %2").arg(m_path, systemErrorText(error)), error);
    };
    if (file.outcome.failed == PrivateFile::Outcome::Failed::NotRegular)
        return Outcome::failed(m_path,
                               QStringLiteral("Cannot record in %1: it is not a regular file").arg(m_path));
    if (!file.outcome.ok())
        return failed(file.outcome.error);
    const UniqueFd fd = std::move(file.fd);
    const bool firstRow = file.st.st_size == 0;
    QByteArray text = firstRow ? kHeader : QByteArray();
    text += csvLine(row);
    const PrivateFile::Outcome wrote =
        PrivateFile::writeAll(fd.get(), {text.constData(), size_t(text.size())});
    if (!wrote.ok()) {
        // A full disk takes part of a row: left there, the next row, once
        // there is room, would be glued to it and neither could be read.
        // Only this row's bytes go: they end where the append left the
        // offset, and another station of this account writing to the same
        // file may have added a row before them, or after (then nothing can
        // be taken back without cutting that one).
        const off_t written = off_t(wrote.bytes);
        const off_t end = ::lseek(fd.get(), 0, SEEK_CUR);
        struct stat now
        {
        };
        // Should the cut fail as well, the failure below is said all the same.
        if (written > 0 && end >= written && ::fstat(fd.get(), &now) == 0 && now.st_size == end)
            (void)::ftruncate(fd.get(), end - written);
        return failed(wrote.error);
    }
    if (firstRow) {
        // A new file's name must reach the disk too, or the record may vanish whole.
        if (const PrivateFile::Outcome synced =
                PrivateFile::syncFolder(QFile::encodeName(QFileInfo(m_path).absolutePath()).constData());
            !synced.ok())
            return failed(synced.error);
    }
    if (unsynced) {
        // dup() would drop close-on-exec: the converter started for the next
        // document would hold the office's record open for writing.
        *unsynced = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
        if (*unsynced < 0 && ::fdatasync(fd.get()) != 0)
            return failed(errno);
        return {};
    }
    // The data and the size that makes it readable; the times need not wait for
    // the disk (a quarter less per document than fsync here).
    if (::fdatasync(fd.get()) != 0)
        return failed(errno);
    return {};
}

QList<FiledLog::Row> FiledLog::lastRows() const
{
    QFile file;
    if (!RegularFile::open(file, m_path, false))
        return {};
    const qint64 start = qMax<qint64>(0, file.size() - TailBytes);
    file.seek(start);
    // No more than the tail, though rows are appended while it is read.
    QByteArray tail = file.read(TailBytes);
    if (start > 0) {
        // Begin at a line that starts a row: its time stamp's year.
        qsizetype at = 0;
        while ((at = tail.indexOf("\r\n", at)) >= 0) {
            at += 2;
            if (at + 5 <= tail.size() && std::isdigit(uchar(tail[at])) && tail[at + 4] == '-')
                break;
        }
        if (at < 0)
            return {};
        tail = tail.mid(at);
    }
    QList<Row> rows;
    for (const QStringList& f : parseCsv(tail)) {
        if (f.size() != 5 || f[0] == QLatin1String("filed_at"))
            continue;
        bool ok = false;
        Row row{QDateTime::fromString(f[0], Qt::ISODate), f[1], f[2].toLongLong(&ok), f[3].toLatin1(), f[4]};
        if (ok && row.filedAt.isValid())
            rows << row;
    }
    return rows;
}
