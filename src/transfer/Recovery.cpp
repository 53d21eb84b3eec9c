// SPDX-License-Identifier: GPL-3.0-or-later
#include "Recovery.h"

#include "FileGate.h"
#include "RegularFile.h"
#include "TiffConversion.h"
#include "UploadRequest.h"

#include <QFileInfo>
#include <QMultiHash>

#include <limits>

namespace Recovery {

bool DiskFolder::exists(const QString& path) const
{
    return QFileInfo::exists(path);
}

std::optional<FileStamp> DiskFolder::stampAt(const QString& path) const
{
    return FileGate::identityAt(path);
}

std::optional<QByteArray> DiskFolder::sha256Of(const QString& path, qint64 bytes) const
{
    const std::optional<QByteArray> content = RegularFile::read(path, bytes + 1, false);
    if (!content || content->size() != bytes)
        return std::nullopt;
    return FiledLog::sha256Hex(*content);
}

bool DiskFolder::madeFrom(const QString& pdfPath, const FileStamp& tiff) const
{
    return TiffConversion::madeFrom(pdfPath, tiff);
}

Plan afterStop(const SendRecord::Interrupted& stopped, const QList<FiledLog::Row>& rows,
               const QString& folder, const Folder& disk)
{
    Plan plan;
    const auto say = [&](const QString& note) { plan.push_back({std::nullopt, note}); };
    if (stopped.damaged)
        say(QStringLiteral("Quillfeed stopped, and its record of what it was sending then is damaged: "
                           "a document of %1 the web page had filed may still be in the folder and "
                           "go again with the next pass; check the page for documents filed twice.")
                .arg(folder));
    // A row written no earlier than notBefore names the file with its bytes as
    // they are still: the page filed it and the stop came before the delete.
    const auto filedBeforeTheStop = [&](const QString& path, qint64 notBefore) -> std::optional<Deletion> {
        for (auto row = rows.crbegin(); row != rows.crend() && row->filedAt.toSecsSinceEpoch() >= notBefore;
             ++row) {
            if (folder + row->file != path)
                continue;
            const std::optional<FileStamp> now = disk.stampAt(path);
            if (!now || now->size != row->bytes || disk.sha256Of(path, row->bytes) != row->sha256)
                continue;
            return Deletion{
                path,
                *now,
                UndeletableFiles::Kind::Filed,
                QStringLiteral("Quillfeed stopped after the web page had filed %1 (%2), before it "
                               "could delete it; it is deleted now and not sent again.")
                    .arg(path, row->filedAt.toString(Qt::ISODate)),
                {},
                {},
                {}};
        }
        return std::nullopt;
    };
    // A deletion, or else what is said of the file as it stands.
    const auto deleteOrSay = [&](std::optional<Deletion> deletion, const QString& gone, const QString& there,
                                 const QString& path) {
        if (deletion) {
            deletion->gone = gone;
            deletion->changed = there;
            plan.push_back({std::move(deletion), {}});
        } else if (const QString& note = disk.exists(path) ? there : gone; !note.isEmpty()) {
            say(note);
        }
    };
    for (const QString& filed : stopped.filed)
        deleteOrSay(filedBeforeTheStop(filed, std::numeric_limits<qint64>::min()), {},
                    QStringLiteral("Quillfeed stopped after the web page had filed %1, before it could "
                                   "delete it, and no record of the filing matches the file as it is "
                                   "now. It goes again with the next pass; check the page before you "
                                   "file it by hand.")
                        .arg(filed),
                    filed);
    const QString& sent = stopped.sending;
    if (sent.isEmpty())
        return plan;
    // The one in flight counts as filed only by a row made for this request,
    // not for the same bytes filed before and put back by the operator (rows
    // have whole seconds). Not only the newest row: a station of this user on
    // another folder writes to the same filed.csv, and its rows may have come
    // after this one's while the next document here was converted.
    const QString interrupted = QStringLiteral(
        "Quillfeed stopped while it was sending %1; the web page may already have filed it. %2");
    deleteOrSay(stopped.recorded.isValid() ? filedBeforeTheStop(sent, stopped.recorded.toSecsSinceEpoch())
                                           : std::nullopt,
                interrupted.arg(sent, QStringLiteral("It is no longer in the folder.")),
                interrupted.arg(sent, QStringLiteral("It is still in the folder and goes again with the next "
                                                     "pass; check the page before you file it by hand.")),
                sent);
    return plan;
}

Plan convertedPairs(const std::vector<ListedFile>& listed, const QString& folder, const Folder& disk)
{
    // The PDFs listed at the top, by the base name of the TIFF each may be made of.
    QMultiHash<QString, QString> pdfsByBase;
    for (const ListedFile& f : listed) {
        for (const QString& base : TiffConversion::tiffBasesOf(f.entry))
            pdfsByBase.insert(base, f.entry);
    }
    Plan plan;
    for (const ListedFile& tiff : listed) {
        const UploadRequest::NameParts name = UploadRequest::splitEntry(tiff.entry);
        if (tiff.symbolicLink || UploadRequest::ruleForExtension(name.extension.value_or(QString())).action !=
                                     UploadRequest::Action::Convert)
            continue;
        // A station stopped once the converter had linked the PDF and before
        // it deleted the TIFF (this one, or one of another account serving the
        // folder before it): the PDF names the TIFF it was made of. The TIFF
        // goes, or the document goes twice.
        for (const QString& pdf : pdfsByBase.values(TiffConversion::pdfBaseFor(tiff.entry))) {
            if (!disk.madeFrom(folder + pdf, tiff.stamp))
                continue;
            plan.push_back(
                {Deletion{folder + tiff.entry,
                          tiff.stamp,
                          UndeletableFiles::Kind::Converted,
                          QStringLiteral("Quillfeed stopped after it had converted %1 into %2; the "
                                         "TIFF is removed, the PDF goes with the next pass.")
                              .arg(folder + tiff.entry, folder + pdf),
                          {},
                          {},
                          tiff.entry},
                 {}});
            break;
        }
    }
    return plan;
}

QSet<QString> carryOut(const Plan& plan, const Hooks& hooks)
{
    QSet<QString> gone;
    const auto say = [&](const QString& note) {
        if (!note.isEmpty())
            hooks.note(note);
    };
    for (const Step& step : plan) {
        if (!step.deletion) {
            say(step.note);
            continue;
        }
        const Deletion& d = *step.deletion;
        QString why;
        switch (FileGate::removeIfUnchanged(d.path, d.stamp, &why)) {
        case FileGate::Removal::Removed:
            say(d.removed);
            gone.insert(d.entry);
            break;
        case FileGate::Removal::Gone:
            say(d.gone);
            gone.insert(d.entry);
            break;
        case FileGate::Removal::Changed:
            say(d.changed);
            break;
        case FileGate::Removal::Refused:
            hooks.keepLeftover(d.kind, d.stamp, d.path, why);
            break;
        }
    }
    gone.remove(QString());
    return gone;
}

void finishStop(const QString& folder, SendRecord& journal, const FiledLog& log, const Hooks& hooks)
{
    if (const Outcome chosen = journal.setFolder(folder); !chosen.ok())
        hooks.note(chosen.text);
    // With the folder locked no converter of this user's is at work in it.
    if (const int swept = SendRecord::sweepConverterTemporaries(folder))
        hooks.log(QStringLiteral("Removed %1 unfinished converter file(s) from %2").arg(swept).arg(folder));
    const SendRecord::Interrupted stopped = journal.takeInterrupted();
    const bool named = !stopped.sending.isEmpty() || !stopped.filed.isEmpty();
    carryOut(afterStop(stopped, named ? log.lastRows() : QList<FiledLog::Row>(), folder, DiskFolder()),
             hooks);
}

void finishConvertedPairs(const QString& folder, std::vector<ListedFile>& listed, const Hooks& hooks)
{
    const QSet<QString> gone = carryOut(convertedPairs(listed, folder, DiskFolder()), hooks);
    std::erase_if(listed, [&](const ListedFile& f) { return gone.contains(f.entry); });
}

} // namespace Recovery
