// SPDX-License-Identifier: GPL-3.0-or-later
#include "TiffConversion.h"

#include "ConverterFiles.h"
#include "RegularFile.h"
#include "RunExe.h"
#include "UploadRequest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace TiffConversion {

namespace {

/// A converter killed before it could clean up leaves its temporary beside the
/// output (where the file system made it give the file a name): that one goes,
/// when it was made since the conversion began.
void removeTemporariesOf(const QString& outputPath, qint64 sinceNs)
{
    const QFileInfo output(outputPath);
    const std::string pattern =
        ConverterFiles::temporaryTemplate(QFile::encodeName(output.fileName()).toStdString());
    const QByteArray prefix =
        QByteArray::fromStdString(pattern.substr(0, pattern.size() - ConverterFiles::kTemporaryRandom.size() -
                                                        ConverterFiles::kTemporarySuffix.size()));
    const QDir folder = output.dir();
    for (const QString& entry : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QByteArray name = QFile::encodeName(entry);
        if (name.size() != qsizetype(pattern.size()) || !name.startsWith(prefix) ||
            !ConverterFiles::isPdfTemporary(name.toStdString()))
            continue;
        const QString path = folder.filePath(entry);
        QString why;
        if (const std::optional<FileStamp> made = FileGate::createdSince(path, sinceNs))
            FileGate::removeIfUnchanged(path, *made, &why);
    }
}

} // namespace

QString conversionCommandLine(const QString& converter, const QString& source, const QString& output)
{
    return RunExe::QuoteArgument(converter) + u' ' + RunExe::QuoteArgument(source) + u' ' +
           RunExe::QuoteArgument(output);
}

QString freePdfPath(const QString& folder, const QString& base)
{
    const std::string name = base.toStdString();
    QString path = folder + u'/' + QString::fromStdString(ConverterFiles::pdfName(name, 1));
    for (int n = 2; QFileInfo::exists(path) || QFileInfo(path).isSymLink(); ++n)
        path = folder + u'/' + QString::fromStdString(ConverterFiles::pdfName(name, n));
    return path;
}

bool looksLikeCompletePdf(const QString& path)
{
    QFile f;
    if (!RegularFile::open(f, path, false))
        return false;
    if (f.size() < 16)
        return false;
    const QByteArray head = f.read(5);
    f.seek(qMax<qint64>(0, f.size() - 1024));
    const QByteArray tail = f.readAll();
    return head == "%PDF-" && tail.contains("%%EOF");
}

bool madeFrom(const QString& pdfPath, const FileStamp& tiff)
{
    const std::optional<QByteArray> head = RegularFile::read(pdfPath, 256, false);
    if (!head)
        return false;
    const std::string line = ConverterFiles::sourceLine(tiff.device, tiff.inode, tiff.size, tiff.mtimeNs);
    return head->contains('\n' + QByteArray::fromStdString(line));
}

QString pdfBaseFor(const QString& tiffEntry)
{
    return UploadRequest::splitEntry(tiffEntry).dotPieces.value(0);
}

QStringList tiffBasesOf(const QString& pdfEntry)
{
    // PDFs go to the top of the folder.
    if (pdfEntry.lastIndexOf(u'/') != 0)
        return {};
    const std::string name = pdfEntry.sliced(1).toStdString();
    const std::optional<std::string_view> base = ConverterFiles::pdfBase(name);
    if (!base)
        return {};
    QStringList bases;
    for (const std::string& b : ConverterFiles::basesOf(*base))
        bases << QString::fromStdString(b);
    return bases;
}

Result convert(const Job& job, const Hooks& hooks)
{
    const UploadRequest::NameParts name = UploadRequest::splitEntry(job.entry);
    const QString source = job.folder + job.entry;

    // A TIFF still being written would be converted in part and then deleted.
    const FileGate::Result gate = FileGate::checkComplete(source, job.expected);
    if (gate.verdict == FileGate::Verdict::BeingWritten)
        return Result::heldBack(gate.description);
    if (gate.verdict != FileGate::Verdict::Ready)
        return Result::failed(gate.description, source);

    // The PDF goes to the top of the folder, under a name no file has yet.
    const QString outputPath = freePdfPath(job.folder, name.dotPieces.value(0));
    const QString newName = QFileInfo(outputPath).fileName();
    hooks.log(QStringLiteral("New filename:") + newName);
    const QString commandLine = conversionCommandLine(job.converterPath, source, outputPath);
    hooks.log(QStringLiteral("Command: ") + commandLine);
    const qint64 startedNs = FileGate::fileClockNowNs();
    QString converterSaid;
    const std::chrono::milliseconds limit = job.limit.forSize(gate.identity.size);
    bool overran = false;
    const int exitCode = RunExe::RunAndWait(commandLine, &converterSaid, limit, &overran);

    // Only what this step made is ever deleted. The name was free when the
    // converter started. A converter that says it failed (exit 1 or 2) has
    // removed what it made, so whatever stands there then is somebody else's:
    // a file moved or written there meanwhile, the very reason a converter
    // refuses. Only a converter that was stopped, or claimed a success it did
    // not make, can have left a file of its own there: one created since by
    // this user.
    QString failure;
    std::optional<FileStamp> made;
    if (overran) {
        failure = QStringLiteral("The converter took too long and was stopped: more than %1 seconds for "
                                 "a TIFF of %2 bytes")
                      .arg(std::chrono::ceil<std::chrono::seconds>(limit).count())
                      .arg(gate.identity.size);
        if (!converterSaid.isEmpty())
            failure += QStringLiteral(". It said: ") + converterSaid;
        removeTemporariesOf(outputPath, startedNs);
        made = FileGate::createdSince(outputPath, startedNs);
    } else if (exitCode != 0) {
        failure =
            exitCode < 0
                ? QStringLiteral("The converter %1 could not be run or was stopped").arg(job.converterPath)
                : QStringLiteral("The converter ended with exit code %1").arg(exitCode);
        // Its own words say why (a full disk, a damaged TIFF).
        if (!converterSaid.isEmpty())
            failure += QStringLiteral(": ") + converterSaid;
        if (exitCode < 0)
            made = FileGate::createdSince(outputPath, startedNs);
    } else {
        made = FileGate::identityAt(outputPath);
        if (!made || !looksLikeCompletePdf(outputPath)) {
            failure = QStringLiteral("The converter made no complete PDF of %1").arg(source);
            made = FileGate::createdSince(outputPath, startedNs);
        }
    }
    auto discardMade = [&] {
        QString why;
        if (made)
            FileGate::removeIfUnchanged(outputPath, *made, &why);
    };
    if (!failure.isEmpty()) {
        // Keep the TIFF, never leave a partial PDF behind.
        discardMade();
        return Result::failed(failure, source);
    }

    hooks.inspect();

    // A TIFF saved over while it was converted may be in the PDF or not: the PDF
    // goes, the new TIFF stays for a later pass.
    if (FileGate::identityAt(source) != gate.identity) {
        discardMade();
        return Result::heldBack(QStringLiteral("changed while it was converted"));
    }

    QString why;
    switch (FileGate::removeIfUnchanged(source, gate.identity, &why)) {
    case FileGate::Removal::Removed:
    case FileGate::Removal::Gone:
    case FileGate::Removal::Changed: // the newer version waits for a later pass
        break;
    case FileGate::Removal::Refused:
        hooks.tiffKept(gate.identity, source, why);
        break;
    }
    return {Result::Outcome::Converted, {}, {}, u'/' + newName, *made};
}

} // namespace TiffConversion
