// SPDX-License-Identifier: GPL-3.0-or-later
#include "TransferDriver.h"

#include "AnswerText.h"
#include "DiskSpace.h"
#include "Failure.h"
#include "FileListModel.h"
#include "GeneralDate.h"
#include "InetControl.h"
#include "PassTexts.h"
#include "PrivateData.h"
#include "TiffConversion.h"
#include "UploadRequest.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QNetworkReply>
#include <QRandomGenerator>
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

} // namespace

TransferDriver::TransferDriver(TransferState& state, TransferView& view, InetControl& inet,
                               std::function<PassConfig()> configSource, QObject* parent)
    : QObject(parent), m_state(state), m_view(view), m_inet(inet), m_configSource(std::move(configSource)),
      m_fileList(new FileListModel(this)), m_clock([] { return QDateTime::currentMSecsSinceEpoch(); }),
      m_voice(view), m_folder(m_sendRecord, m_filedLog,
                              {[this](const QString& line) { m_voice.say(line); },
                               [this](const QString& line) { m_voice.sayOnce(line); },
                               [this](const QString& line) { m_view.log(line); }}),
      m_filed({[this](const QString& line) { m_voice.say(line); },
               [this](const QString& line) { m_view.log(line); },
               [this](const FileStamp& stamp, const QString& path, const QString& why) {
                   m_folder.keepLeftover(UndeletableFiles::Kind::Filed, stamp, path, why);
               },
               [this](const QString& path) { m_sendRecord.filedDone(path); }, m_filedLog.path()})
{
    connect(&m_inet, &InetControl::sendProgress, this, [this](qint64 sent, qint64 total) {
        if (m_stage == Stage::Sending)
            emit sending(m_flight->entry, sent, total, m_fileList->count() - 1);
    });
    connect(&m_inet, &InetControl::answersInDoubt, this, &TransferDriver::answersInDoubt);
}

QString TransferDriver::folderLockMessage() const
{
    return m_folder.servedByAnother() ? m_folder.lockMessage() : QString();
}

void TransferDriver::statusBoxEmptied()
{
    m_voice.boxEmptied();
}

void TransferDriver::statusBoxWritten()
{
    m_voice.boxWritten();
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
    m_fileList->clear();
    if (m_folder.open(m_config.readFromFolder, !inFlight()))
        useRefusalRecord();
    m_folder.list(!inFlight(), [this](const std::vector<ListedFile>& found, bool complete) {
        m_fileList->setEntries(m_refusals.order(found, complete));
    });
}

void TransferDriver::useRefusalRecord()
{
    // One record per folder, as the send record: no other station serves it.
    const FileId id = m_folder.id();
    const QString path = PrivateData::path(QStringLiteral("refused-%1-%2.txt").arg(id.device).arg(id.inode));
    if (path == m_refusals.recordPath())
        return;
    if (!m_refusals.useRecord(path))
        m_voice.say(PassTexts::refusalRecordDamaged(path));
}

void TransferDriver::trustScannedPages(const QStringList& paths)
{
    m_folder.trustScannedPages(m_config.readFromFolder, paths);
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
        m_voice.say(PassTexts::awaitingAnswer());
        return;
    }
    m_inet.Cancel();
    if (m_stage == Stage::Sending)
        finish(Outcome::Cancelled);
    m_voice.say(PassTexts::cancelled());
}

bool TransferDriver::beginPass()
{
    m_config = m_configSource();
    m_report = {};
    m_saidOutOfRoom = false;
    m_refusals.beginPass();
    m_waitingInPass.clear();
    m_passForced = std::exchange(m_forceNext, false);
    const bool ours = m_folder.acquire(m_config.readFromFolder);
    if (!ours && m_folder.servedByAnother()) {
        // Said at every Force Transfer and every tick, for as long as it lasts.
        m_voice.say(m_folder.lockMessage());
        return false;
    }
    m_stage = Stage::Choosing;
    if (!ours) {
        // A folder that cannot be examined is no other station's: listing it
        // says why, and the pass ends on that. Should it be there by now, it
        // is served only once it is this station's.
        refreshFileList();
        if (!m_folder.held()) {
            m_stage = Stage::Idle;
            return false;
        }
    }
    // Taken over from another station: what a stop of this one left is seen to
    // first. And when only documents the page refused are left (they stand last),
    // what arrived since the last listing goes before them in this pass.
    if (!m_folder.recovered(m_config.readFromFolder) ||
        (m_fileList->count() > 0 && m_refusals.isRefused(m_fileList->at(0))))
        refreshFileList();
    m_request = RequestAssembly(m_config.uploadUrl, m_config.proxyAddress, m_config.proxyUserName,
                                m_config.proxyPassword);
    m_request.giveCredentials(m_inet);
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
            m_voice.say(PassTexts::stillExecuting(m_state.pagesFiled));
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
        m_voice.sayOnce(PassTexts::waitsAfterRefusal(w.entry, w.untilMs));
    if (const QString banner = PassTexts::finished(m_state.pagesFiled); !m_voice.isNewest(banner))
        m_voice.say(banner);
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
        m_voice.sayError(why, m_config.readFromFolder);
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
        if (const auto uncleared = m_sendRecord.endSend(); !uncleared.ok())
            m_voice.sayOnce(uncleared.text);
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
        m_filed.pace([this] { return m_sendRecord.crowded(); });
        return true;
    case Outcome::Refused:
    case Outcome::Stopped: {
        // A transport failure moves nothing: it says nothing of the document,
        // and the next one would meet it as well. Refused for itself, it would
        // be refused again as it is: it waits, longer after each refusal,
        // rather than go at every pass.
        qint64 nextTry = 0;
        if (outcome == Outcome::Refused) {
            const RefusalQueue::Wait wait =
                m_refusals.refusedItself(flight.entry, flight.identity, m_config.uploadUrl, m_clock());
            nextTry = wait.dueMs;
            m_voice.say(PassTexts::nextTry(flight.entry, nextTry));
            if (!wait.recorded.ok())
                m_voice.sayOnce(PassTexts::refusalNotRecorded(m_refusals.recordPath(), wait.recorded.text));
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
            m_voice.sayError(describeCurrentException(), m_config.readFromFolder);
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
        m_voice.sayError(QStringLiteral("Subscript out of range"), m_config.readFromFolder + entry);
    const UploadRequest::TypeRule rule = UploadRequest::ruleForExtension(name.extension.value_or(QString()));

    if (m_folder.notToSend(m_config.readFromFolder, entry))
        return passOver();
    if (rule.action == UploadRequest::Action::Skip) {
        // Skipped files stay in the folder: their type may be one the operator keeps.
        m_voice.say(PassTexts::skipping(entry));
        m_voice.appendLineBreak();
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
        expected = m_folder.expectationFor(entry);
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
        m_voice.say(PassTexts::heldBack(sent, opened.result.description));
        return false;
    case FileGate::Verdict::Vanished:
    case FileGate::Verdict::Unreadable:
        m_voice.sayError(opened.result.description, path);
        return false;
    }
    // The usual boundary, unless an earlier send found the document holding it:
    // whether it does is only known once the whole file has been read.
    const QByteArray boundary = UploadRequest::numberedBoundary(m_flight->boundaryNumber);
    m_flight->identity = opened.result.identity;
    closeBody(); // the body broken off
    m_body = std::make_shared<DocumentBody>(std::move(opened.fd), opened.st,
                                            UploadRequest::bodyPrefix(sent, m_flight->contentType, boundary),
                                            boundary, UploadRequest::bodySuffix(boundary));
    m_bodyPath = path;
    send(boundary);
    return true;
}

void TransferDriver::send(const QByteArray& boundary)
{
    m_view.log(QStringLiteral("Attempting upload"));
    const QString entry = m_flight->entry;
    const QString path = m_flight->path;
    m_stage = Stage::Sending;
    if (m_answeredEarly.remove(m_flight->identity))
        m_voice.say(PassTexts::sendingAgainAfterEarlyAnswer(entry));
    if (const auto unrecorded = m_sendRecord.beginSend(path); !unrecorded.ok())
        m_voice.sayOnce(unrecorded.text);
    QString failed;
    try {
        m_inet.Execute(m_request.url(), RequestAssembly::verb(), m_body, m_request.headers(boundary));
    } catch (...) {
        failed = describeCurrentException();
        m_voice.sayError(failed, path);
    }
    if (failed.isEmpty()) {
        m_voice.say(PassTexts::uploading(entry));
        emit sending(entry, 0, m_body->size(), m_fileList->count() - 1);
    }
    // No answer will come for a request that never started.
    if (!failed.isEmpty())
        finish(Outcome::Failed, failed);
}

std::optional<FileStamp> TransferDriver::convertCurrent()
{
    const QString tiff = m_flight->entry;
    TiffConversion::Hooks hooks;
    hooks.log = [this](const QString& line) { m_view.log(line); };
    hooks.inspect = [this] { m_view.conversionDone(); };
    hooks.tiffKept = [this](const FileStamp& identity, const QString& path, const QString& why) {
        m_folder.keepLeftover(UndeletableFiles::Kind::Converted, identity, path, why);
    };
    const TiffConversion::Result result = TiffConversion::convert(
        {m_config.readFromFolder, tiff, m_config.converterPath, m_folder.expectationFor(tiff)}, hooks);
    switch (result.outcome) {
    case TiffConversion::Result::Outcome::HeldBack:
        m_voice.say(PassTexts::heldBack(tiff, result.message));
        return std::nullopt;
    case TiffConversion::Result::Outcome::Failed: {
        // A full disk fails every conversion after it: said once a pass, in the
        // words the scan run uses, and what needs no converting still goes.
        const std::optional<qint64> room = DiskSpace::freeAt(m_config.readFromFolder);
        const qint64 need = QFileInfo(m_config.readFromFolder + tiff).size();
        if (DiskSpace::ranOut(result.message, room, 0)) {
            if (!std::exchange(m_saidOutOfRoom, true))
                m_voice.say(PassTexts::conversionOutOfRoom(
                    DiskSpace::fullSentence(m_config.readFromFolder, room,
                                            QStringLiteral("the PDF of ") + tiff, need),
                    result.message));
            m_view.log(result.message);
            return std::nullopt;
        }
        m_voice.sayError(result.message, result.subject);
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
        m_voice.say(PassTexts::answeredEarly(early, entry));
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
    // The carrier has judged the proxy's answer to the tunnel, if one came.
    if (code == QNetworkReply::ProxyAuthenticationRequiredError)
        m_voice.say(PassTexts::proxyRefusedConnect(info, entry));
    else if (m_inet.LastRequestDelivered())
        m_voice.say(PassTexts::reachedThePage(why, info, entry));
    else
        m_voice.say(PassTexts::noAnswer(why, info, entry));
    finish(Outcome::Failed, info);
}

void TransferDriver::closeBody()
{
    if (!m_body)
        return;
    // The copy is made on its own thread, after the page has answered; what
    // goes wrong there is said when it does, in the window's thread.
    const QString path = std::exchange(m_bodyPath, QString());
    const ::Outcome opened = m_outFile.copyLater(m_body->close(), [this, path](const QString& why) {
        QMetaObject::invokeMethod(
            this, [this, path, why] { m_voice.sayError(why, path); }, Qt::QueuedConnection);
    });
    if (!opened.ok())
        m_voice.sayError(opened.text, path);
}

bool TransferDriver::handleBrokenOff(DocumentBody::Stop stop, const QString& why)
{
    // Broken off before the request was whole: the page cannot have filed it.
    if (const auto uncleared = m_sendRecord.endSend(); !uncleared.ok())
        m_voice.sayOnce(uncleared.text);
    if (stop == DocumentBody::Stop::HeldBoundary) {
        // Goes again at once around another boundary, read anew from the file
        // it was: the version checked when it was first opened. The suffix is
        // drawn at random, not counted: a document that holds the first
        // thousand numbered forms would otherwise cost the page a thousand
        // broken requests. A document that meets several is not tried for ever.
        m_view.log(why);
        if (++m_flight->boundaryTries > kBoundaryTries) {
            m_voice.say(PassTexts::heldBack(m_flight->entry, why));
            return false;
        }
        m_flight->boundaryNumber = QRandomGenerator::system()->bounded(1u, 0xFFFFFFFFu);
        return sendDocument({m_flight->identity, true});
    }
    m_voice.say(PassTexts::heldBack(m_flight->entry, why));
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
    m_voice.say(text);
    m_view.log(text);
}

void TransferDriver::reportReply(const QString& description)
{
    m_view.log(QStringLiteral("Error while processing incoming data: ") + description +
               QStringLiteral(" Inet Response: ") + QString::number(m_inet.ResponseCode()) + u':' +
               m_inet.ResponseInfo());
}

QByteArray TransferDriver::readReply()
{
    // In pieces, with events between them: the window stays alive while a
    // long answer is read.
    QByteArray reply;
    QByteArray piece = m_inet.GetChunk(1024, 0);
    QCoreApplication::processEvents();
    while (!piece.isEmpty()) {
        reply += piece;
        piece = m_inet.GetChunk(1024, 0);
        QCoreApplication::processEvents();
    }
    return reply;
}

void TransferDriver::handleAnswer()
{
    m_stage = Stage::ReadingReply;
    const bool cut = m_inet.ReplyTruncated();
    const QByteArray reply = readReply();
    using ExchangeJudge::AnswerVerdict;
    const AnswerVerdict verdict = ExchangeJudge::answerVerdict(
        int(m_inet.ResponseCode()), reply, cut,
        m_inet.ReplyFromProxy() ? ExchangeJudge::Answerer::Proxy : ExchangeJudge::Answerer::Page);
    const bool filed = verdict == AnswerVerdict::Filed;
    // The record of a filing goes to disk at once: a stop from here on must
    // find it, and the status box and its repaint can wait.
    if (filed)
        recordFiled();
    m_voice.say(QString::fromUtf8(reply));
    m_answers.answered(m_flight->entry, filed);
    if (m_doubtPending > 0)
        sayInDoubt(std::exchange(m_doubtPending, 0));
    QString failure;
    if (!filed) {
        reportReply(cut ? QStringLiteral("The reply was longer than 1 MiB") : QString());
        failure = PassTexts::answered(m_inet.ResponseInfo());
        sayNotFiled(verdict, reply);
    }
    const Outcome outcome = filed                                     ? Outcome::Filed
                            : verdict == AnswerVerdict::RefusedItself ? Outcome::Refused
                                                                      : Outcome::Stopped;
    if (finish(outcome, failure))
        goOn();
}

void TransferDriver::sayNotFiled(ExchangeJudge::AnswerVerdict verdict, const QByteArray& reply)
{
    using ExchangeJudge::AnswerVerdict;
    const QString& entry = m_flight->entry;
    const QString info = m_inet.ResponseInfo();
    switch (verdict) {
    case AnswerVerdict::Filed:
        return;
    case AnswerVerdict::RefusedItself:
        // The page refuses this document, not documents: the pass goes on with
        // the next, and trying this one again will not change the answer.
        m_voice.say(PassTexts::refusedDocument(entry, int(m_inet.ResponseCode()), info));
        return;
    case AnswerVerdict::ProxyAuth:
    case AnswerVerdict::ProxyRefused:
        m_voice.say(PassTexts::proxyRefused(m_inet.ProxyUsed(), info, entry));
        break;
    case AnswerVerdict::LoginWanted:
    case AnswerVerdict::Stopped:
        m_voice.say(PassTexts::notFiled(info, m_inet.ReplyLocation(), entry));
        m_voice.say(verdict == AnswerVerdict::LoginWanted ? PassTexts::pageWantsLogin(m_inet.ProxyUsed())
                                                          : PassTexts::tryLater());
        break;
    }
    // An error page's words, above the lines that say what it means.
    const QString says = AnswerText::fromHtml(reply);
    if (!says.isEmpty())
        m_voice.say(PassTexts::pageSays(says, verdict == AnswerVerdict::ProxyAuth ||
                                                  verdict == AnswerVerdict::ProxyRefused));
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
    m_sendRecord.sendFiled();
    if (!recorded.ok())
        m_voice.say(PassTexts::filedUnrecorded(recorded.failure, m_flight->entry));
}
