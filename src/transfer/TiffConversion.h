// SPDX-License-Identifier: GPL-3.0-or-later
// One TIFF of the read-from folder made into a PDF at the top of the folder by
// the converter that ships beside the program, and the TIFF deleted once its
// PDF is whole. The PDF names the TIFF it was made of, so that a stop between
// the two never files the document twice: the next listing finds the pair.
#pragma once

#include "FileGate.h"

#include <QString>

#include <chrono>
#include <functional>

namespace TiffConversion {

/// How long the converter may take before it is stopped, by the TIFF's size: a
/// real conversion of a big batch on a slow office machine stays far below it.
struct TimeLimit
{
    std::chrono::milliseconds base = std::chrono::seconds(60);
    std::chrono::milliseconds perMiB = std::chrono::seconds(30);

    /// For a TIFF of this many bytes; every MiB begun counts whole.
    std::chrono::milliseconds forSize(qint64 bytes) const
    {
        const qint64 mib = (qMax<qint64>(0, bytes) + (1 << 20) - 1) >> 20;
        return base + perMiB * mib;
    }
};

struct Job
{
    QString folder; ///< the read-from folder
    QString entry;  ///< the TIFF's entry, "/2024/a.tif"
    QString converterPath;
    FileGate::Expectation expected; ///< what the TIFF must still be
    TimeLimit limit = {};
};

struct Hooks
{
    std::function<void(const QString&)> log;
    /// Runs once the PDF is whole, before the TIFF goes: the operator's look in test mode.
    std::function<void()> inspect;
    /// The PDF is made but the TIFF cannot be deleted (why): it must never be
    /// converted again.
    std::function<void(const FileStamp& tiff, const QString& path, const QString& why)> tiffKept;
};

struct Result
{
    enum class Outcome { Converted, HeldBack, Failed };
    Outcome outcome = Outcome::Failed;
    QString message;  ///< HeldBack: why; Failed: the description of the failure
    QString subject;  ///< Failed: what was being read
    QString pdfEntry; ///< Converted: the PDF's entry
    FileStamp pdf;    ///< Converted: the PDF as the converter made it

    static Result heldBack(const QString& why) { return {Outcome::HeldBack, why, {}, {}, {}}; }
    static Result failed(const QString& what, const QString& subject)
    {
        return {Outcome::Failed, what, subject, {}, {}};
    }
};

Result convert(const Job& job, const Hooks& hooks);

/// "converter" "source" "output", each quoted so that any name reaches the converter intact.
QString conversionCommandLine(const QString& converter, const QString& source, const QString& output);

/// A name for the PDF of base in folder that no file has yet: base.pdf, base-2.pdf, ...
QString freePdfPath(const QString& folder, const QString& base);

/// A PDF's header at the start and its end marker near the end: what a
/// converter that was stopped half-way does not leave.
bool looksLikeCompletePdf(const QString& path);

/// The converter names the TIFF it read (device, inode, size, modification
/// time) in the PDF's first lines: true when the PDF at pdfPath was made of
/// exactly this TIFF. A station stopped between linking the PDF and deleting
/// the TIFF, this one or another account's, left such a pair.
bool madeFrom(const QString& pdfPath, const FileStamp& tiff);

/// The base name of the TIFF whose PDF a listed entry may be: "scan" for
/// "/scan.pdf" and for "/scan-2.pdf", "/scan-51.pdf" ... (a conversion takes
/// the first free number, however high); empty for any other entry.
QStringList tiffBasesOf(const QString& pdfEntry);
/// The base a TIFF's PDF is named after: "scan" for "/2024/scan.tif".
QString pdfBaseFor(const QString& tiffEntry);

} // namespace TiffConversion
