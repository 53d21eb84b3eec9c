// One TIFF of the read-from folder made into a PDF at the top of the folder by
// the converter that ships beside the program, and the TIFF deleted once its
// PDF is whole. The pair is recorded in the station's journal for the time in
// between, so that a stop there never files the document twice.
#pragma once

#include "FileGate.h"

#include <QString>

#include <functional>

class StationJournal;

namespace TiffConversion {

struct Job
{
    QString folder;        ///< the read-from folder
    QString entry;         ///< the TIFF's entry, "/2024/a.tif"
    QString converterPath;
    FileGate::Expectation expected; ///< what the TIFF must still be
};

struct Hooks
{
    std::function<void(const QString&)> log;
    /// Runs once the PDF is whole, before the TIFF goes: the operator's look in test mode.
    std::function<void()> inspect;
    /// The PDF is made but the TIFF cannot be deleted (why); called before the
    /// journal forgets the pair, so that the TIFF is never converted again.
    std::function<void(const FileGate::Identity& tiff, const QString& path, const QString& why)> tiffKept;
};

struct Result
{
    enum class Outcome { Converted, HeldBack, Failed };
    Outcome outcome = Outcome::Failed;
    QString message; ///< HeldBack: why; Failed: the description of the failure
    QString subject; ///< Failed: what was being read
    QString pdfEntry;        ///< Converted: the PDF's entry
    FileGate::Identity pdf;  ///< Converted: the PDF as the converter made it

    static Result heldBack(const QString& why) { return {Outcome::HeldBack, why, {}, {}, {}}; }
    static Result failed(const QString& what, const QString& subject) { return {Outcome::Failed, what, subject, {}, {}}; }
};

Result convert(const Job& job, StationJournal& journal, const Hooks& hooks);

/// A PDF's header at the start and its end marker near the end: what a
/// converter that was stopped half-way does not leave.
bool looksLikeCompletePdf(const QString& path);

} // namespace TiffConversion
