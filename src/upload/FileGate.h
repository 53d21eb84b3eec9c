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

/// What a file was when it was read: enough to tell later whether the name
/// still holds those very bytes.
struct Identity
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 mtimeNs = 0;
    bool operator==(const Identity&) const = default;
};

struct Result
{
    Result(Verdict v = Verdict::Unreadable, QString d = {}, Identity id = {})
        : verdict(v), description(std::move(d)), identity(id)
    {
    }
    Verdict verdict;
    QString description;
    Identity identity; ///< of the file read, when Ready
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

/// Removes the file at path only while it is still the file that was read;
/// a newer version saved under the same name is left alone. Returns false and
/// sets why when nothing was removed.
bool removeIfUnchanged(const QString& path, const Identity& identity, QString* why);

} // namespace FileGate
