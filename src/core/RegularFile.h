// SPDX-License-Identifier: GPL-3.0-or-later
// The station's own files (records, settings, what the converter made) read
// through Qt, opened as PrivateFile opens them.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <optional>

namespace RegularFile {

/// Opens file (not yet open) at path for reading as a regular file, without
/// blocking; links are followed unless followLinks is false.
bool open(QFile& file, const QString& path, bool followLinks = true);

/// The first maxBytes of the file (all of it when shorter), or none when it
/// cannot be read as a regular file.
std::optional<QByteArray> read(const QString& path, qint64 maxBytes, bool followLinks = true);

} // namespace RegularFile
