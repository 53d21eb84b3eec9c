// Reading the station's own files (records, settings, what the converter made)
// only as regular files and without blocking: anyone who can put a FIFO or a
// device under such a name must not hold the window in open() for good.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <optional>

namespace RegularFile {

/// A descriptor open for reading, or -1 (errno set; EINVAL for what is not a
/// regular file). Links are followed unless followLinks is false.
int openForReading(const QString& path, bool followLinks = true);

/// Opens file (not yet open) at path for reading, as openForReading does.
bool open(QFile& file, const QString& path, bool followLinks = true);

/// The first maxBytes of the file (all of it when shorter), or none when it
/// cannot be read as a regular file.
std::optional<QByteArray> read(const QString& path, qint64 maxBytes, bool followLinks = true);

} // namespace RegularFile
