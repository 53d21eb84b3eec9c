#include "TransferDriver.h"

#include "Failure.h"
#include "FileListModel.h"
#include "GeneralDate.h"
#include "InetControl.h"
#include "RunExe.h"
#include "Settings.h"
#include "UploadRequest.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void TransferView::addErrorBlock(const QString& description, const QString& subject)
{
    addStatus(QString(18, u'-'));
    addStatus(description);
    addStatus(QStringLiteral("Error @ ") + generalDateTime());
    addStatus(QStringLiteral("Reading: ") + subject);
}

namespace {

/// What was done with a file that could not be deleted afterwards.
QString doneWith(Leftovers::Kind kind)
{
    return kind == Leftovers::Kind::Filed ? QStringLiteral("was filed") : QStringLiteral("was converted");
}

bool looksLikeCompletePdf(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() < 16)
        return false;
    const QByteArray head = f.read(5);
    f.seek(qMax<qint64>(0, f.size() - 1024));
    const QByteArray tail = f.readAll();
    return head == "%PDF-" && tail.contains("%%EOF");
}

} // namespace

TransferDriver::TransferDriver(TransferState& state, TransferView& view, InetControl& inet, QObject* parent)
    : QObject(parent), m_state(state), m_view(view), m_inet(inet), m_fileList(new FileListModel(this)),
      m_outPath(outFilePath())
{
}

QString TransferDriver::outFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/quillfeed/out.txt");
}

QString TransferDriver::folderLockMessage() const
{
    return m_folderLock.held() ? QString() : m_folderLock.message();
}

void TransferDriver::finish()
{
    m_phase = Phase::Idle;
}

// ---------------------------------------------------------------------------
// Listing

void TransferDriver::refreshFileList()
{
    m_fileList->clear();
    m_listed.clear();
    if (!m_folderLock.acquire(m_state.readFromFolder)) {
        // Another Quillfeed serves this folder: nothing of it is ours to send.
        if (m_folderLock.takeNewRefusal())
            m_view.addStatus(m_folderLock.message());
        return;
    }
    std::vector<ListedFile> found;
    auto publish = [&] {
        QStringList entries;
        entries.reserve(qsizetype(found.size()));
        m_listed.reserve(qsizetype(found.size()));
        for (ListedFile& f : found) {
            entries.push_back(f.entry);
            m_listed.insert(f.entry, std::move(f));
        }
        m_fileList->setEntries(std::move(entries));
    };
    try {
        listFolderTree(m_state.readFromFolder, found);
    } catch (...) {
        publish();
        throw;
    }
    publish();
    // Only a complete listing can tell that a remembered file is gone.
    if (!m_leftovers.isEmpty()) {
        QSet<FileGate::Identity> present;
        for (const ListedFile& f : std::as_const(m_listed))
            present.insert(f.stamp);
        m_leftovers.keepOnly(m_state.readFromFolder, present);
    }
}

void TransferDriver::trustScannedPages(const QStringList& paths)
{
    const QString& folder = m_state.readFromFolder;
    for (const QString& path : paths) {
        const auto listed = m_listed.constFind(path.mid(folder.size()));
        if (path.startsWith(folder) && listed != m_listed.cend())
            m_trustedPages.insert(listed->entry, listed->stamp);
    }
}

FileGate::Expectation TransferDriver::expectationFor(const QString& entry) const
{
    FileGate::Expectation expected;
    const auto listed = m_listed.constFind(entry);
    if (listed != m_listed.cend())
        expected.listed = listed->stamp;
    // A page the scanner completed, still as it was when reported, needs no quiet time.
    const auto page = m_trustedPages.constFind(entry);
    expected.trusted = page != m_trustedPages.cend() && page->size == expected.listed.size &&
                       page->mtimeNs == expected.listed.mtimeNs;
    return expected;
}

// ---------------------------------------------------------------------------
// The pass

void TransferDriver::cancelUndelivered()
{
    if (!m_inet.StillExecuting())
        return;
    if (m_inet.RequestDelivered()) {
        // The page has the whole document and may have filed it: sending it
        // again could file it twice, so its answer is awaited instead.
        m_view.addStatus(QStringLiteral("The last request has reached the web page; waiting for its answer."));
    } else {
        m_inet.Cancel();
        finish();
        m_view.addStatus(QStringLiteral("Cancelled last request."));
    }
}

void TransferDriver::processNextFile()
{
    // Files that are skipped or held back hand over to the next entry at once;
    // a loop keeps a long run of them from nesting calls.
    while (m_fileList->count() > 0) {
        const QString next = m_fileList->at(0);
        m_view.log(QStringLiteral("Filename: ") + next);
        if (m_inet.StillExecuting() || inFlight()) {
            m_view.addStatus(QStringLiteral("----Still Executing----\r\nWait a minute or two and press 'Force "
                                            "Transfer' to continue uploading.\r\n----") +
                             QString::number(m_state.pagesFiled) + QStringLiteral(" Pages Filed----"));
            return;
        }
        m_state.currentFile = next;
        UploadOutcome outcome;
        try {
            outcome = uploadCurrent();
        } catch (...) {
            // Whatever broke this upload, it must not leave the driver busy for good.
            finish();
            throw;
        }
        if (outcome == UploadOutcome::Sent)
            return;
    }
    if (m_view.statusHead(7) != QLatin1String("----Fin"))
        m_view.addStatus(QStringLiteral("----Finished Processing Scans----\r\n----") +
                         QString::number(m_state.pagesFiled) + QStringLiteral(" Pages Filed----"));
    refreshFileList();
}

void TransferDriver::upload()
{
    if (uploadCurrent() == UploadOutcome::NextEntry)
        processNextFile();
}

TransferDriver::UploadOutcome TransferDriver::passOver()
{
    m_fileList->removeEntry(m_state.currentFile);
    finish();
    return UploadOutcome::NextEntry;
}

void TransferDriver::holdBack(const QString& why)
{
    m_view.addStatus(QStringLiteral("Held back ") + m_state.currentFile + QStringLiteral(": ") + why +
                     QStringLiteral("; it goes in a later pass."));
}

void TransferDriver::keepLeftover(Leftovers::Kind kind, const FileGate::Identity& identity, const QString& path,
                                  const QString& why)
{
    const QString stored = m_leftovers.add(kind, identity, path);
    const QString done = doneWith(kind);
    const QString again = kind == Leftovers::Kind::Filed ? QStringLiteral("sent") : QStringLiteral("converted");
    m_view.addStatusOnce(QStringLiteral("%1 %2 but cannot be deleted (%3). It is not %4 again while it stays as it "
                                        "is; delete it by hand, or let Quillfeed's user delete files in its folder.")
                             .arg(path, done, why, again));
    if (!stored.isEmpty())
        m_view.addStatus(stored + QStringLiteral("; after a restart of Quillfeed it could be sent again."));
}

TransferDriver::UploadOutcome TransferDriver::uploadCurrent()
{
    m_phase = Phase::Sending;
    const QString& currentFile = m_state.currentFile;
    auto reportStep = [this](const QString& description) {
        m_view.addErrorBlock(description, m_state.readFromFolder + m_state.currentFile);
    };

    // The file name and its extension: the second piece between dots.
    const UploadRequest::NameParts name = UploadRequest::splitEntry(currentFile);
    if (!name.extension)
        reportStep(QStringLiteral("Subscript out of range"));
    const UploadRequest::TypeRule rule = UploadRequest::ruleForExtension(name.extension.value_or(QString()));

    const auto listed = m_listed.constFind(currentFile);
    if (listed != m_listed.cend() && listed->nameNotText) {
        // Left where it is: renamed to valid text, it goes with the next pass.
        m_view.addStatus(
            QStringLiteral("Cannot send %1: its name is not valid text (UTF-8); rename the file to send it.")
                .arg(currentFile));
        return passOver();
    }
    if (listed != m_listed.cend() && listed->symbolicLink) {
        // Anyone who can drop a file here could otherwise have the page sent
        // whatever this user can read (settings.txt and its proxy password).
        m_view.addStatusOnce(QStringLiteral("Left alone %1: it is a symbolic link, and links are never followed; put "
                                            "the file itself into the folder to send it.")
                                 .arg(currentFile));
        return passOver();
    }
    if (listed != m_listed.cend()) {
        if (const Leftovers::Record* done = m_leftovers.find(listed->stamp)) {
            m_view.addStatusOnce(
                QStringLiteral("Left alone %1: it %2 already but could not be deleted; delete it by hand.")
                    .arg(m_state.readFromFolder + currentFile, doneWith(done->kind)));
            return passOver();
        }
    }

    if (rule.action == UploadRequest::Action::Skip) {
        // Skipped files stay in the folder: their type may be one the operator keeps.
        m_view.addStatus(QStringLiteral("Skipping ") + currentFile + QStringLiteral("... "));
        m_view.appendStatusLineBreak();
        return passOver();
    }

    FileGate::Expectation expected;
    if (rule.action == UploadRequest::Action::Convert) {
        std::optional<FileGate::Identity> pdf = convertCurrent();
        if (!pdf)
            return passOver();
        // The converter's own output, exactly as it was made.
        expected = {*pdf, true};
    } else {
        expected = expectationFor(currentFile);
    }

    const QString path = m_state.readFromFolder + currentFile;
    const QByteArray prefix = UploadRequest::bodyPrefix(currentFile, rule.contentType);
    const QByteArray suffix = UploadRequest::bodySuffix();
    QByteArray body;
    body.reserve(prefix.size());
    body += prefix;
    const FileGate::Result read = FileGate::readWhole(path, expected, body, suffix.size());
    switch (read.verdict) {
    case FileGate::Verdict::Ready:
        break;
    case FileGate::Verdict::BeingWritten:
        holdBack(read.description);
        return passOver();
    case FileGate::Verdict::Vanished:
    case FileGate::Verdict::Unreadable:
        reportStep(read.description);
        return passOver();
    }
    body += suffix;
    m_state.requestBody = body;
    send(path, read.identity);
    return UploadOutcome::Sent;
}

void TransferDriver::send(const QString& path, const FileGate::Identity& identity)
{
    m_view.log(QStringLiteral("Attempting upload"));
    // Through a proxy, an https request carries the credentials on its CONNECT;
    // a line of ours would travel inside the tunnel to the web server.
    const bool viaProxy = !Settings::proxyAddress.isEmpty();
    const bool https = m_state.uploadUrl.startsWith(QLatin1String("https:"), Qt::CaseInsensitive);
    m_inet.setProxyCredentials(Settings::proxyUserName, Settings::proxyPassword);
    const QString headers =
        UploadRequest::headerText(viaProxy && !https, Settings::proxyUserName, Settings::proxyPassword);

    m_sendingPath = path;
    m_sendingIdentity = identity;
    try {
        m_inet.Execute(m_state.uploadUrl, QStringLiteral("POST"), m_state.requestBody, headers);
    } catch (...) {
        m_view.addErrorBlock(describeCurrentException(), path);
        // No answer will come for a request that never started.
        finish();
    }
    m_view.addStatus(QStringLiteral("Uploading ") + m_state.currentFile + QStringLiteral("... "));
    writeOutFile();
}

void TransferDriver::writeOutFile()
{
    const QString& path = m_outPath;
    const QByteArray native = QFile::encodeName(path);
    const QByteArray& body = m_state.requestBody;
    try {
        // Opening with truncation for every file freed and allocated the file's
        // blocks each time, a fifth of what a pass of small files cost here; the
        // file stays open for the pass and is rewritten in place. It is opened
        // anew whenever the name no longer leads to it (deleted, replaced).
        struct stat named {}, held {};
        if (m_outFile.get() >= 0 &&
            (::stat(native.constData(), &named) != 0 || ::fstat(m_outFile.get(), &held) != 0 ||
             named.st_dev != held.st_dev || named.st_ino != held.st_ino))
            m_outFile.reset();
        if (m_outFile.get() < 0) {
            // The body is document content: a private folder, a private file.
            const QString folder = QFileInfo(path).absolutePath();
            if (!QDir().mkpath(folder))
                throw Failure(QStringLiteral("Cannot create the folder %1").arg(folder));
            ::chmod(QFile::encodeName(folder).constData(), S_IRWXU);
            m_outFile.reset(::open(native.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR));
            if (m_outFile.get() < 0)
                throw Failure(QStringLiteral("Cannot write %1: %2").arg(path, systemErrorText(errno)));
            ::fchmod(m_outFile.get(), S_IRUSR | S_IWUSR);
        }
        // A plain rewrite: this copy is for looking at, and syncing it to disk for
        // every file sent would cost more than the upload itself.
        auto put = [this](const char* data, qint64 size, qint64 at) {
            while (size > 0) {
                const ssize_t n = ::pwrite(m_outFile.get(), data, size_t(size), off_t(at));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return false;
                data += n;
                size -= n;
                at += n;
            }
            return true;
        };
        const qint64 total = body.size() + 2;
        if (!put(body.constData(), body.size(), 0) || !put("\r\n", 2, body.size()) ||
            ::ftruncate(m_outFile.get(), off_t(total)) != 0) {
            const QString reason = systemErrorText(errno);
            m_outFile.reset();
            throw Failure(QStringLiteral("Cannot write %1: %2").arg(path, reason));
        }
    } catch (...) {
        m_view.addErrorBlock(describeCurrentException(), m_state.readFromFolder + m_state.currentFile);
    }
}

std::optional<FileGate::Identity> TransferDriver::convertCurrent()
{
    m_phase = Phase::Converting;
    const QString& currentFile = m_state.currentFile;
    const UploadRequest::NameParts name = UploadRequest::splitEntry(currentFile);
    const QString source = m_state.readFromFolder + currentFile;

    // A TIFF still being written would be converted in part and then deleted.
    const FileGate::Result gate = FileGate::checkComplete(source, expectationFor(currentFile));
    if (gate.verdict == FileGate::Verdict::BeingWritten) {
        holdBack(gate.description);
        return std::nullopt;
    }
    if (gate.verdict != FileGate::Verdict::Ready) {
        m_view.addErrorBlock(gate.description, source);
        return std::nullopt;
    }

    // The PDF goes to the top of the folder, under a name no file has yet.
    const QString outputPath = UploadRequest::freePdfPath(m_state.readFromFolder, name.dotPieces.value(0));
    const QString newName = QFileInfo(outputPath).fileName();
    m_view.log(QStringLiteral("New filename:") + newName);
    const QString commandLine = UploadRequest::conversionCommandLine(m_state.converterPath, source, outputPath);
    m_view.log(QStringLiteral("Command: ") + commandLine);
    const qint64 startedNs = FileGate::fileClockNowNs();
    const int exitCode = RunExe::RunAndWait(commandLine);

    // Only what this step made is ever deleted. The name was free when the
    // converter started; a file standing there that was created since by this
    // user is what the converter left. Anything else (a file moved there
    // meanwhile, the very reason a converter refuses) is somebody else's.
    QString failure;
    std::optional<FileGate::Identity> made;
    if (exitCode != 0) {
        failure = exitCode < 0
            ? QStringLiteral("The converter %1 could not be run or was stopped").arg(m_state.converterPath)
            : QStringLiteral("The converter ended with exit code %1").arg(exitCode);
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
        m_view.addErrorBlock(failure, source);
        return std::nullopt;
    }

    m_view.conversionDone();

    // A TIFF saved over while it was converted may be in the PDF or not: the PDF
    // goes, the new TIFF stays for a later pass.
    if (FileGate::identityAt(source) != gate.identity) {
        discardMade();
        holdBack(QStringLiteral("changed while it was converted"));
        return std::nullopt;
    }

    const QString newEntry = u'/' + newName;
    m_fileList->removeEntry(currentFile);
    m_fileList->insertAt(0, newEntry);
    QString why;
    switch (FileGate::removeIfUnchanged(source, gate.identity, &why)) {
    case FileGate::Removal::Removed:
    case FileGate::Removal::Gone:
    case FileGate::Removal::Changed: // the newer version waits for a later pass
        break;
    case FileGate::Removal::Refused:
        keepLeftover(Leftovers::Kind::Converted, gate.identity, source, why);
        break;
    }
    m_state.currentFile = newEntry;
    m_phase = Phase::Sending;
    return made;
}

// ---------------------------------------------------------------------------
// The answer

void TransferDriver::stateChanged(int state)
{
    if (state == InetControl::icError) {
        m_view.log(QStringLiteral("Error from Inet Control: ") + QString::number(m_inet.ResponseCode()) + u':' +
                   m_inet.ResponseInfo());
        // The operator must see that nothing was filed, not only the diagnostic log.
        if (m_inet.LastRequestDelivered())
            m_view.addStatus(QStringLiteral("%1 reached the web page, which may already have filed it. It stays in "
                                            "the folder and goes again with the next pass; check the page before "
                                            "you file it by hand.")
                                 .arg(m_state.currentFile));
        m_view.addStatus(QStringLiteral("Transfer failed: ") + m_inet.ResponseInfo());
        finish();
        m_state.requestBody.clear();
    } else if (state == InetControl::icResponseCompleted) {
        handleAnswer();
    }
    // Between passes out.txt is not held open: deleted by the operator, its
    // blocks are freed at once.
    if (!inFlight())
        m_outFile.reset();
}

void TransferDriver::reportReply(const QString& description)
{
    m_view.log(QStringLiteral("Error while processing incoming data: ") + description +
               QStringLiteral(" Inet Response: ") + QString::number(m_inet.ResponseCode()) + u':' +
               m_inet.ResponseInfo());
}

void TransferDriver::handleAnswer()
{
    m_phase = Phase::ReadingReply;
    const QString sentPath = m_sendingPath;
    const bool truncated = m_inet.ReplyTruncated();
    QByteArray replyBytes;
    QByteArray piece = m_inet.GetChunk(1024, 0);
    QCoreApplication::processEvents();
    while (!piece.isEmpty()) {
        replyBytes += piece;
        piece = m_inet.GetChunk(1024, 0);
        QCoreApplication::processEvents();
    }
    const QString reply = QString::fromUtf8(replyBytes);
    m_view.addStatus(reply);

    // An error page that happens to read "OK" has filed nothing.
    const long status = m_inet.ResponseCode();
    const bool success = status >= 200 && status <= 299;
    // The two bytes themselves: "OK" followed by a NUL reads as "OK" on screen.
    if (replyBytes == QByteArrayView("OK") && !truncated && success) {
        ++m_state.pagesFiled;
        finish();
        m_state.requestBody.clear();
        QString why;
        switch (FileGate::removeIfUnchanged(sentPath, m_sendingIdentity, &why)) {
        case FileGate::Removal::Removed:
            break;
        case FileGate::Removal::Gone:
            reportReply(why);
            break;
        case FileGate::Removal::Changed:
            // The version that was filed is gone from the folder already; the one
            // saved over it since has not been sent and waits for a later pass.
            m_view.addStatus(m_state.currentFile + QStringLiteral(" changed after it was sent; the new version is "
                                                                  "kept for a later pass."));
            break;
        case FileGate::Removal::Refused:
            // Filed: sending it again would file it twice, and stopping here would
            // hold back every file behind it.
            reportReply(why);
            keepLeftover(Leftovers::Kind::Filed, m_sendingIdentity, sentPath, why);
            break;
        }
        m_fileList->removeEntry(m_state.currentFile);
        try {
            processNextFile();
        } catch (...) {
            reportReply(describeCurrentException());
            m_view.addErrorBlock(describeCurrentException(), m_state.readFromFolder);
        }
        return;
    }

    // What the page said, so that a redirect or an error status can be told from a wrong text.
    QString answer = QStringLiteral("The web page answered ") + m_inet.ResponseInfo();
    if (!m_inet.ReplyLocation().isEmpty())
        answer += QStringLiteral(", pointing to ") + m_inet.ReplyLocation() + QStringLiteral(" (not followed)");
    m_view.addStatus(answer + u'.');
    m_view.addStatus(QStringLiteral("Error filing scan. Please try 'Force Transfer' in 10 minutes. If the problem "
                                    "continues, contact technical support.\r\n-------"));
    reportReply(truncated ? QStringLiteral("The reply was longer than 1 MiB") : QString());
    finish();
    m_state.requestBody.clear();
}
