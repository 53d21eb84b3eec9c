// SPDX-License-Identifier: GPL-3.0-or-later
// The record of every document the web page filed: filed.csv in the private
// data folder, one row per document, appended and synced before the document
// is deleted. It answers "did yesterday's deed go out, and when?" after the
// status box has long forgotten, and it lets a start after a stop between the
// page's "OK" and the delete recognise the document as filed.
//
// CSV as spreadsheets read it (RFC 4180, UTF-8, CR LF): a header line and the
// columns filed_at (ISO 8601 local time with its UTC offset), file (the entry
// as the file list shows it), bytes and sha256 (of the document as sent), page
// (the upload address without user name or password).
#pragma once

#include "Failure.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

class FiledLog
{
public:
    struct Row
    {
        QDateTime filedAt;
        QString file;
        qint64 bytes = 0;
        QByteArray sha256; ///< hex, lower case
        QString page;
    };

    /// The log lives at path; the default is beside out.txt.
    explicit FiledLog(QString path = defaultPath());
    static QString defaultPath();
    const QString& path() const { return m_path; }

    /// The SHA-256 of content, in lower-case hex.
    static QByteArray sha256Hex(QByteArrayView content);
    /// A row for a document filed now.
    static Row rowFor(const QString& entry, QByteArrayView content, const QString& uploadUrl);
    /// The same, for a document whose checksum was taken as it went out.
    static Row rowFor(const QString& entry, qint64 bytes, const QByteArray& sha256Hex,
                      const QString& uploadUrl);
    struct Appended
    {
        QString failure;     ///< why the row could not be recorded; empty when it was
        int unsyncedFd = -1; ///< with leaveSync, the file for the caller to sync; -1 when nothing was written
        bool ok() const { return failure.isEmpty(); }
    };
    /// Appends the row and syncs it to disk, or with leaveSync leaves the sync
    /// to the caller.
    Appended append(const Row& row, bool leaveSync = false) const;
    /// The newest rows (as many as the file's tail holds), oldest first.
    QList<Row> lastRows() const;

    /// One CSV line (CR LF ended) of the row's fields.
    static QByteArray csvLine(const Row& row);
    /// The address without user name and password, which have no place in a record.
    static QString pageWithoutCredentials(const QString& url);

private:
    Outcome write(const Row& row, int* unsynced) const;
    QString m_path;
};
