// SPDX-License-Identifier: GPL-3.0-or-later
// What the station was doing, kept in its private data folder so that the next
// start can report what a kill, a crash or a power cut interrupted: the request
// in flight (the page may have filed it without the station hearing "OK"), and
// the documents filed whose delete waits for their record to reach the disk.
//
// The records are per read-from folder, named by its device and inode, so two
// stations of one user on two folders keep theirs apart.
#pragma once

#include "Failure.h"
#include "FileStamp.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

class SendRecord
{
public:
    /// The records live in dataFolder; the default is beside out.txt.
    explicit SendRecord(QString dataFolder = defaultFolder());
    static QString defaultFolder();

    /// Chooses the read-from folder whose records are read and written; fails
    /// when it cannot be examined (nothing is then recorded).
    Outcome setFolder(const QString& folder);

    /// Records the file whose request is about to go out.
    Outcome beginSend(const QString& path);
    /// The request is over: the record names it no more.
    Outcome endSend();
    /// The page filed the file in flight: it waits to be deleted.
    void sendFiled();
    /// A filed file is deleted, or left for good: it waits no more.
    void filedDone(const QString& path);
    /// So many files wait that the record may outgrow what one write keeps whole through a kill.
    bool crowded() const;

    struct Interrupted
    {
        QString sending;      ///< the file whose request was out
        QStringList filed;    ///< files filed and not yet deleted
        QDateTime recorded;   ///< when the record was last written
        bool damaged = false; ///< there was a record, and what it named cannot be told
    };
    /// What the station was doing when it stopped; the record goes.
    Interrupted takeInterrupted();

    /// The hidden names a station's own unfinished files have in the read-from
    /// folder: ".NAME.part" (the scanner's page in progress, the converter's
    /// PDF where the file system cannot hold a file without a name).
    static bool isOwnTemporary(const QString& fileName);
    /// Deletes the converter's leftover temporaries at the top of folder (this
    /// user's, named ".NAME.XXXXXX.part"); returns how many went.
    static int sweepConverterTemporaries(const QString& folder);

private:
    QString path(const char* kind) const;
    /// Writes what is in flight and what waits now.
    Outcome write();

    QString m_dataFolder;
    QString m_key;
    // As written: percent-encoded.
    QByteArray m_sending;
    QList<QByteArray> m_filed;
};
