// SPDX-License-Identifier: GPL-3.0-or-later
// A full disk, said the same way wherever the station meets one: while it
// writes scanned pages and while the converter writes a PDF. Offices meet it as
// a technical line ("No space left on device") that names neither the disk nor
// what to do.
#pragma once

#include <QString>

#include <optional>

namespace DiskSpace {

/// The bytes this account may still write on the file system holding path;
/// none when that cannot be told (the path is gone).
std::optional<qint64> freeAt(const QString& path);

/// Whether a failure's technical text holds the system's own words for error.
bool says(const QString& technical, int error);

/// Whether a failure to write was for want of room: the system's own words
/// for a full disk or a quota in technical, or less room left than the next
/// piece needs.
bool ranOut(const QString& technical, std::optional<qint64> freeBytes, qint64 needBytes);

/// "The disk holding FOLDER is full: 1.2 MB free, and WHAT needs about 8.7 MB."
QString fullSentence(const QString& folder, std::optional<qint64> freeBytes, const QString& what,
                     qint64 needBytes);

/// A size as the operator reads it ("8.7 MB").
QString shown(qint64 bytes);

} // namespace DiskSpace
