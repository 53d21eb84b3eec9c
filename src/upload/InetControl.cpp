// SPDX-License-Identifier: GPL-3.0-or-later
#include "InetControl.h"

#include "CurlCarrier.h"
#include "ExchangeJudge.h"
#include "Failure.h"
#include "HttpRequest.h"
#include "UploadLogging.h"

#include <QMetaObject>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTemporaryFile>
#include <QTimer>
#include <QUrl>

#include <utility>

struct InetControl::CurlExchangeHolder
{
    CurlExchange exchange;
};

InetControl::InetControl(QObject* parent) : QObject(parent), m_carrier(new CurlCarrier(MaxReplyBytes, this))
{
    connect(m_carrier, &CurlCarrier::progressed, this, &InetControl::onProgressed);
    connect(m_carrier, &CurlCarrier::finished, this, &InetControl::onFinished);
    connect(m_carrier, &CurlCarrier::stirred, this, &InetControl::onStirred);
}

InetControl::~InetControl()
{
    ++m_generation;
    delete m_carrier; // before the members its signals reach
    m_carrier = nullptr;
}

void InetControl::setProxy(const QString& proxy)
{
    m_proxy = proxy;
}

void InetControl::setAccessType(ProxyRoute::Access access)
{
    m_access = access;
}

void InetControl::setProxyCredentials(const QString& user, const QString& password)
{
    m_proxyUser = user;
    m_proxyPassword = password;
}

void InetControl::addCaCertificates(const QList<QSslCertificate>& certificates)
{
    // The system's authorities and the extra ones, in one file for the life of the control.
    if (!m_caFile) {
        m_caFile = std::make_unique<QTemporaryFile>();
        if (!m_caFile->open())
            throw Failure(QStringLiteral("No file for the extra certificate authorities: ") +
                          m_caFile->errorString());
        for (const QSslCertificate& c : QSslConfiguration::systemCaCertificates())
            m_caFile->write(c.toPem());
    }
    for (const QSslCertificate& c : certificates)
        m_caFile->write(c.toPem());
    m_caFile->flush();
}

bool InetControl::StillExecuting() const
{
    return m_busy;
}

bool InetControl::RequestDelivered() const
{
    return m_busy && (m_delivered || m_carrier->handedAll());
}

void InetControl::Execute(const QString& url, const QString& operation, const QByteArray& body,
                          const QString& headerText)
{
    start(url, operation, body, nullptr, headerText);
}

void InetControl::Execute(const QString& url, const QString& operation, std::shared_ptr<BodySource> source,
                          const QString& headerText)
{
    start(url, operation, QByteArray(), std::move(source), headerText);
}

void InetControl::start(const QString& url, const QString& operation, const QByteArray& body,
                        std::shared_ptr<BodySource> source, const QString& headerText)
{
    const qint64 bodySize = source ? source->size() : body.size();
    // Everything that can refuse the request is checked before anything changes,
    // so a refused request leaves the control idle and reports no state.
    if (m_busy)
        throw Failure(QStringLiteral("Still executing last request"));
    const QUrl target(url, QUrl::TolerantMode);
    const ProxyRoute::Route route = url.isEmpty() || !target.isValid()
                                        ? ProxyRoute::Route()
                                        : ProxyRoute::route(m_access, m_proxy, target);
    const bool credentials = !(m_proxyUser.isEmpty() && m_proxyPassword.isEmpty());
    const HttpRequest::Request request = HttpRequest::build(
        url, operation, headerText, !route.proxy.isEmpty(),
        credentials ? ProxyRoute::authorization(m_proxyUser, m_proxyPassword) : QByteArray(), bodySize);

    auto pending = std::make_unique<CurlExchangeHolder>();
    CurlExchange& x = pending->exchange;
    x.url = request.target.toEncoded(QUrl::RemoveFragment);
    x.verb = request.verb;
    x.headers = HttpRequest::wireLines(request.headers, request.suppressed);
    x.proxyHeaders = HttpRequest::wireLines(request.proxyHeaders);
    x.proxy = route.proxy;
    x.body = body;
    x.source = std::move(source);
    x.caFile = m_caFile ? QFile::encodeName(m_caFile->fileName()) : QByteArray();

    m_request = RequestFacts();
    m_request.peer = request.target.scheme() + QStringLiteral("://") + request.target.host() + u':' +
                     QString::number(request.target.port(request.tunnelled ? 443 : 80)) + u'|' +
                     QString::fromLatin1(route.proxy);
    m_request.proxyShown = route.shown;
    m_request.bodySize = bodySize;
    if (m_kept.peer.isEmpty() || !m_idle.isValid())
        m_kept.idleMs = 0;
    else
        m_kept.idleMs = m_idle.elapsed();
    const ReusePolicy::Decision first = ReusePolicy::decide(m_request.peer, habitOf(m_request.peer), m_kept);

    ++m_generation;
    m_busy = true;
    m_answerInHand = false;
    m_pending = std::move(pending);
    m_body.clear();
    m_readPos = 0;
    m_truncated = false;
    m_fromProxy = false;
    m_location.clear();
    m_earlyAnswer.clear();
    m_delivered = bodySize == 0;
    m_responseCode = 0;
    m_responseInfo.clear();
    m_timedOut = false;
    qCDebug(lcUpload) << request.verb << request.target.toDisplayString() << bodySize
                      << "bytes:" << first.why;
    armWatchdog();
    if (first.settleMs <= 0) {
        launch(m_generation);
        return;
    }
    const quint64 generation = m_generation;
    QTimer::singleShot(first.settleMs, this, [this, generation] { launch(generation); });
}

void InetControl::launch(quint64 generation)
{
    if (generation != m_generation || !m_busy || !m_pending)
        return;
    const std::unique_ptr<CurlExchangeHolder> pending = std::move(m_pending);
    CurlExchange& x = pending->exchange;
    const QString& peer = m_request.peer;
    // Decided again now: bytes or a close may have shown on the kept connection meanwhile.
    if (m_kept.peer == peer && m_idle.isValid())
        m_kept.idleMs = m_idle.elapsed();
    const ReusePolicy::Decision d = ReusePolicy::decide(peer, habitOf(peer), m_kept);
    m_request.reuse = d.reuse;
    m_request.multiplexed = d.reuse && m_kept.multiplexed;
    m_request.idleMs = d.reuse ? m_kept.idleMs : 0;
    // Even a connection that will not carry another body stays open after its
    // answer: a reset right behind the answer shows that the page had not taken
    // the whole document.
    x.freshConnection = !d.reuse;
    // The library closes, rather than offers, a connection older than the station would use.
    x.maxIdleSecs = std::max<long>(0, long((m_kept.safeIdleMs + 999) / 1000) - 1);
    startExchange(x);
}

void InetControl::again()
{
    CurlExchange x = m_carrier->exchange();
    x.freshConnection = true;
    qCDebug(lcUpload) << "nothing of the request went out: once more, on a new connection";
    m_request.retried = true;
    m_request.reuse = false;
    m_request.multiplexed = false;
    m_request.idleMs = 0;
    m_request.sentSeen = 0;
    m_request.deliveredAt.invalidate();
    m_delivered = x.bodySize() == 0;
    startExchange(x);
}

void InetControl::startExchange(const CurlExchange& x)
{
    forgetKept();
    if (const CurlCarrier::Start s = m_carrier->start(x); !s.started) {
        failed(QNetworkReply::UnknownNetworkError, s.description);
        return;
    }
    armWatchdog();
}

void InetControl::forgetKept()
{
    m_kept = ReusePolicy::Kept();
    m_idle.invalidate();
    m_carrier->stopWatching();
}

void InetControl::armWatchdog()
{
    if (!m_watchdog) {
        m_watchdog = new QTimer(this);
        m_watchdog->setSingleShot(true);
        connect(m_watchdog, &QTimer::timeout, this, [this] {
            if (!m_busy)
                return;
            m_timedOut = true;
            m_pending.reset();
            m_carrier->abort();
            failed(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
        });
    }
    if (m_delivered && m_request.deliveredAt.isValid()) {
        // A deadline from delivery: an answer that trickles in does not extend it.
        m_watchdog->start(int(qMax<qint64>(0, m_replyTimeoutMs - m_request.deliveredAt.elapsed())));
        return;
    }
    m_watchdog->start(m_timeoutMs);
}

void InetControl::onProgressed()
{
    if (!m_busy)
        return;
    if (m_delivered && m_request.deliveredAt.isValid())
        return;
    if (m_carrier->sentAll() || (m_delivered && !m_request.deliveredAt.isValid())) {
        // From the moment the whole body has gone out, the page may have filed it.
        m_delivered = true;
        m_request.deliveredAt.start();
    } else if (m_carrier->sent() == m_request.sentSeen) {
        // While sending, only bytes that go out are progress: a page that sends
        // interim answers and never reads the body must not hold the station.
        return;
    }
    m_request.sentSeen = m_carrier->sent();
    emit sendProgress(m_carrier->sent(), m_request.bodySize);
    armWatchdog();
}

void InetControl::onFinished()
{
    if (!m_busy)
        return;
    if (m_watchdog)
        m_watchdog->stop();
    const ExchangeFacts& o = m_carrier->outcome();
    m_request.onKept = m_request.reuse && !o.newConnection;
    m_answerInHand = true;
    if (o.keptSocket >= 0) {
        Peer& p = m_peers[m_request.peer];
        if (o.keepAliveSecs > 0)
            p.saidIdleMs = qint64(o.keepAliveSecs) * 1000;
        m_kept.peer = m_request.peer;
        m_kept.idleMs = 0;
        m_kept.turnaroundMs = m_request.deliveredAt.isValid() ? m_request.deliveredAt.elapsed() : 0;
        m_kept.stirred = false;
        m_kept.multiplexed = o.http2;
        m_kept.safeIdleMs =
            p.saidIdleMs > 0 ? ReusePolicy::safeIdleFor(p.saidIdleMs) : ReusePolicy::DefaultSafeIdleMs;
        if (p.shownIdleMs > 0)
            m_kept.safeIdleMs = qMin(m_kept.safeIdleMs, ReusePolicy::safeIdleFor(p.shownIdleMs));
        m_idle.start();
        // Over HTTP/2 the page's frames on an idle connection (pings, settings,
        // its notice of going away) are the library's to read, and no answer
        // can be taken for another stream's.
        if (!o.http2)
            m_carrier->watchKept(o.keptSocket);
    }
    // Judged once what already came behind the answer has been seen.
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this, [this, generation] { conclude(generation); }, Qt::QueuedConnection);
}

void InetControl::onStirred(bool reset, const QByteArray& head)
{
    m_kept.stirred = true;
    if (m_answerInHand) {
        // Behind the answer in hand, before it is handed on. (While a request
        // waits out its settle time, what shows is the idle connection's.)
        m_request.bytesBehind = m_request.bytesBehind || !head.isEmpty();
        m_request.resetBehind = m_request.resetBehind || reset;
        m_request.closeBehind = m_request.closeBehind || (head.isEmpty() && !reset);
        return;
    }
    const ReusePolicy::Stir stir{m_idle.isValid() ? m_idle.elapsed() : 0, !head.isEmpty(),
                                 m_kept.peer.startsWith(QLatin1String("https:")),
                                 head.startsWith("HTTP/1.1 408 ") || head.startsWith("HTTP/1.0 408 ")};
    const ReusePolicy::Lesson lesson = ReusePolicy::lessonOf(stir);
    if (lesson == ReusePolicy::Lesson::Nothing) {
        // The server's keep-alive time ran out: its connections are not used
        // so long again. The latest close counts, so one that came early for
        // another reason (a restart) is put right by the next.
        m_peers[m_kept.peer].shownIdleMs = stir.afterMs;
        qCDebug(lcUpload) << m_kept.peer << "let a connection go after" << stir.afterMs << "ms idle";
    }
    learn(m_kept.peer, lesson);
    if (ReusePolicy::mayBeACopiedAnswer(stir))
        doubtAnswers();
}

void InetControl::conclude(quint64 generation)
{
    if (generation != m_generation || !m_busy)
        return; // cancelled, or a newer request was started meanwhile
    m_answerInHand = false;
    const ExchangeFacts& o = m_carrier->outcome();
    const QString& peer = m_request.peer;
    ExchangeJudge::Circumstances c;
    c.habit = habitOf(peer);
    c.reuseAllowed = m_request.reuse;
    c.multiplexed = m_request.multiplexed;
    c.idleMs = m_request.idleMs;
    c.retried = m_request.retried;
    c.bytesBehind = m_request.bytesBehind;
    c.closeBehind = m_request.closeBehind;
    c.resetBehind = m_request.resetBehind;
    const ExchangeJudge::Verdict v = ExchangeJudge::judge(o, c);
    learn(peer, v.lesson);
    if (v.doubt)
        doubtAnswers();
    switch (v.kind) {
    case ExchangeJudge::Verdict::Kind::Again:
        again();
        return;
    case ExchangeJudge::Verdict::Kind::Failure:
        // A connection whose answer is not taken carries no other.
        forgetKept();
        m_delivered = v.delivered;
        if (o.answeredEarly && o.status >= 200)
            m_earlyAnswer = QString::number(o.status) + u' ' + QString::fromLatin1(o.reason);
        failed(v.code, v.text);
        return;
    case ExchangeJudge::Verdict::Kind::Answer:
        break;
    }
    m_delivered = true;
    m_body = o.body;
    m_truncated = o.ending == ExchangeFacts::Ending::CutAtLimit;
    m_location = QString::fromLatin1(o.location);
    m_fromProxy = ExchangeJudge::answeredByProxy(o.status, !m_request.proxyShown.isEmpty(),
                                                 m_request.peer.startsWith(QLatin1String("https:")),
                                                 o.forwarded, o.server);
    if (m_truncated)
        qCWarning(lcUpload) << "reply longer than" << MaxReplyBytes << "bytes, cut";
    m_responseCode = o.status;
    m_responseInfo = QString::number(m_responseCode);
    if (!o.reason.isEmpty())
        m_responseInfo += QLatin1Char(' ') + QString::fromLatin1(o.reason);
    qCDebug(lcUpload) << "reply" << m_responseInfo << m_body.size() << "bytes" << (m_truncated ? "(cut)" : "")
                      << (m_request.onKept ? "(kept connection)" : "");
    deliver(icResponseCompleted);
}

void InetControl::learn(const QString& peer, ReusePolicy::Lesson lesson)
{
    if (peer.isEmpty())
        return;
    Peer& p = m_peers[peer];
    const ReusePolicy::Habit before = habitOf(peer);
    const ReusePolicy::Habit after = ReusePolicy::learn(before, lesson);
    if (lesson != ReusePolicy::Lesson::Nothing)
        p.learnt.start();
    if (after == p.habit)
        return;
    p.habit = after;
    qCDebug(lcUpload) << peer << "habit now" << int(after);
}

ReusePolicy::Habit InetControl::habitOf(const QString& peer) const
{
    const auto p = m_peers.constFind(peer);
    if (p == m_peers.cend())
        return ReusePolicy::Habit::Unknown;
    if (p->habit == ReusePolicy::Habit::Closes && p->learnt.isValid() &&
        p->learnt.elapsed() >= ReusePolicy::ForgetClosesMs)
        return ReusePolicy::Habit::Unknown;
    return p->habit;
}

void InetControl::doubtAnswers()
{
    // A whole answer the page wrote twice, or late, is read as the next
    // request's answer, and every answer after it shifts by one: HTTP/1.1 names
    // no request in an answer. The bytes left over show only now.
    if (m_answersOnKept > 0)
        emit answersInDoubt(std::exchange(m_answersOnKept, 0));
}

QByteArray InetControl::GetChunk(int size, int kind)
{
    Q_UNUSED(kind) // text and bytes are the same bytes here; the caller decodes the whole reply
    if (size <= 0)
        return {};
    const qint64 left = m_body.size() - m_readPos;
    if (left <= 0)
        return {};
    const qint64 n = qMin<qint64>(size, left);
    QByteArray piece = m_body.mid(m_readPos, n);
    m_readPos += n;
    return piece;
}

void InetControl::failed(long code, const QString& text)
{
    m_responseCode = code;
    m_responseInfo = text;
    if (m_timedOut) {
        m_responseInfo =
            m_delivered
                ? QStringLiteral("No answer within %1 seconds after the whole request reached the web page")
                      .arg(m_replyTimeoutMs / 1000.0)
                : QStringLiteral("No progress within %1 seconds while the request was sent")
                      .arg(m_timeoutMs / 1000.0);
    }
    if (!m_request.proxyShown.isEmpty())
        m_responseInfo += QStringLiteral(" (through the proxy %1)").arg(m_request.proxyShown);
    m_body.clear();
    m_readPos = 0;
    m_truncated = false;
    qCDebug(lcUpload) << "request failed:" << m_responseCode << m_responseInfo;
    postState(icError);
}

void InetControl::Cancel()
{
    ++m_generation; // a state already on its way for this request is dropped
    m_pending.reset();
    m_carrier->abort();
    if (m_watchdog)
        m_watchdog->stop();
    if (m_busy) {
        m_busy = false;
        m_body.clear();
        m_readPos = 0;
        m_truncated = false;
        qCDebug(lcUpload) << "request cancelled";
    }
}

void InetControl::postState(int state)
{
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation, state] {
            if (generation != m_generation || !m_busy)
                return; // cancelled, or a newer request was started meanwhile
            deliver(state);
        },
        Qt::QueuedConnection);
}

void InetControl::deliver(int state)
{
    if (state == icResponseCompleted)
        m_answersOnKept = m_request.onKept ? m_answersOnKept + 1 : 0;
    // Idle before the handler runs, so it can start the next request.
    m_busy = false;
    emit StateChanged(state);
}
