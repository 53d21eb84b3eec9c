// SPDX-License-Identifier: GPL-3.0-or-later
// What a stop of the station (a kill, a crash, a power cut) left in the
// read-from folder, and what the next start does about it. The decision is
// made from what the records hold (the send record, filed.csv's last rows) and
// what the folder holds now; carrying it out only deletes a file that is still
// exactly the one the decision saw, and says what became of it.
#pragma once

#include "FileStamp.h"
#include "FiledLog.h"
#include "FolderListing.h"
#include "SendRecord.h"
#include "UndeletableFiles.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace Recovery {

/// What the decision asks of the folder.
class Folder
{
public:
    virtual ~Folder() = default;
    virtual bool exists(const QString& path) const = 0;
    /// What stands under the name (a link itself); none when nothing does.
    virtual std::optional<FileStamp> stampAt(const QString& path) const = 0;
    /// The SHA-256 (lower-case hex) of the file's content, when it is a regular
    /// file of exactly bytes bytes; none otherwise.
    virtual std::optional<QByteArray> sha256Of(const QString& path, qint64 bytes) const = 0;
    /// Whether the PDF at pdfPath names tiff as the TIFF it was made of.
    virtual bool madeFrom(const QString& pdfPath, const FileStamp& tiff) const = 0;
};

/// The folder on the disk.
class DiskFolder : public Folder
{
public:
    bool exists(const QString& path) const override;
    std::optional<FileStamp> stampAt(const QString& path) const override;
    std::optional<QByteArray> sha256Of(const QString& path, qint64 bytes) const override;
    bool madeFrom(const QString& pdfPath, const FileStamp& tiff) const override;
};

/// A file to delete while it is still as it was seen.
struct Deletion
{
    QString path;
    FileStamp stamp;
    UndeletableFiles::Kind kind; ///< the leftover it is kept as when the system refuses the delete
    QString removed;             ///< said once it is deleted
    QString gone;                ///< said when nothing stands under its name by then (empty: nothing)
    QString changed;             ///< said when another file stands there by then (empty: nothing)
    QString entry;               ///< the listed entry that goes from the listing with the file (empty: none)
};

/// One step, in order: a deletion, or else a note said as it is.
struct Step
{
    std::optional<Deletion> deletion;
    QString note;
};
using Plan = std::vector<Step>;

/// What to do about what the send record held when the station stopped in folder.
Plan afterStop(const SendRecord::Interrupted& stopped, const QList<FiledLog::Row>& rows,
               const QString& folder, const Folder& disk);
/// The TIFFs of the listing whose finished PDF stands beside them (a stop came
/// between the PDF and the delete of its TIFF): each goes.
Plan convertedPairs(const std::vector<ListedFile>& listed, const QString& folder, const Folder& disk);

/// Where carrying out a plan reports to.
struct Hooks
{
    std::function<void(const QString&)> note;
    std::function<void(const QString&)> log;
    /// A file that is done with and that the system would not delete.
    std::function<void(UndeletableFiles::Kind, const FileStamp&, const QString& path, const QString& why)>
        keepLeftover;
};

/// Does what the plan says; returns the entries whose files are gone.
QSet<QString> carryOut(const Plan& plan, const Hooks& hooks);

/// What a stop of the station interrupted in folder, from the records, finished
/// once: the converter's leftover temporaries go, the record of the send is
/// taken, and what it names is deleted or said.
void finishStop(const QString& folder, SendRecord& journal, const FiledLog& log, const Hooks& hooks);
/// Deletes each listed TIFF whose finished PDF stands beside it and drops it
/// from listed.
void finishConvertedPairs(const QString& folder, std::vector<ListedFile>& listed, const Hooks& hooks);

} // namespace Recovery
