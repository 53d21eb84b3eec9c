// SPDX-License-Identifier: GPL-3.0-or-later
// The line the status box gets when a scan run ends early: what happened to
// the paper, what the operator does about it, and only then the scanner's own
// words. The "Scan Error" box is gone once it is closed; this line stays.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace ScanAdvice {
/// fault: the scanner's status that ended the run (a SANE_Status), -1 when the
/// failure was not the scanner's; opened: whether the scanner had been opened;
/// pagesKept: the pages written before the failure; technical: the failure's text.
QString faultLine(int fault, bool opened, int pagesKept, const QString& technical);
/// What stands in the way of writing pages into a folder, as found when a run
/// failed for a reason that was not the scanner's.
struct FolderFacts
{
    bool exists = true;
    bool writable = true;
    std::optional<qint64> freeBytes;
    /// About what the next page takes: the pages written so far, else an A4
    /// page at 300 dpi in gray before compression.
    qint64 pageBytes = 0;
};
FolderFacts examine(const QString& folder, const QStringList& pagesWritten);
/// The line for a run that could not write its pages into folder (gone, full,
/// not this account's to write); empty when the folder shows no such reason.
QString writeFaultLine(const QString& folder, const FolderFacts& facts, int pagesKept,
                       const QString& technical);

/// A feeder batch that gave no page at all.
QString emptyFeederLine();

/// Page numbers in the operator's words: "page 4", "pages 1 to 7", "page 4 and
/// page 8", "page 3 and page 4", "pages 1 to 3 and page 6".
QString pageList(const QList<int>& pages);
/// What a batch gathered into documents became: "10 pages: 3 documents (4, 3
/// and 2 pages), 1 separator sheet".
QString batchLine(int pages, const QList<int>& documentSizes, int separators, int blank);
/// The blank pages of a batch and where they are kept.
QString setAsideLine(const QList<int>& blank, const QString& folder);
/// A scan run ended early by the scanner while a document was being gathered:
/// the pages of that document are kept under name.
QString documentKeptLine(int fault, int lastPage, const QList<int>& pages, const QString& name,
                         const QString& technical);
/// A document whose pages could not enter the folder (a full disk): they stay
/// in gathering and are tried again.
QString documentHeldLine(const QList<int>& pages, const QString& why, const QString& gathering);
/// The pages of a batch the station did not finish, made a document at the next start.
QString documentRecoveredLine(const QList<int>& pages, const QString& name);
} // namespace ScanAdvice
