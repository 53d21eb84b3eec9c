// SPDX-License-Identifier: GPL-3.0-or-later
// Files that are done with but could not be deleted: a document the page has
// filed, a TIFF whose PDF has been made. Sending or converting them again would
// file them twice, so they are remembered by identity (device, inode, size,
// modification time) in the program's private data folder, across restarts,
// and left out of every pass while they stay exactly as they were.
#pragma once

#include "Failure.h"
#include "FileGate.h"

#include <QSet>
#include <QString>

#include <functional>
#include <vector>

class UndeletableFiles
{
public:
    enum class Kind { Filed, Converted };
    struct Record
    {
        Kind kind;
        FileStamp identity;
        QString path;
    };

    /// The store lives at storePath; the default is beside out.txt.
    explicit UndeletableFiles(QString storePath = defaultStorePath());
    static QString defaultStorePath();

    /// The record of the file with this identity, or null.
    const Record* find(const FileStamp& identity);
    /// Remembers a file; fails when the record could not be stored (it is still
    /// kept for as long as the program runs).
    Outcome add(Kind kind, const FileStamp& identity, const QString& path);
    /// Once many records under root are of files that a complete listing no
    /// longer holds as they were, forgets the oldest of those.
    void keepOnly(const QString& root, const QSet<FileStamp>& present);
    bool isEmpty();
    /// Writes what could not be stored before (the disk was full, say); true
    /// when the store now holds every file remembered.
    bool storeWhatWaits();

private:
    void load();
    std::vector<Record> readStore() const;
    /// Applies the change to the store as it is on disk now, with this
    /// station's records added, and writes it back.
    Outcome commit(const std::function<void(std::vector<Record>&)>& change);
    Outcome save() const;

    QString m_storePath;
    bool m_loaded = false;
    bool m_unsaved = false; ///< a record remembered here is not in the store on disk
    std::vector<Record> m_records;
};
