#include "TransferDriver.h"

#include "Failure.h"
#include "FileListModel.h"
#include "GeneralDate.h"
#include "InetControl.h"
#include "RegularFile.h"
#include "TiffConversion.h"
#include "UploadRequest.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMultiHash>
#include <QNetworkReply>
#include <QSet>

#include <limits>

void TransferView::addErrorBlock(const QString& description, const QString& subject)
{
    addStatus(QString(18, u'-'));
    addStatus(description);
    addStatus(QStringLiteral("Error @ ") + generalDateTime());
    addStatus(QStringLiteral("Reading: ") + subject);
}

namespace {

/// Documents filed whose rows may still be on their way to the disk.
constexpr size_t MaxFiledWaiting = 4;
/// Documents named when the page turns out to have shifted its answers.
constexpr size_t MaxAnswersNamed = 20;

/// What was done with a file that could not be deleted afterwards.
QString doneWith(Leftovers::Kind kind)
{
    return kind == Leftovers::Kind::Filed ? QStringLiteral("was filed") : QStringLiteral("was converted");
}

} // namespace

TransferDriver::TransferDriver(TransferState& state, TransferView& view, InetControl& inet,
                               std::function<PassConfig()> configSource, QObject* parent)
    : QObject(parent), m_state(state), m_view(view), m_inet(inet), m_configSource(std::move(configSource)),
      m_fileList(new FileListModel(this))
{
    connect(&m_inet, &InetControl::sendProgress, this, [this](qint64 sent, qint64 total) {
        if (m_flight && m_flight->phase == Flight::Phase::Sending)
            emit sending(m_flight->entry, sent, total, m_fileList->count() - 1);
    });
    connect(&m_inet, &InetControl::answersInDoubt, this, &TransferDriver::answersInDoubt);
}

QString TransferDriver::folderLockMessage() const
{
    return m_folderLock.held() ? QString() : m_folderLock.message();
}

// ---------------------------------------------------------------------------
// The document in flight

void TransferDriver::beginFlight(const QString& entry)
{
    Flight flight;
    flight.entry = entry;
    m_flight = std::move(flight);
    m_state.currentFile = entry;
}

void TransferDriver::endFlight()
{
    m_flight.reset();
    m_state.requestBody.clear();
}

// ---------------------------------------------------------------------------
// Listing

void TransferDriver::refreshFileList()
{
    // A document filed and not yet deleted would be listed again.
    settleFiled();
    if (!inFlight())
        m_config = m_configSource();
    const QString& folder = m_config.readFromFolder;
    m_fileList->clear();
    m_listed.clear();
    m_recoveryNotes.clear();
    // Another Quillfeed may serve this folder: its files are then listed for the
    // operator to see, and nothing of it is ours to send, change or recover.
    const bool ours = m_folderLock.acquire(folder);
    if (ours && m_recoveredFolder != folder) {
        m_recoveredFolder = folder;
        recoverInterrupted();
    }
    std::vector<ListedFile> found;
    auto publish = [&] {
        QStringList entries;
        std::vector<std::pair<quint64, QString>> refusedLast;
        entries.reserve(qsizetype(found.size()));
        m_listed.reserve(qsizetype(found.size()));
        for (ListedFile& f : found) {
            // A refused document waits behind the others while it stays as it
            // was refused; changed, it is a new document.
            const auto refused = m_refused.constFind(f.entry);
            const bool waits = refused != m_refused.cend() && refused->stamp == f.stamp;
            if (refused != m_refused.cend() && !waits)
                m_refused.erase(refused);
            if (waits)
                refusedLast.emplace_back(refused->order, f.entry);
            else
                entries.push_back(f.entry);
            m_listed.insert(f.entry, std::move(f));
        }
        std::sort(refusedLast.begin(), refusedLast.end());
        for (const auto& [order, entry] : refusedLast)
            entries.push_back(entry);
        m_fileList->setEntries(std::move(entries));
        // A page that is no longer listed went out or went away; a new file
        // under its name is somebody's, not the scanner's.
        m_trustedPages.removeIf([this](const auto& page) { return !m_listed.contains(page.key()); });
    };
    try {
        listFolderTree(folder, found, ours);
    } catch (...) {
        publish();
        throw;
    }
    if (ours && !inFlight())
        finishConvertedPairs(found);
    publish();
    if (!ours)
        return;
    // Only a complete listing can tell that a remembered file is gone.
    if (!m_leftovers.isEmpty()) {
        QSet<FileGate::Identity> present;
        for (const ListedFile& f : std::as_const(m_listed))
            present.insert(f.stamp);
        m_leftovers.keepOnly(folder, present);
    }
}

void TransferDriver::recoverInterrupted()
{
    const QString& folder = m_config.readFromFolder;
    m_journal.setFolder(folder);
    // With the folder locked no converter of this user's is at work in it.
    if (const int swept = StationJournal::sweepConverterTemporaries(folder))
        m_view.log(QStringLiteral("Removed %1 unfinished converter file(s) from %2").arg(swept).arg(folder));

    const StationJournal::Interrupted stopped = m_journal.takeInterrupted();
    if (stopped.damaged)
        recoveryNote(
            QStringLiteral("Quillfeed stopped, and its record of what it was sending then is damaged: "
                           "a document of %1 the web page had filed may still be in the folder and "
                           "go again with the next pass; check the page for documents filed twice.")
                .arg(folder));
    if (stopped.sending.isEmpty() && stopped.filed.isEmpty())
        return;
    // A row written no earlier than notBefore names the file with its bytes as
    // they are still: the page filed it and the stop came before the delete.
    const QList<FiledLog::Row> rows = m_filedLog.lastRows();
    const auto filedBeforeTheStop = [&](const QString& path, qint64 notBefore) {
        for (auto row = rows.crbegin(); row != rows.crend() && row->filedAt.toSecsSinceEpoch() >= notBefore;
             ++row) {
            if (m_config.readFromFolder + row->file == path && deleteRecorded(path, *row))
                return true;
        }
        return false;
    };
    for (const QString& filed : stopped.filed) {
        if (!filedBeforeTheStop(filed, std::numeric_limits<qint64>::min()) && QFileInfo::exists(filed))
            recoveryNote(QStringLiteral("Quillfeed stopped after the web page had filed %1, before it could "
                                        "delete it, and no record of the filing matches the file as it is "
                                        "now. It goes again with the next pass; check the page before you "
                                        "file it by hand.")
                             .arg(filed));
    }
    const QString& sent = stopped.sending;
    // The one in flight counts as filed only by a row made for this request,
    // not for the same bytes filed before and put back by the operator (rows
    // have whole seconds). Not only the newest row: a station of this user on
    // another folder writes to the same filed.csv, and its rows may have come
    // after this one's while the next document here was converted.
    if (sent.isEmpty() ||
        (stopped.recorded.isValid() && filedBeforeTheStop(sent, stopped.recorded.toSecsSinceEpoch())))
        return;
    recoveryNote(QStringLiteral("Quillfeed stopped while it was sending %1; the web page may already have "
                                "filed it. %2")
                     .arg(sent, QFileInfo::exists(sent)
                                    ? QStringLiteral("It is still in the folder and goes again with the next "
                                                     "pass; check the page before you file it by hand.")
                                    : QStringLiteral("It is no longer in the folder.")));
}

bool TransferDriver::deleteRecorded(const QString& path, const FiledLog::Row& row)
{
    const std::optional<FileGate::Identity> now = FileGate::identityAt(path);
    if (!now || now->size != row.bytes)
        return false;
    const std::optional<QByteArray> content = RegularFile::read(path, row.bytes + 1, false);
    if (!content || content->size() != row.bytes || FiledLog::sha256Hex(*content) != row.sha256)
        return false;
    QString why;
    switch (FileGate::removeIfUnchanged(path, *now, &why)) {
    case FileGate::Removal::Removed:
        recoveryNote(
            QStringLiteral("Quillfeed stopped after the web page had filed %1 (%2), before it could delete "
                           "it; it is deleted now and not sent again.")
                .arg(path, row.filedAt.toString(Qt::ISODate)));
        return true;
    case FileGate::Removal::Refused:
        keepLeftover(Leftovers::Kind::Filed, *now, path, why);
        return true;
    case FileGate::Removal::Gone:
    case FileGate::Removal::Changed:
        return false;
    }
    return false;
}

void TransferDriver::finishConvertedPairs(std::vector<ListedFile>& found)
{
    // The PDFs listed at the top, by the base name of the TIFF each may be made of.
    QMultiHash<QString, QString> pdfsByBase;
    for (const ListedFile& f : found) {
        for (const QString& base : TiffConversion::tiffBasesOf(f.entry))
            pdfsByBase.insert(base, f.entry);
    }
    const QString& folder = m_config.readFromFolder;
    std::erase_if(found, [&](const ListedFile& tiff) {
        const UploadRequest::NameParts name = UploadRequest::splitEntry(tiff.entry);
        if (tiff.symbolicLink || UploadRequest::ruleForExtension(name.extension.value_or(QString())).action !=
                                     UploadRequest::Action::Convert)
            return false;
        // A station stopped once the converter had linked the PDF and before
        // it deleted the TIFF (this one, or one of another account serving the
        // folder before it): the PDF names the TIFF it was made of. The TIFF
        // goes, or the document goes twice.
        for (const QString& pdf : pdfsByBase.values(TiffConversion::pdfBaseFor(tiff.entry))) {
            if (!TiffConversion::madeFrom(folder + pdf, tiff.stamp))
                continue;
            QString why;
            switch (FileGate::removeIfUnchanged(folder + tiff.entry, tiff.stamp, &why)) {
            case FileGate::Removal::Removed:
                recoveryNote(
                    QStringLiteral("Quillfeed stopped after it had converted %1 into %2; the TIFF is "
                                   "removed, the PDF goes with the next pass.")
                        .arg(folder + tiff.entry, folder + pdf));
                return true;
            case FileGate::Removal::Gone:
                return true;
            case FileGate::Removal::Changed:
                return false;
            case FileGate::Removal::Refused:
                keepLeftover(Leftovers::Kind::Converted, tiff.stamp, folder + tiff.entry, why);
                return false;
            }
        }
        return false;
    });
}

void TransferDriver::recoveryNote(const QString& note)
{
    m_view.addStatus(note);
    m_recoveryNotes << note;
}

void TransferDriver::trustScannedPages(const QStringList& paths)
{
    const QString& folder = m_config.readFromFolder;
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
        m_view.addStatus(
            QStringLiteral("The last request has reached the web page; waiting for its answer."));
    } else {
        m_inet.Cancel();
        m_journal.endSend();
        endFlight();
        m_view.addStatus(QStringLiteral("Cancelled last request."));
    }
}

bool TransferDriver::beginPass()
{
    m_config = m_configSource();
    m_filedInPass = 0;
    m_refusedInPass.clear();
    m_passRefusal.clear();
    if (!m_folderLock.acquire(m_config.readFromFolder)) {
        // Said at every Force Transfer and every tick, for as long as it lasts.
        m_view.addStatus(m_folderLock.message());
        return false;
    }
    // Taken over from another station: what a stop of this one left is seen to first.
    if (m_recoveredFolder != m_config.readFromFolder)
        refreshFileList();
    return true;
}

void TransferDriver::processNextFile()
{
    if (!inFlight() && !beginPass())
        return;
    nextFile();
}

void TransferDriver::nextFile()
{
    // Files that are skipped or held back hand over to the next entry at once;
    // a loop keeps a long run of them from nesting calls.
    while (m_fileList->count() > 0) {
        const QString next = m_fileList->at(0);
        // Every document left was refused in this pass: they wait for the next.
        if (m_refusedInPass.contains(next))
            break;
        m_view.log(QStringLiteral("Filename: ") + next);
        if (m_inet.StillExecuting() || inFlight()) {
            m_view.addStatus(
                QStringLiteral("----Still Executing----\r\nWait a minute or two and press 'Force "
                               "Transfer' to continue uploading.\r\n----") +
                QString::number(m_state.pagesFiled) + QStringLiteral(" Pages Filed----"));
            return;
        }
        beginFlight(next);
        if (sendCurrent() == UploadOutcome::Sent)
            return;
    }
    settleFiled();
    if (m_view.statusHead(7) != QLatin1String("----Fin"))
        m_view.addStatus(QStringLiteral("----Finished Processing Scans----\r\n----") +
                         QString::number(m_state.pagesFiled) + QStringLiteral(" Pages Filed----"));
    finishPass(std::exchange(m_passRefusal, QString()));
    refreshFileList();
}

void TransferDriver::finishPass(const QString& failure)
{
    // A pass that filed nothing has ended on the documents it refused: the
    // desktop hears of them now, and not again while others are filed.
    if (m_filedInPass == 0) {
        for (const QString& entry : std::as_const(m_refusedInPass)) {
            if (const auto r = m_refused.find(entry); r != m_refused.end())
                r->told = true;
        }
    }
    m_refusedInPass.clear();
    m_passRefusal.clear();
    emit passEnded(std::exchange(m_filedInPass, 0), failure);
}

void TransferDriver::upload()
{
    if (inFlight() || m_inet.StillExecuting()) {
        nextFile(); // which says that the last one is still under way
        return;
    }
    if (!beginPass())
        return;
    beginFlight(m_state.currentFile);
    if (sendCurrent() == UploadOutcome::NextEntry)
        nextFile();
}

TransferDriver::UploadOutcome TransferDriver::sendCurrent()
{
    try {
        return uploadCurrent();
    } catch (...) {
        // Whatever broke this upload, it must not leave the driver busy for good.
        endFlight();
        throw;
    }
}

TransferDriver::UploadOutcome TransferDriver::passOver()
{
    m_fileList->removeEntry(m_flight->entry);
    endFlight();
    return UploadOutcome::NextEntry;
}

void TransferDriver::holdBack(const QString& why)
{
    m_view.addStatus(QStringLiteral("Held back ") + m_flight->entry + QStringLiteral(": ") + why +
                     QStringLiteral("; it goes in a later pass."));
}

void TransferDriver::keepLeftover(Leftovers::Kind kind, const FileGate::Identity& identity,
                                  const QString& path, const QString& why)
{
    const QString stored = m_leftovers.add(kind, identity, path);
    const QString done = doneWith(kind);
    const QString again =
        kind == Leftovers::Kind::Filed ? QStringLiteral("sent") : QStringLiteral("converted");
    m_view.addStatusOnce(
        QStringLiteral("%1 %2 but cannot be deleted (%3). It is not %4 again while it stays as it "
                       "is; delete it by hand, or let Quillfeed's user delete files in its folder.")
            .arg(path, done, why, again));
    if (!stored.isEmpty())
        m_view.addStatus(stored + QStringLiteral("; after a restart of Quillfeed it could be sent again."));
}

bool TransferDriver::leftAlone(const QString& entry)
{
    const auto listed = m_listed.constFind(entry);
    if (listed == m_listed.cend())
        return false;
    if (listed->nameNotText) {
        // Left where it is: renamed to valid text, it goes with the next pass.
        m_view.addStatus(
            QStringLiteral("Cannot send %1: its name is not valid text (UTF-8); rename the file to send it.")
                .arg(entry));
        return true;
    }
    if (listed->symbolicLink) {
        // Anyone who can drop a file here could otherwise have the page sent
        // whatever this user can read (settings.txt and its proxy password).
        m_view.addStatusOnce(
            QStringLiteral("Left alone %1: it is a symbolic link, and links are never followed; put "
                           "the file itself into the folder to send it.")
                .arg(entry));
        return true;
    }
    if (const Leftovers::Record* done = m_leftovers.find(listed->stamp)) {
        m_view.addStatusOnce(
            QStringLiteral("Left alone %1: it %2 already but could not be deleted; delete it by hand.")
                .arg(m_config.readFromFolder + entry, doneWith(done->kind)));
        return true;
    }
    return false;
}

TransferDriver::UploadOutcome TransferDriver::uploadCurrent()
{
    const QString entry = m_flight->entry;
    // The file name and its extension: the second piece between dots.
    const UploadRequest::NameParts name = UploadRequest::splitEntry(entry);
    if (!name.extension)
        m_view.addErrorBlock(QStringLiteral("Subscript out of range"), m_config.readFromFolder + entry);
    const UploadRequest::TypeRule rule = UploadRequest::ruleForExtension(name.extension.value_or(QString()));

    if (leftAlone(entry))
        return passOver();
    if (rule.action == UploadRequest::Action::Skip) {
        // Skipped files stay in the folder: their type may be one the operator keeps.
        m_view.addStatus(QStringLiteral("Skipping ") + entry + QStringLiteral("... "));
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
        expected = expectationFor(entry);
    }

    const QString sent = m_flight->entry; // the PDF's, once converted
    const QString path = m_config.readFromFolder + sent;
    const QByteArray prefix = UploadRequest::bodyPrefix(sent, rule.contentType);
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
        m_view.addErrorBlock(read.description, path);
        return passOver();
    }
    m_flight->path = path;
    m_flight->identity = read.identity;
    m_flight->contentStart = prefix.size();
    m_flight->contentSize = body.size() - prefix.size();
    const QByteArrayView content = QByteArrayView(body).sliced(prefix.size());
    const QByteArray boundary = UploadRequest::boundaryFor(content);
    if (boundary != UploadRequest::Boundary) {
        // Rare (a document holding the usual boundary): a second copy is acceptable.
        const QByteArray longerPrefix = UploadRequest::bodyPrefix(sent, rule.contentType, boundary);
        m_flight->contentStart = longerPrefix.size();
        body = longerPrefix + content.toByteArray() + UploadRequest::bodySuffix(boundary);
    } else {
        body += suffix;
    }
    send(std::move(body), boundary);
    return UploadOutcome::Sent;
}

void TransferDriver::send(QByteArray body, const QByteArray& boundary)
{
    m_view.log(QStringLiteral("Attempting upload"));
    const bool viaProxy = !m_config.proxyAddress.isEmpty();
    const bool https = m_config.uploadUrl.startsWith(QLatin1String("https:"), Qt::CaseInsensitive);
    m_inet.setProxyCredentials(m_config.proxyUserName, m_config.proxyPassword);
    const QString headers =
        UploadRequest::headerText(viaProxy, https, m_config.proxyUserName, m_config.proxyPassword, boundary);

    const QString entry = m_flight->entry;
    const QString path = m_flight->path;
    m_flight->phase = Flight::Phase::Sending;
    m_state.requestBody = body;
    if (const QString unrecorded = m_journal.beginSend(path); !unrecorded.isEmpty())
        m_view.addStatusOnce(unrecorded);
    try {
        m_inet.Execute(m_config.uploadUrl, QStringLiteral("POST"), body, headers);
    } catch (...) {
        m_journal.endSend();
        m_view.addErrorBlock(describeCurrentException(), path);
        // No answer will come for a request that never started.
        endFlight();
    }
    m_view.addStatus(QStringLiteral("Uploading ") + entry + QStringLiteral("... "));
    if (m_flight)
        emit sending(entry, 0, body.size(), m_fileList->count() - 1);
    if (const QString why = m_outFile.write(body); !why.isEmpty())
        m_view.addErrorBlock(why, path);
}

std::optional<FileGate::Identity> TransferDriver::convertCurrent()
{
    const QString tiff = m_flight->entry;
    TiffConversion::Hooks hooks;
    hooks.log = [this](const QString& line) { m_view.log(line); };
    hooks.inspect = [this] { m_view.conversionDone(); };
    hooks.tiffKept = [this](const FileGate::Identity& identity, const QString& path, const QString& why) {
        keepLeftover(Leftovers::Kind::Converted, identity, path, why);
    };
    const TiffConversion::Result result = TiffConversion::convert(
        {m_config.readFromFolder, tiff, m_config.converterPath, expectationFor(tiff)}, hooks);
    switch (result.outcome) {
    case TiffConversion::Result::Outcome::HeldBack:
        holdBack(result.message);
        return std::nullopt;
    case TiffConversion::Result::Outcome::Failed:
        m_view.addErrorBlock(result.message, result.subject);
        return std::nullopt;
    case TiffConversion::Result::Outcome::Converted:
        break;
    }
    m_fileList->removeEntry(tiff);
    m_fileList->insertAt(0, result.pdfEntry);
    m_flight->entry = result.pdfEntry;
    m_state.currentFile = result.pdfEntry;
    return result.pdf;
}

// ---------------------------------------------------------------------------
// The answer

void TransferDriver::stateChanged(int state)
{
    if (state == InetControl::icError) {
        m_view.log(QStringLiteral("Error from Inet Control: ") + QString::number(m_inet.ResponseCode()) +
                   u':' + m_inet.ResponseInfo());
        // The operator must see that nothing was filed, not only the diagnostic log.
        if (m_inet.LastRequestDelivered())
            m_view.addStatus(
                QStringLiteral("%1 reached the web page, which may already have filed it. It stays in "
                               "the folder and goes again with the next pass; check the page before "
                               "you file it by hand.")
                    .arg(m_state.currentFile));
        if (m_inet.ResponseCode() == QNetworkReply::ProxyAuthenticationRequiredError)
            m_view.addStatus(
                QStringLiteral("Transfer failed: the proxy refused the user name and password in "
                               "Setup (%1); %2 stays in the folder.")
                    .arg(m_inet.ResponseInfo(), m_state.currentFile));
        else
            m_view.addStatus(
                QStringLiteral("Transfer failed: no answer from the web page (%1); %2 stays in the "
                               "folder and goes again with the next pass.")
                    .arg(m_inet.ResponseInfo(), m_state.currentFile));
        m_journal.endSend();
        endFlight();
        settleFiled();
        finishPass(m_inet.ResponseInfo());
    } else if (state == InetControl::icResponseCompleted) {
        handleAnswer();
    }
    // Between passes out.txt is not held open: deleted by the operator, its
    // blocks are freed at once.
    if (!inFlight())
        m_outFile.release();
}

void TransferDriver::answersInDoubt(int count)
{
    // The count takes in the answer being read, which is not among the last ones yet.
    if (m_flight && m_flight->phase == Flight::Phase::ReadingReply) {
        m_doubtPending += count;
        return;
    }
    QStringList deleted;
    QStringList kept;
    const auto named = std::min<std::size_t>(std::size_t(count), m_lastAnswers.size());
    for (auto a = m_lastAnswers.end() - std::ptrdiff_t(named); a != m_lastAnswers.end(); ++a)
        (a->filed ? deleted : kept) << a->entry;
    m_lastAnswers.clear();
    QString text =
        QStringLiteral("The web page sent more on a kept connection than it was asked for, so ") +
        (count == 1
             ? QStringLiteral("its last answer there may have belonged to another document.")
             : QStringLiteral("its last %1 answers there may have belonged to other documents.").arg(count));
    if (!deleted.isEmpty())
        text += QStringLiteral(" Deleted as filed, but perhaps refused: ") +
                deleted.join(QStringLiteral(", ")) + u'.';
    if (!kept.isEmpty())
        text += QStringLiteral(" Kept as refused, but perhaps filed already: ") +
                kept.join(QStringLiteral(", ")) + u'.';
    if (std::size_t(count) > named)
        text += QStringLiteral(" The %1 before them are not named here.").arg(std::size_t(count) - named);
    m_view.addStatus(text + QStringLiteral(" Check them at the web page."));
    m_view.log(text);
}

void TransferDriver::reportReply(const QString& description)
{
    m_view.log(QStringLiteral("Error while processing incoming data: ") + description +
               QStringLiteral(" Inet Response: ") + QString::number(m_inet.ResponseCode()) + u':' +
               m_inet.ResponseInfo());
}

void TransferDriver::handleAnswer()
{
    m_flight->phase = Flight::Phase::ReadingReply;
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
    // An error page that happens to read "OK" has filed nothing; "OK" followed
    // by a NUL reads as "OK" on screen, so the two bytes themselves count.
    const long status = m_inet.ResponseCode();
    const bool filed = replyBytes == QByteArrayView("OK") && !truncated && status >= 200 && status <= 299;
    // The record of a filing goes to disk at once: a stop from here on must
    // find it, and the status box and its repaint can wait.
    if (filed)
        recordFiled();
    m_view.addStatus(reply);
    m_lastAnswers.push_back({m_flight->entry, filed});
    if (m_lastAnswers.size() > MaxAnswersNamed)
        m_lastAnswers.pop_front();
    if (m_doubtPending > 0)
        answersInDoubt(std::exchange(m_doubtPending, 0));

    if (filed) {
        ++m_state.pagesFiled;
        ++m_filedInPass;
        ++m_filedInRun;
        const QString entry = m_flight->entry;
        endFlight();
        m_fileList->removeEntry(entry);
        m_refused.remove(entry);
        // A disk slower than the page would let documents filed and not yet
        // deleted pile up, each one sent again should the power fail before its
        // row is on the disk, and their names could outgrow what one write of
        // the send record keeps whole through a kill: the next document waits
        // for the oldest of them.
        while (!m_filedWaiting.empty() && (m_filedWaiting.size() > MaxFiledWaiting || m_journal.crowded())) {
            m_sync.waitFor(m_filedWaiting.front().ticket);
            deleteSynced();
        }
        goOn();
        return;
    }

    // What the page said, so that a redirect or an error status can be told from a wrong text.
    QString answer = QStringLiteral("Not filed: the web page answered ") + m_inet.ResponseInfo();
    if (!m_inet.ReplyLocation().isEmpty())
        answer +=
            QStringLiteral(", pointing to ") + m_inet.ReplyLocation() + QStringLiteral(" (not followed)");
    // One document the page will not take must not hold back the others: it
    // goes behind them, in this pass's list and in every later listing, until
    // it is filed or changes. A transport failure moves nothing: it says
    // nothing of the document, and the next one would meet it as well.
    const QString refused = m_flight->entry;
    const auto before = m_refused.constFind(refused);
    const bool sameFile = before != m_refused.cend() && before->stamp == m_flight->identity;
    const quint64 firstRefusal = sameFile ? before->filedBefore : m_filedInRun;
    // Refused before, and the page has filed others since: it is up, and the
    // desktop heard of this document then. A pass ending on it again is no news,
    // or an office with one document the page never takes would hear "stopped"
    // and "resumed" by turns all day. The desktop hears only of a pass that
    // filed nothing: while each pass that ended on this document filed others,
    // it has heard nothing of it yet.
    const bool told = sameFile && before->told;
    const bool refusedAgain = told && firstRefusal < m_filedInRun;
    const bool documentOnly = refusesTheDocument(int(status));
    m_refused.insert(refused, {m_flight->identity, ++m_refusals, firstRefusal,
                               told || (!documentOnly && m_filedInPass == 0)});
    if (m_fileList->removeEntry(refused))
        m_fileList->insertAt(m_fileList->count(), refused);
    reportReply(truncated ? QStringLiteral("The reply was longer than 1 MiB") : QString());
    m_journal.endSend();
    endFlight();
    const QString failure = QStringLiteral("the web page answered ") + m_inet.ResponseInfo();
    if (documentOnly) {
        // The page refuses this document, not documents: the pass goes on with
        // the next, and trying this one again will not change the answer.
        m_view.addStatus(
            QStringLiteral(
                "Not filed: the web page refused %1 %2(%3); it waits in the folder, behind the other "
                "documents, until it is filed or changes.")
                .arg(refused, status == 413 ? QStringLiteral("as too large for it ") : QString(),
                     m_inet.ResponseInfo()));
        m_refusedInPass.insert(refused);
        if (!refusedAgain)
            m_passRefusal = failure;
        goOn();
        return;
    }
    answer +=
        QStringLiteral(". %1 waits behind the other documents until it is filed or changes").arg(refused);
    if (status == 407)
        answer = QStringLiteral("Not filed: the proxy%1 refused the user name and password in Setup (%2); %3 "
                                "stays in the folder")
                     .arg(m_config.proxyAddress.isEmpty() ? QString() : u' ' + m_config.proxyAddress,
                          m_inet.ResponseInfo(), refused);
    m_view.addStatus(answer + u'.');
    m_view.addStatus(
        QStringLiteral("Error filing scan. Please try 'Force Transfer' in 10 minutes. If the problem "
                       "continues, contact technical support.\r\n-------"));
    settleFiled();
    // The list never runs empty while the page refuses a document every time,
    // and a tick only lists the folder anew when it does: without a listing
    // here, files that arrived or changed since would never be sent.
    try {
        refreshFileList();
    } catch (...) {
        m_view.addErrorBlock(describeCurrentException(), m_config.readFromFolder);
    }
    finishPass(refusedAgain ? QString() : failure);
}

bool TransferDriver::refusesTheDocument(int status)
{
    // 413: too large for the page; 415: of a type it does not take; 422: a
    // document it could not process. Each is said of this document, and the
    // next may be taken. Anything else (a wrong text, 4xx of the page's access
    // or address, 5xx, a proxy's 407, 408, 429) would meet the next one as well.
    return status == 413 || status == 415 || status == 422;
}

void TransferDriver::goOn()
{
    try {
        nextFile();
    } catch (...) {
        reportReply(describeCurrentException());
        m_view.addErrorBlock(describeCurrentException(), m_config.readFromFolder);
    }
}

void TransferDriver::recordFiled()
{
    // Written before anything else happens: a stop from here on finds it. It
    // reaches the disk on the sync thread while the next document goes out,
    // and the document is deleted once it has.
    int unsynced = -1;
    const QString unrecorded = m_filedLog.append(
        FiledLog::rowFor(
            m_flight->entry,
            QByteArrayView(m_state.requestBody).sliced(m_flight->contentStart, m_flight->contentSize),
            m_config.uploadUrl),
        &unsynced);
    m_filedWaiting.push_back(
        {m_flight->entry, m_flight->path, m_flight->identity, unsynced < 0 ? 0 : m_sync.request(unsynced)});
    m_journal.sendFiled();
    if (!unrecorded.isEmpty())
        m_view.addStatus(unrecorded + QStringLiteral("; %1 was filed all the same.").arg(m_flight->entry));
}

void TransferDriver::settleFiled()
{
    if (m_filedWaiting.empty())
        return;
    m_sync.waitAll();
    deleteSynced();
}

void TransferDriver::deleteSynced()
{
    const auto deleteUpTo = [this](quint64 upTo, int error) {
        // In the order filed; one whose record could not be written (ticket 0)
        // waits only for those before it.
        while (!m_filedWaiting.empty() && m_filedWaiting.front().ticket <= upTo) {
            const FiledWaiting filed = std::move(m_filedWaiting.front());
            m_filedWaiting.pop_front();
            if (error && filed.ticket)
                m_view.addStatus(QStringLiteral("Cannot record in %1: %2; %3 was filed all the same.")
                                     .arg(m_filedLog.path(), systemErrorText(error), filed.entry));
            removeFiled(filed);
        }
    };
    for (const DiskSync::Done& done : m_sync.takeDone()) {
        m_syncedUpTo = done.upTo;
        deleteUpTo(done.upTo, done.error);
    }
    deleteUpTo(m_syncedUpTo, 0);
}

void TransferDriver::removeFiled(const FiledWaiting& filed)
{
    QString why;
    const FileGate::Removal removal = FileGate::removeIfUnchanged(filed.path, filed.identity, &why);
    switch (removal) {
    case FileGate::Removal::Removed:
        break;
    case FileGate::Removal::Changed:
        // The version that was filed is gone from the folder already; the one
        // saved over it since has not been sent and waits for a later pass.
        m_view.addStatus(filed.entry +
                         QStringLiteral(" changed after it was sent; the new version is kept for a "
                                        "later pass."));
        break;
    case FileGate::Removal::Gone:
    case FileGate::Removal::Refused:
        m_view.log(QStringLiteral("Error while processing incoming data: ") + why);
        // Filed: sending it again would file it twice, and stopping here would
        // hold back every file behind it.
        if (removal == FileGate::Removal::Refused)
            keepLeftover(Leftovers::Kind::Filed, filed.identity, filed.path, why);
        break;
    }
    m_journal.filedDone(filed.path);
}
