// Reading a file for upload only when it is whole: never a file that vanished,
// changed since it was listed, is still open for writing or was modified in the
// last two seconds. Quillfeed's own completed files (scanned pages, converter
// output) skip the quiet-time test.
#pragma once

#include <QByteArray>
#include <QString>

namespace FileGate {

enum class Verdict {
    Ready,        ///< read whole
    Vanished,     ///< gone since it was listed
    BeingWritten, ///< changed since listed, open for writing, or modified moments ago
    Unreadable,   ///< cannot be opened or read, or is not a regular file
};

struct Result
{
    Verdict verdict = Verdict::Unreadable;
    QString description;
};

struct Expectation
{
    qint64 size = -1;     ///< as listed; -1 when unknown (then not compared)
    qint64 mtimeNs = 0;
    bool trusted = false; ///< completed by Quillfeed itself
};

inline constexpr qint64 QuietNs = 2'000'000'000;

/// Checks the file and, when it is ready, appends its whole content to dest
/// (dest is reserved for it plus reserveExtra bytes, so the caller can finish
/// its body without another copy). On any other verdict dest is unchanged.
Result readWhole(const QString& path, const Expectation& expected, QByteArray& dest, qsizetype reserveExtra = 0);

/// Only the checks, without reading (for files handed to another program).
Result checkComplete(const QString& path, const Expectation& expected);

} // namespace FileGate
