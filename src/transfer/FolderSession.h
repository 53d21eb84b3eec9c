// SPDX-License-Identifier: GPL-3.0-or-later
// The read-from folder as this station serves it: the lock that keeps other
// stations off it, what a stop of the station left there (looked at once for
// each folder), the files the last listing found, the files done with that
// could not be deleted, and the pages the scanner has just completed. It says
// what it finds through its hooks and needs no window.
#pragma once

#include "FileGate.h"
#include "FolderListing.h"
#include "FolderLock.h"
#include "Recovery.h"
#include "UndeletableFiles.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class FiledLog;
class SendRecord;

class FolderSession
{
public:
    struct Hooks
    {
        std::function<void(const QString&)> status;     ///< on top of the status box
        std::function<void(const QString&)> statusOnce; ///< the same, unless said since the box was emptied
        std::function<void(const QString&)> log;        ///< for the diagnostic window
    };
    FolderSession(SendRecord& journal, FiledLog& filedLog, Hooks hooks);

    /// Takes folder for this station unless another serves it; true when it is
    /// this station's. Nothing else changes.
    bool acquire(const QString& folder) { return m_lock.acquire(folder); }
    bool held() const { return m_lock.held(); }
    bool servedByAnother() const { return m_lock.servedByAnother(); }
    QString lockMessage() const { return m_lock.message(); }
    /// The folder served, by identity: records of its own are named after it.
    FileId id() const { return m_lock.id(); }
    /// What a stop of the station left in folder, standing under its name now,
    /// has been looked at.
    bool recovered(const QString& folder) const;

    /// Begins a listing of folder: takes it when no other station serves it,
    /// and sees to what a stop left there when that is due (idle: nothing is
    /// in flight, whose own files must not be touched). True when it is this
    /// station's.
    bool open(const QString& folder, bool idle);
    /// Lists the folder opened. publish is handed what was found, and whether
    /// the listing was complete, before it is kept here. Throws Failure when
    /// the folder cannot be read, once the part found is published.
    void list(bool idle, const std::function<void(const std::vector<ListedFile>&, bool complete)>& publish);
    /// What the last listing found a stop of the station had left.
    QStringList recoveryNotes() const { return m_recoveryNotes; }

    /// Pages the scanner completed (full paths under folder), as the last
    /// listing has them.
    void trustScannedPages(const QString& folder, const QStringList& paths);
    /// What the file of a listed entry must still be before it is read.
    FileGate::Expectation expectationFor(const QString& entry) const;
    /// True (and said why) when the entry is not to be read or sent: a name that
    /// is not text, a link, or a file done with before, which is deleted from
    /// folder now when it still is as it was.
    bool notToSend(const QString& folder, const QString& entry);
    /// Remembers a file that is done with but could not be deleted, and says so.
    void keepLeftover(UndeletableFiles::Kind kind, const FileStamp& identity, const QString& path,
                      const QString& why);

private:
    /// Where what a stop of the station left is reported: in the status box, and
    /// among the recovery notes.
    Recovery::Hooks recoveryHooks();

    SendRecord& m_sendRecord;
    FiledLog& m_filedLog;
    Hooks m_hooks;
    FolderLock m_lock;
    UndeletableFiles m_undeletable;
    QString m_folder; ///< the one opened last
    bool m_ours = false;
    QHash<QString, ListedFile> m_listed;
    /// Pages the scanner completed, as they were when it reported them.
    QHash<QString, FileStamp> m_trustedPages;
    /// The folder whose interrupted work has been looked at, by name and by identity.
    QString m_recoveredFolder;
    FileId m_recoveredId;
    QStringList m_recoveryNotes;
};
