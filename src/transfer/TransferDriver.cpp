#include "TransferDriver.h"

#include "AnswerText.h"
#include "DiskSpace.h"
#include "Failure.h"
#include "FileListModel.h"
#include "GeneralDate.h"
#include "InetControl.h"
#include "PassTexts.h"
#include "PrivateData.h"
#include "Recovery.h"
#include "TiffConversion.h"
#include "UploadRequest.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QSet>
#include <QUrl>

void TransferView::addErrorBlock(const QString& description, const QString& subject)
{
    addStatus(QString(18, u'-'));
    addStatus(description);
    addStatus(QStringLiteral("Error @ ") + generalDateTime());
    addStatus(QStringLiteral("Reading: ") + subject);
}

namespace {

// A random boundary the document holds is all but impossible; a few tries
// cover a document made to hold the usual one and its first longer forms.
constexpr int kBoundaryTries = 4;

/// What was done with a file that could not be deleted afterwards.
bool wasFiled(Leftovers::Kind kind)
{
    return kind == Leftovers::Kind::Filed;
}

} // namespace

TransferDriver::TransferDriver(TransferState& state, TransferView& view, InetControl& inet,
                               std::function<PassConfig()> configSource, QObject* parent)
    : QObject(parent), m_state(state), m_view(view), m_inet(inet), m_configSource(std::move(configSource)),
      m_fileList(new FileListModel(this)), m_clock([] { return QDateTime::currentMSecsSinceEpoch(); }),
      m_filed({[this](const QString& line) { m_view.addStatus(line); },
               [this](const QString& line) { m_view.log(line); },
               [this](const FileStamp& stamp, const QString& path, const QString& why) {
                   keepLeftover(Leftovers::Kind::Filed, stamp, path, why);
               },
               [this](const QString& path) { m_journal.filedDone(path); }, m_filedLog.path()})
{
    connect(&m_inet, &InetControl::sendProgress, this, [this](qint64 sent, qint64 total) {
        if (m_stage == Stage::Sending)
            emit sending(m_flight->entry, sent, total, m_fileList->count() - 1);
    });
    connect(&m_inet, &InetControl::answersInDoubt, this, &TransferDriver::answersInDoubt);
}

bool TransferDriver::recovered() const
{
    return m_recoveredFolder == m_config.readFromFolder && m_recoveredId == m_folderLock.id();
}

QString TransferDriver::folderLockMessage() const
{
    return m_folderLock.servedByAnother() ? m_folderLock.message() : QString();
}

void TransferDriver::settleFiled()
{
    m_filed.settle();
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
    // Another folder under the same name (the first one moved away, one made in
    // its place) has a stop of its own to look at, once nothing is in flight.
    if (ours && (m_recoveredFolder != folder || (!recovered() && !inFlight()))) {
        m_recoveredFolder = folder;
        m_recoveredId = m_folderLock.id();
        Recovery::finishStop(folder, m_journal, m_filedLog, recoveryHooks());
    }
    if (ours)
        useRefusalRecord();
    std::vector<ListedFile> found;
    auto publish = [&](bool complete) {
        m_fileList->setEntries(m_refusals.order(found, complete));
        m_listed.reserve(qsizetype(found.size()));
        for (ListedFile& f : found)
            m_listed.insert(f.entry, std::move(f));
        // A page that is no longer listed went out or went away; a new file
        // under its name is somebody's, not the scanner's.
        m_trustedPages.removeIf([this](const auto& page) { return !m_listed.contains(page.key()); });
    };
    try {
        listFolderTree(folder, found, ours);
    } catch (...) {
        publish(false);
        throw;
    }
    if (ours && !inFlight())
        Recovery::finishConvertedPairs(folder, found, recoveryHooks());
    publish(true);
    if (!ours)
        return;
    // Only a complete listing can tell that a remembered file is gone.
    if (!m_leftovers.isEmpty()) {
        QSet<FileStamp> present;
        for (const ListedFile& f : std::as_const(m_listed))
            present.insert(f.stamp);
        m_leftovers.keepOnly(folder, present);
    }
}

void TransferDriver::useRefusalRecord()
{
    // One record per folder, as the send record: no other station serves it.
    const FileId id = m_folderLock.id();
    const QString path = PrivateData::path(QStringLiteral("refused-%1-%2.txt").arg(id.device).arg(id.inode));
    if (path == m_refusals.recordPath())
        return;
    if (!m_refusals.useRecord(path))
        m_view.addStatus(PassTexts::refusalRecordDamaged(path));
}

Recovery::Hooks TransferDriver::recoveryHooks()
{
    return {[this](const QString& note) {
                m_view.addStatus(note);
                m_recoveryNotes << note;
            },
            [this](const QString& line) { m_view.log(line); },
            [this](Leftovers::Kind kind, const FileStamp& stamp, const QString& path, const QString& why) {
                keepLeftover(kind, stamp, path, why);
            }};
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
        m_view.addStatus(PassTexts::awaitingAnswer());
        return;
    }
    m_inet.Cancel();
    if (m_stage == Stage::Sending)
        finish(Outcome::Cancelled);
    m_view.addStatus(PassTexts::cancelled());
}

bool TransferDriver::beginPass()
{
    m_config = m_configSource();
    m_report = {};
    m_saidOutOfRoom = false;
    m_refusals.beginPass();
    m_waitingInPass.clear();
    m_passForced = std::exchange(m_forceNext, false);
    const bool ours = m_folderLock.acquire(m_config.readFromFolder);
    if (!ours && m_folderLock.servedByAnother()) {
        // Said at every Force Transfer and every tick, for as long as it lasts.
        m_view.addStatus(m_folderLock.message());
        return false;
    }
    m_stage = Stage::Choosing;
    if (!ours) {
        // A folder that cannot be examined is no other station's: listing it
        // says why, and the pass ends on that. Should it be there by now, it
        // is served only once it is this station's.
        refreshFileList();
        if (!m_folderLock.held()) {
            m_stage = Stage::Idle;
            return false;
        }
    }
    // Taken over from another station: what a stop of this one left is seen to
    // first. And when only documents the page refused are left (they stand last),
    // what arrived since the last listing goes before them in this pass.
    if (!recovered() || (m_fileList->count() > 0 && m_refusals.isRefused(m_fileList->at(0))))
        refreshFileList();
    return true;
}

void TransferDriver::processNextFile()
{
    if (inFlight()) {
        m_forceNext = false;
        nextFile(); // which says that the last one is still under way
    } else {
        runPass([this] { nextFile(); });
    }
}

void TransferDriver::upload()
{
    if (inFlight() || m_inet.StillExecuting()) {
        nextFile(); // which says that the last one is still under way
        return;
    }
    runPass([this] {
        beginFlight(m_state.currentFile);
        if (!sendCurrent())
            nextFile();
    });
}

void TransferDriver::runPass(const std::function<void()>& first)
{
    try {
        if (beginPass())
            first();
    } catch (...) {
        if (m_stage == Stage::Choosing)
            endPass(describeCurrentException());
        throw;
    }
}

void TransferDriver::nextFile()
{
    // Files that are skipped or held back hand over to the next entry at once;
    // a loop keeps a long run of them from nesting calls.
    while (m_fileList->count() > 0) {
        if (m_inet.StillExecuting() || inFlight() || m_stage != Stage::Choosing) {
            m_view.log(QStringLiteral("Filename: ") + m_fileList->at(0));
            m_view.addStatus(PassTexts::stillExecuting(m_state.pagesFiled));
            return;
        }
        const std::optional<QString> next = nextDocument();
        // Every document left was refused in this pass, or waits: they go later.
        if (!next)
            break;
        m_view.log(QStringLiteral("Filename: ") + *next);
        beginFlight(*next);
        if (sendCurrent())
            return;
    }
    settleFiled();
    // Said once until the box is emptied (Force Transfer empties it), and anew
    // when the time changes: not at every tick.
    for (const PassReport::Waiting& w : std::as_const(m_report.waiting))
        m_view.addStatusOnce(PassTexts::waitsAfterRefusal(w.entry, w.untilMs));
    const QString banner = PassTexts::finished(m_state.pagesFiled);
    if (!m_view.isNewest(banner))
        m_view.addStatus(banner);
    // A document in flight ends its pass itself, with its answer.
    if (m_stage != Stage::Choosing)
        return;
    // What arrived during the pass is listed for the next; a folder that can no
    // longer be read is what this pass ends on, and its caller shows it.
    try {
        refreshFileList();
    } catch (...) {
        endPass(describeCurrentException());
        throw;
    }
    endPass();
}

std::optional<QString> TransferDriver::nextDocument()
{
    const qint64 now = m_clock();
    for (int i = 0; i < m_fileList->count(); ++i) {
        const QString entry = m_fileList->at(i);
        if (m_refusals.refusedInPass(entry))
            continue;
        if (const std::optional<qint64> until =
                m_refusals.waitsUntil(entry, m_config.uploadUrl, now, m_passForced)) {
            if (!m_waitingInPass.contains(entry)) {
                m_waitingInPass.insert(entry);
                m_report.waiting.push_back({entry, *until});
            }
            continue;
        }
        // The document in flight is entry 0 until its answer is handled.
        if (i > 0) {
            m_fileList->removeAt(i);
            m_fileList->insertAt(0, entry);
        }
        return entry;
    }
    return std::nullopt;
}

void TransferDriver::goOn()
{
    try {
        nextFile();
    } catch (...) {
        const QString why = describeCurrentException();
        reportReply(why);
        m_view.addErrorBlock(why, m_config.readFromFolder);
        if (m_stage == Stage::Choosing)
            endPass(why);
    }
}

void TransferDriver::endPass(const QString& stopped, bool onRefusal)
{
    m_stage = Stage::Idle;
    m_report.stopped = stopped;
    m_report.stoppedOnRefusal = onRefusal;
    emit passEnded(std::exchange(m_report, PassReport()));
}

// ---------------------------------------------------------------------------
// The document in flight

void TransferDriver::beginFlight(const QString& entry)
{
    Q_ASSERT(m_stage == Stage::Choosing);
    m_flight = Flight{entry, {}, {}, {}, 0};
    m_stage = Stage::Preparing;
    m_state.currentFile = entry;
}

bool TransferDriver::finish(Outcome outcome, const QString& failure)
{
    Q_ASSERT(m_flight);
    const Flight flight = std::move(*m_flight);
    m_flight.reset();
    closeBody(); // the transfer control may hold on to it until the next request
    m_body.reset();
    m_stage = Stage::Choosing;
    // A filed document's record was closed when its row was written; one never
    // sent has none.
    if (outcome != Outcome::PassedOver && outcome != Outcome::Filed) {
        if (const auto uncleared = m_journal.endSend(); !uncleared.ok())
            m_view.addStatusOnce(uncleared.text);
    }

    switch (outcome) {
    case Outcome::PassedOver:
        // Its file stays where it is; the next listing finds it again.
        m_fileList->removeEntry(flight.entry);
        return true;
    case Outcome::Filed:
        ++m_state.pagesFiled;
        ++m_report.filed;
        m_fileList->removeEntry(flight.entry);
        m_refusals.filed(flight.entry);
        m_filed.pace([this] { return m_journal.crowded(); });
        return true;
    case Outcome::Refused:
    case Outcome::Stopped: {
        // A transport failure moves nothing: it says nothing of the document,
        // and the next one would meet it as well. Refused for itself, it would
        // be refused again as it is: it waits, longer after each refusal,
        // rather than go at every pass.
        qint64 nextTry = 0;
        if (outcome == Outcome::Refused) {
            nextTry = m_refusals.refusedItself(flight.entry, flight.identity, m_config.uploadUrl, m_clock());
            m_view.addStatus(PassTexts::nextTry(flight.entry, nextTry));
            if (const QString& why = m_refusals.recordFailure(); !why.isEmpty())
                m_view.addStatusOnce(PassTexts::refusalNotRecorded(m_refusals.recordPath(), why));
        } else {
            m_refusals.refused(flight.entry, flight.identity);
        }
        if (m_fileList->removeEntry(flight.entry))
            m_fileList->insertAt(m_fileList->count(), flight.entry);
        m_report.refused.push_back({flight.entry, flight.identity, failure, m_report.filed, nextTry});
        if (outcome == Outcome::Refused)
            return true;
        break;
    }
    case Outcome::Failed:
    case Outcome::Cancelled:
        break;
    }
    settleFiled();
    if (outcome == Outcome::Stopped) {
        // The list never runs empty while the page refuses a document every
        // time, and a tick only lists the folder anew when it does: without a
        // listing here, files that arrived or changed since would never be sent.
        try {
            refreshFileList();
        } catch (...) {
            m_view.addErrorBlock(describeCurrentException(), m_config.readFromFolder);
        }
    }
    endPass(failure, outcome == Outcome::Stopped);
    return false;
}

bool TransferDriver::sendCurrent()
{
    try {
        return prepareCurrent();
    } catch (...) {
        // Whatever broke this upload, it must not leave the driver busy for good.
        if (m_stage == Stage::Preparing)
            finish(Outcome::PassedOver);
        throw;
    }
}

bool TransferDriver::prepareCurrent()
{
    const auto passOver = [this] { return !finish(Outcome::PassedOver); };
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
        m_view.addStatus(PassTexts::skipping(entry));
        m_view.appendStatusLineBreak();
        return passOver();
    }

    FileGate::Expectation expected;
    if (rule.action == UploadRequest::Action::Convert) {
        std::optional<FileStamp> pdf = convertCurrent();
        if (!pdf)
            return passOver();
        // The converter's own output, exactly as it was made.
        expected = {*pdf, true};
    } else {
        expected = expectationFor(entry);
    }

    m_flight->path = m_config.readFromFolder + m_flight->entry; // the PDF's, once converted
    m_flight->contentType = rule.contentType;
    m_flight->boundaryNumber = 0;
    m_flight->boundaryTries = 0;
    if (!sendDocument(expected))
        return passOver();
    return true;
}

bool TransferDriver::sendDocument(const FileGate::Expectation& expected)
{
    const QString& sent = m_flight->entry;
    const QString& path = m_flight->path;
    FileGate::Opened opened = FileGate::openChecked(path, expected);
    switch (opened.result.verdict) {
    case FileGate::Verdict::Ready:
        break;
    case FileGate::Verdict::BeingWritten:
        m_view.addStatus(PassTexts::heldBack(sent, opened.result.description));
        return false;
    case FileGate::Verdict::Vanished:
    case FileGate::Verdict::Unreadable:
        m_view.addErrorBlock(opened.result.description, path);
        return false;
    }
    // The usual boundary, unless an earlier send found the document holding it:
    // whether it does is only known once the whole file has been read.
    const QByteArray boundary = UploadRequest::numberedBoundary(m_flight->boundaryNumber);
    m_flight->identity = opened.result.identity;
    closeBody(); // the body broken off: its thread is done with out.txt
    m_body = std::make_shared<DocumentBody>(
        std::move(opened.fd), opened.st, UploadRequest::bodyPrefix(sent, m_flight->contentType, boundary),
        boundary, UploadRequest::bodySuffix(boundary), &m_outFile, nullptr);
    m_bodyPath = path;
    send(boundary);
    return true;
}

void TransferDriver::send(const QByteArray& boundary)
{
    m_view.log(QStringLiteral("Attempting upload"));
    const bool viaProxy = !m_config.proxyAddress.isEmpty();
    const bool https = m_config.uploadUrl.startsWith(QLatin1String("https:"), Qt::CaseInsensitive);
    m_inet.setProxyCredentials(m_config.proxyUserName, m_config.proxyPassword);
    const QString headers =
        UploadRequest::headerText(viaProxy, https, m_config.proxyUserName, m_config.proxyPassword, boundary);

    const QString entry = m_flight->entry;
    const QString path = m_flight->path;
    m_stage = Stage::Sending;
    if (m_answeredEarly.remove(m_flight->identity))
        m_view.addStatus(PassTexts::sendingAgainAfterEarlyAnswer(entry));
    if (const auto unrecorded = m_journal.beginSend(path); !unrecorded.ok())
        m_view.addStatusOnce(unrecorded.text);
    QString failed;
    try {
        m_inet.Execute(m_config.uploadUrl, QStringLiteral("POST"), m_body, headers);
    } catch (...) {
        failed = describeCurrentException();
        m_view.addErrorBlock(failed, path);
    }
    if (failed.isEmpty()) {
        m_view.addStatus(PassTexts::uploading(entry));
        emit sending(entry, 0, m_body->size(), m_fileList->count() - 1);
    }
    // No answer will come for a request that never started.
    if (!failed.isEmpty())
        finish(Outcome::Failed, failed);
}

bool TransferDriver::leftAlone(const QString& entry)
{
    const auto listed = m_listed.constFind(entry);
    if (listed == m_listed.cend())
        return false;
    if (listed->nameNotText) {
        // Left where it is: renamed to valid text, it goes with the next pass.
        m_view.addStatus(PassTexts::nameNotText(entry));
        return true;
    }
    if (listed->symbolicLink) {
        // Anyone who can drop a file here could otherwise have the page sent
        // whatever this user can read (settings.txt and its proxy password).
        m_view.addStatusOnce(PassTexts::symbolicLink(entry));
        return true;
    }
    if (const Leftovers::Record* done = m_leftovers.find(listed->stamp)) {
        // Done with before, and still as it was: it goes now if it can (its
        // folder was away when it was to be deleted, or the right to delete has
        // come since), and is never sent or converted again.
        const QString path = m_config.readFromFolder + entry;
        const bool filed = wasFiled(done->kind);
        QString why;
        if (FileGate::removeIfUnchanged(path, listed->stamp, &why) == FileGate::Removal::Removed)
            m_view.addStatus(PassTexts::doneAndDeleted(path, filed));
        else
            m_view.addStatusOnce(PassTexts::doneBefore(path, filed));
        return true;
    }
    return false;
}

void TransferDriver::keepLeftover(Leftovers::Kind kind, const FileStamp& identity, const QString& path,
                                  const QString& why)
{
    const auto stored = m_leftovers.add(kind, identity, path);
    if (!why.isEmpty())
        m_view.addStatusOnce(PassTexts::cannotDelete(path, wasFiled(kind), why));
    if (!stored.ok())
        m_view.addStatus(PassTexts::leftoverNotStored(stored.text));
}

std::optional<FileStamp> TransferDriver::convertCurrent()
{
    const QString tiff = m_flight->entry;
    TiffConversion::Hooks hooks;
    hooks.log = [this](const QString& line) { m_view.log(line); };
    hooks.inspect = [this] { m_view.conversionDone(); };
    hooks.tiffKept = [this](const FileStamp& identity, const QString& path, const QString& why) {
        keepLeftover(Leftovers::Kind::Converted, identity, path, why);
    };
    const TiffConversion::Result result = TiffConversion::convert(
        {m_config.readFromFolder, tiff, m_config.converterPath, expectationFor(tiff)}, hooks);
    switch (result.outcome) {
    case TiffConversion::Result::Outcome::HeldBack:
        m_view.addStatus(PassTexts::heldBack(tiff, result.message));
        return std::nullopt;
    case TiffConversion::Result::Outcome::Failed: {
        // A full disk fails every conversion after it: said once a pass, in the
        // words the scan run uses, and what needs no converting still goes.
        const std::optional<qint64> room = DiskSpace::freeAt(m_config.readFromFolder);
        const qint64 need = QFileInfo(m_config.readFromFolder + tiff).size();
        if (DiskSpace::ranOut(result.message, room, 0)) {
            if (!std::exchange(m_saidOutOfRoom, true))
                m_view.addStatus(PassTexts::conversionOutOfRoom(
                    DiskSpace::fullSentence(m_config.readFromFolder, room,
                                            QStringLiteral("the PDF of ") + tiff, need),
                    result.message));
            m_view.log(result.message);
            return std::nullopt;
        }
        m_view.addErrorBlock(result.message, result.subject);
        return std::nullopt;
    }
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
    // What comes after the document in flight has ended (a cancelled request)
    // answers nothing of ours.
    if (m_stage == Stage::Sending) {
        if (state == InetControl::icError)
            handleFailure();
        else if (state == InetControl::icResponseCompleted)
            handleAnswer();
    }
    // Between passes out.txt is not held open: deleted by the operator, its
    // blocks are freed at once.
    if (!inFlight())
        m_outFile.release();
}

void TransferDriver::handleFailure()
{
    const QString info = m_inet.ResponseInfo();
    m_view.log(QStringLiteral("Error from Inet Control: ") + QString::number(m_inet.ResponseCode()) + u':' +
               info);
    // The operator must see that nothing was filed, not only the diagnostic log.
    const QString& entry = m_state.currentFile;
    if (const DocumentBody::Stop stop = m_body ? m_body->stopped() : DocumentBody::Stop::None;
        stop != DocumentBody::Stop::None) {
        if (!handleBrokenOff(stop, m_body->stopReason()) && finish(Outcome::PassedOver))
            goOn();
        return;
    }
    if (const QString early = m_inet.EarlyAnswer(); !early.isEmpty()) {
        // Said before it had the whole document, the answer files nothing; but
        // a page that takes a document as it streams in may have it all the same.
        m_answeredEarly.insert(m_flight->identity);
        m_view.addStatus(PassTexts::answeredEarly(early, entry));
        // A page that answers this document before taking it will do so again:
        // it waits behind the others, as a refused one does, and is not sent at
        // every pass; the documents after it go now.
        if (finish(Outcome::Refused, PassTexts::answered(early)))
            goOn();
        return;
    }
    const long code = m_inet.ResponseCode();
    const QUrl url(m_config.uploadUrl);
    const QString pageAt = url.host() + u':' + QString::number(url.port(url.scheme() == u"https" ? 443 : 80));
    const QString why = PassTexts::unreachable(code, pageAt, url.host(), m_inet.ProxyUsed(), info);
    if (code == QNetworkReply::ProxyAuthenticationRequiredError)
        m_view.addStatus(PassTexts::proxyRefusedConnect(info, entry));
    else if (m_inet.LastRequestDelivered())
        m_view.addStatus(PassTexts::reachedThePage(why, info, entry));
    else
        m_view.addStatus(PassTexts::noAnswer(why, info, entry));
    finish(Outcome::Failed, info);
}

void TransferDriver::closeBody()
{
    if (!m_body)
        return;
    m_body->close();
    // Said when the document's send ends, before anything after it: the thread
    // that writes out.txt is done with it only then, and a word said later
    // would stand above the end of the pass.
    if (const QString why = m_body->outFileFailure(); !why.isEmpty())
        m_view.addErrorBlock(why, std::exchange(m_bodyPath, QString()));
}

bool TransferDriver::handleBrokenOff(DocumentBody::Stop stop, const QString& why)
{
    // Broken off before the request was whole: the page cannot have filed it.
    if (const auto uncleared = m_journal.endSend(); !uncleared.ok())
        m_view.addStatusOnce(uncleared.text);
    if (stop == DocumentBody::Stop::HeldBoundary) {
        // Goes again at once around another boundary, read anew from the file
        // it was: the version checked when it was first opened. The suffix is
        // drawn at random, not counted: a document that holds the first
        // thousand numbered forms would otherwise cost the page a thousand
        // broken requests. A document that meets several is not tried for ever.
        m_view.log(why);
        if (++m_flight->boundaryTries > kBoundaryTries) {
            m_view.addStatus(PassTexts::heldBack(m_flight->entry, why));
            return false;
        }
        m_flight->boundaryNumber = QRandomGenerator::system()->bounded(1u, 0xFFFFFFFFu);
        return sendDocument({m_flight->identity, true});
    }
    m_view.addStatus(PassTexts::heldBack(m_flight->entry, why));
    return false;
}

void TransferDriver::answersInDoubt(int count)
{
    // The count takes in the answer being read, which is not among the last ones yet.
    if (m_stage == Stage::ReadingReply) {
        m_doubtPending += count;
        return;
    }
    sayInDoubt(count);
}

void TransferDriver::sayInDoubt(int count)
{
    const QString text = m_answers.inDoubt(count);
    m_view.addStatus(text);
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
    m_stage = Stage::ReadingReply;
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
    const QString entry = m_flight->entry;
    m_answers.answered(entry, filed);
    if (m_doubtPending > 0)
        sayInDoubt(std::exchange(m_doubtPending, 0));
    if (filed) {
        if (finish(Outcome::Filed))
            goOn();
        return;
    }

    reportReply(truncated ? QStringLiteral("The reply was longer than 1 MiB") : QString());
    const QString info = m_inet.ResponseInfo();
    const QString failure = PassTexts::answered(info);
    if (refusesTheDocument(int(status))) {
        // The page refuses this document, not documents: the pass goes on with
        // the next, and trying this one again will not change the answer.
        m_view.addStatus(PassTexts::refusedDocument(entry, int(status), info));
        if (finish(Outcome::Refused, failure))
            goOn();
        return;
    }
    // A refused password or a login the page asks for is not mended by waiting.
    // A 407 is a proxy's word, whichever way the request went.
    const bool fromProxy = status == 407 || m_inet.ReplyFromProxy();
    if (fromProxy) {
        m_view.addStatus(PassTexts::proxyRefused(m_inet.ProxyUsed(), info, entry));
    } else {
        m_view.addStatus(PassTexts::notFiled(info, m_inet.ReplyLocation(), entry));
        m_view.addStatus(status == 401 ? PassTexts::pageWantsLogin(m_inet.ProxyUsed())
                                       : PassTexts::tryLater());
    }
    // An error page's words, above the lines that say what it means.
    const QString says = AnswerText::fromHtml(replyBytes);
    if (!says.isEmpty())
        m_view.addStatus(PassTexts::pageSays(says, fromProxy));
    finish(Outcome::Stopped, failure);
}

bool TransferDriver::refusesTheDocument(int status)
{
    // 413: too large for the page; 415: of a type it does not take; 422: a
    // document it could not process. Each is said of this document, and the
    // next may be taken. Anything else (a wrong text, 4xx of the page's access
    // or address, 5xx, a proxy's 407, 408, 429) would meet the next one as well.
    return status == 413 || status == 415 || status == 422;
}

void TransferDriver::recordFiled()
{
    // Written before anything else happens: a stop from here on finds it. It
    // reaches the disk on the sync thread while the next document goes out,
    // and the document is deleted once it has.
    const FiledLog::Appended recorded = m_filedLog.append(
        FiledLog::rowFor(m_flight->entry, m_body->contentSize(), m_body->sha256Hex(), m_config.uploadUrl),
        true);
    m_filed.add(m_flight->entry, m_flight->path, m_flight->identity, recorded.unsyncedFd);
    m_journal.sendFiled();
    if (!recorded.ok())
        m_view.addStatus(PassTexts::filedUnrecorded(recorded.failure, m_flight->entry));
}
