// SPDX-License-Identifier: GPL-3.0-or-later
// One station per folder: two Quillfeed programs on the same read-from folder
// would post the same files twice and race to delete them. The lock is an
// flock() on the folder itself, so the operating system releases it when its
// holder ends, however it ends; no lock file is left behind to block anyone.
//
// It is taken on the folder, not in a folder of this user's, so that stations of
// two accounts sharing one folder exclude each other too: a colleague's station
// that holds it keeps this one waiting, and every pass says who holds it.
#pragma once

#include "FileStamp.h"

#include <QString>

#include <sys/types.h>

class FolderLock
{
public:
    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    /// Takes the lock on folder, keeping it when it is already held on that very
    /// folder. Returns whether this program may serve the folder.
    bool acquire(const QString& folder);
    bool held() const { return m_fd >= 0 || m_unsupported; }
    /// The folder held: another one made under its name is another folder.
    FileId id() const { return m_id; }
    /// The last refusal came from another program holding the folder, not from
    /// a folder that could not be examined or opened.
    bool servedByAnother() const { return m_servedByAnother; }
    /// What the status box says when another program holds the folder: one
    /// line naming the holder (process and account) where the system tells.
    QString message() const;
    void release();

private:
    int m_fd = -1;
    FileId m_id;
    bool m_unsupported = false;
    bool m_servedByAnother = false;
    QString m_folder;
    /// Who held the folder at the last refusal.
    QString m_holder;
};
