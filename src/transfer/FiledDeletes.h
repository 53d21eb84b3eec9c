// SPDX-License-Identifier: GPL-3.0-or-later
// The documents the page has filed, each deleted only once the row that
// records its filing is on the disk: a power cut before then must find the
// row, or the document would be gone with nothing to say it was filed. The
// rows reach the disk on a thread of their own while the next document goes out.
#pragma once

#include "DiskSync.h"
#include "FileStamp.h"

#include <QObject>
#include <QString>

#include <deque>
#include <functional>

class FiledDeletes : public QObject
{
    Q_OBJECT
public:
    struct Hooks
    {
        std::function<void(const QString&)> status;
        std::function<void(const QString&)> log;
        /// Filed and cannot be deleted, or not there to be deleted (its folder
        /// moved away meanwhile): remembered so that it is not sent again should
        /// it stand there again as it was.
        std::function<void(const FileStamp&, const QString& path, const QString& why)> keep;
        /// The document is done with, deleted or not.
        std::function<void(const QString& path)> done;
        /// The record, named when its row could not reach the disk.
        QString recordPath;
    };
    explicit FiledDeletes(Hooks hooks, QObject* parent = nullptr);

    /// A document the page filed, as it was read. unsyncedFd is the record's
    /// file to bring to the disk, or -1 when its row could not be written:
    /// then it waits only for those before it.
    void add(const QString& entry, const QString& path, const FileStamp& stamp, int unsyncedFd);
    /// A disk slower than the page would let documents filed and not yet
    /// deleted pile up, each one sent again should the power fail before its
    /// row is on the disk: the next document waits for the oldest of them
    /// while more than a few wait, or while crowded says so.
    void pace(const std::function<bool()>& crowded);
    /// Waits for every row, and deletes what they record.
    void settle();

private:
    struct Waiting
    {
        QString entry;
        QString path;
        FileStamp stamp;
        quint64 ticket = 0; ///< of its row's sync; 0 when its row could not be written
    };
    static constexpr std::size_t MaxWaiting = 4;

    void deleteSynced();
    void remove(const Waiting& filed);

    Hooks m_hooks;
    std::deque<Waiting> m_waiting;
    quint64 m_syncedUpTo = 0;
    /// Last: its thread ends, the rows asked for synced, before anything it
    /// reports to goes.
    DiskSync m_sync{
        [this] { QMetaObject::invokeMethod(this, &FiledDeletes::deleteSynced, Qt::QueuedConnection); }};
};
