// SPDX-License-Identifier: GPL-3.0-or-later
// The walk of the read-from folder: every file, depth first, the files of a
// folder before its subfolders, each sorted by name.
#pragma once

#include "FileStamp.h"

#include <QString>

#include <vector>

struct ListedFile
{
    /// Path relative to the root, beginning with "/".
    QString entry;
    /// The file as listed (size -1 when it could not be examined).
    FileStamp stamp;
    /// The name is not valid text in the system's encoding, so no path built
    /// from the entry reaches the file.
    bool nameNotText = false;
    /// A symbolic link: listed so that the operator hears of it, never followed.
    bool symbolicLink = false;
};

/// Throws Failure naming the folder when its path holds a NUL, which no path
/// can hold (and which would cut it short where it is handed to the system).
void refuseNulInFolder(const QString& folder);

/// Lists the tree under root into out, each folder's files by name before its
/// subfolders by name, so that a pass goes in the same order whatever the file
/// system's. A subfolder found empty is removed with rmdir, which leaves it alone
/// should a file arrive meanwhile; the root is never removed. Links are listed as
/// entries, never followed; a folder is never entered twice in one walk. Throws
/// Failure at the first folder that cannot be read or removed, or whose path
/// holds a NUL; the entries found before it stay in out. With tidy false nothing
/// is removed (a folder another station serves is only looked at).
void listFolderTree(const QString& root, std::vector<ListedFile>& out, bool tidy = true);
