#include "InetControl.h"

#include "CurlCarrier.h"
#include "Failure.h"
#include "HttpRequest.h"
#include "Logging.h"
#include "ProxyRoute.h"

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
    connect(m_carrier, &CurlCarrier::stirred, this, [this](bool reset, const QByteArray& head) {
        m_kept.stirred = true;
        m_keptReset = reset;
        if (mayBeACopiedAnswer(head))
            doubtAnswers();
    });
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

void InetControl::setAccessType(int accessType)
{
    m_accessType = accessType;
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
    // Everything that can refuse the request is checked before anything changes,
    // so a refused request leaves the control idle and reports no state.
    if (m_busy)
        throw Failure(QStringLiteral("Still executing last request"));
    const QUrl target(url, QUrl::TolerantMode);
    const ProxyRoute::Route route = url.isEmpty() || !target.isValid()
                                        ? ProxyRoute::Route()
                                        : ProxyRoute::route(m_accessType, m_proxy, target);
    const bool credentials = !route.proxy.isEmpty() && !(m_proxyUser.isEmpty() && m_proxyPassword.isEmpty());
    const HttpRequest::Request request = HttpRequest::build(
        url, operation, headerText,
        credentials ? (m_proxyUser + u':' + m_proxyPassword).toLocal8Bit() : QByteArray(), body.size());

    auto pending = std::make_unique<CurlExchangeHolder>();
    CurlExchange& x = pending->exchange;
    x.url = request.target.toEncoded(QUrl::RemoveFragment);
    x.verb = request.verb;
    x.headers = HttpRequest::wireLines(request.headers, request.suppressed);
    x.proxyHeaders = HttpRequest::wireLines(request.proxyHeaders);
    x.proxy = route.proxy;
    x.body = body;
    x.caFile = m_caFile ? QFile::encodeName(m_caFile->fileName()) : QByteArray();

    m_flight = Flight();
    m_flight.peer = request.target.scheme() + QStringLiteral("://") + request.target.host() + u':' +
                    QString::number(request.target.port(request.tunnelled ? 443 : 80)) + u'|' +
                    QString::fromLatin1(route.proxy);
    m_flight.proxyShown = route.shown;
    m_flight.bodySize = body.size();
    if (m_kept.peer.isEmpty() || !m_idle.isValid())
        m_kept.idleMs = 0;
    else
        m_kept.idleMs = m_idle.elapsed();
    const ReusePolicy::Decision first = ReusePolicy::decide(
        m_flight.peer, m_habits.value(m_flight.peer, ReusePolicy::Habit::Unknown), m_kept);

    ++m_generation;
    m_busy = true;
    m_pending = std::move(pending);
    m_body.clear();
    m_readPos = 0;
    m_truncated = false;
    m_location.clear();
    m_delivered = body.isEmpty();
    m_responseCode = 0;
    m_responseInfo.clear();
    m_timedOut = false;
    qCDebug(lcUpload) << request.verb << request.target.toDisplayString() << body.size()
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
    const QString& peer = m_flight.peer;
    // Decided again now: bytes or a close may have shown on the kept connection meanwhile.
    if (m_kept.peer == peer && m_idle.isValid())
        m_kept.idleMs = m_idle.elapsed();
    ReusePolicy::Habit habit = m_habits.value(peer, ReusePolicy::Habit::Unknown);
    if (m_kept.peer == peer && m_kept.stirred) {
        habit = ReusePolicy::learn(habit, false, false, true, false);
        m_habits.insert(peer, habit);
    }
    const ReusePolicy::Decision d = ReusePolicy::decide(peer, habit, m_kept);
    m_flight.reuse = d.reuse;
    // Even a connection that will not carry another body stays open after its
    // answer: a reset right behind the answer shows that the page had not taken
    // the whole document.
    x.freshConnection = !d.reuse;
    forgetKept();
    try {
        m_carrier->start(x);
    } catch (const Failure& f) {
        failed(QNetworkReply::UnknownNetworkError, f.description());
        return;
    }
    armWatchdog();
}

void InetControl::forgetKept()
{
    m_kept = ReusePolicy::Kept();
    m_keptReset = false;
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
    if (m_delivered && m_flight.deliveredAt.isValid()) {
        // A deadline from delivery: an answer that trickles in does not extend it.
        m_watchdog->start(int(qMax<qint64>(0, m_replyTimeoutMs - m_flight.deliveredAt.elapsed())));
        return;
    }
    m_watchdog->start(m_timeoutMs);
}

void InetControl::onProgressed()
{
    if (!m_busy)
        return;
    if (m_delivered && m_flight.deliveredAt.isValid())
        return;
    if (m_carrier->sentAll() || (m_delivered && !m_flight.deliveredAt.isValid())) {
        // From the moment the whole body has gone out, the page may have filed it.
        m_delivered = true;
        m_flight.deliveredAt.start();
    } else if (m_carrier->sent() == m_flight.sentSeen) {
        // While sending, only bytes that go out are progress: a page that sends
        // interim answers and never reads the body must not hold the station.
        return;
    }
    m_flight.sentSeen = m_carrier->sent();
    emit sendProgress(m_carrier->sent(), m_flight.bodySize);
    armWatchdog();
}

void InetControl::onFinished()
{
    if (!m_busy)
        return;
    if (m_watchdog)
        m_watchdog->stop();
    const CurlOutcome& o = m_carrier->outcome();
    const QString& peer = m_flight.peer;
    const ReusePolicy::Habit before = m_habits.value(peer, ReusePolicy::Habit::Unknown);
    // Bytes the page owed an earlier answer can cross the next request and read as
    // its answer. Each crossing may leave a filed document behind to go again, so
    // the first one ends this peer's kept connections.
    m_flight.onKept = m_flight.reuse && !o.newConnection;
    const bool crossed = m_flight.onKept && !o.answered && o.code == QNetworkReply::ProtocolFailure;
    const ReusePolicy::Habit learnt =
        ReusePolicy::learn(before, m_flight.reuse, o.newConnection, crossed, o.refusedResend);
    if (learnt != before) {
        m_habits.insert(peer, learnt);
        qCDebug(lcUpload) << peer
                          << (learnt == ReusePolicy::Habit::Keeps ? "keeps connections"
                                                                  : "closes connections");
    }
    if (!o.delivered && o.status >= 200 && o.status <= 299) {
        // What it said, it said of a document it had not seen whole. (A refusal
        // that comes early is a refusal all the same, and is shown as the answer.)
        m_delivered = false;
        failed(
            QNetworkReply::RemoteHostClosedError,
            QStringLiteral("The web page answered \"%1 %2\" before it had the whole document, so it cannot "
                           "have filed it")
                .arg(o.status)
                .arg(QString::fromLatin1(o.reason)));
        return;
    }
    if (!o.answered) {
        m_delivered = m_delivered || o.delivered;
        QString text = o.text;
        if (o.refusedResend && m_flight.reuse) {
            text = QStringLiteral("The server closed the kept connection without answering; from now on "
                                  "each file goes to it on a new connection");
        } else if (o.refusedResend) {
            text = QStringLiteral("The server closed the connection without answering");
        } else if (crossed) {
            doubtAnswers();
            text =
                QStringLiteral("On the kept connection the web page sent bytes that are not an answer (%1); "
                               "they may be left over from an earlier document, so which document they "
                               "belong to cannot be told: this one stays, and from now on each file goes to "
                               "it on a new connection")
                    .arg(o.text);
        }
        failed(o.code, text);
        return;
    }
    if (m_flight.reuse && o.keptSocket < 0 && !o.closeAnnounced && !o.truncated) {
        // libcurl lets a kept connection go after an answer only when more came
        // behind it: a second answer, or bytes nobody asked for. Which request the
        // first one belonged to cannot be told, so it files nothing.
        m_habits.insert(peer, ReusePolicy::Habit::Closes);
        m_delivered = true;
        doubtAnswers();
        failed(QNetworkReply::ProtocolFailure, unattributable(o.status, o.reason));
        return;
    }
    m_delivered = true;
    m_body = o.body;
    m_truncated = o.truncated;
    m_location = QString::fromLatin1(o.location);
    if (m_truncated)
        qCWarning(lcUpload) << "reply longer than" << MaxReplyBytes << "bytes, cut";
    if (o.keptSocket >= 0) {
        m_kept.peer = peer;
        m_kept.idleMs = 0;
        m_kept.turnaroundMs = m_flight.deliveredAt.isValid() ? m_flight.deliveredAt.elapsed() : 0;
        m_kept.stirred = false;
        m_keptReset = false;
        m_idle.start();
        m_carrier->watchKept(o.keptSocket);
    }
    answered(o.status, QString::fromLatin1(o.reason));
}

QString InetControl::unattributable(int status, const QByteArray& reason)
{
    return QStringLiteral(
               "The web page answered \"%1 %2\" on the kept connection and then sent more than "
               "was asked for; which document that answer belongs to cannot be told, so this one stays")
        .arg(status)
        .arg(QString::fromLatin1(reason));
}

bool InetControl::mayBeACopiedAnswer(const QByteArray& head) const
{
    // Over TLS the bytes may be the server's close notice, which is no answer;
    // a 408, or bytes long after the last answer, tell of the server's own
    // time-out rather than of an answer written twice.
    return !head.isEmpty() && !m_kept.peer.startsWith(QLatin1String("https:")) && m_idle.isValid() &&
           m_idle.elapsed() < ReusePolicy::KeepIdleMs && !head.startsWith("HTTP/1.1 408 ") &&
           !head.startsWith("HTTP/1.0 408 ");
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

void InetControl::answered(int status, const QString& reason)
{
    m_responseCode = status;
    m_responseInfo = QString::number(m_responseCode);
    if (!reason.isEmpty())
        m_responseInfo += QLatin1Char(' ') + reason;
    qCDebug(lcUpload) << "reply" << m_responseInfo << m_body.size() << "bytes" << (m_truncated ? "(cut)" : "")
                      << (m_flight.reuse ? "(kept connection)" : "");
    postState(icResponseCompleted);
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
    if (!m_flight.proxyShown.isEmpty())
        m_responseInfo += QStringLiteral(" (through the proxy %1)").arg(m_flight.proxyShown);
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
            if (state == icResponseCompleted && m_keptReset) {
                // A page resets a connection when it closes it with bytes of ours
                // unread: it answered before it had the whole document.
                m_habits.insert(m_flight.peer, ReusePolicy::Habit::Closes);
                m_delivered = false;
                failed(QNetworkReply::RemoteHostClosedError,
                       QStringLiteral(
                           "The web page answered \"%1\" and reset the connection: it answered before "
                           "it had the whole document, so it cannot have filed it")
                           .arg(m_responseInfo));
                return;
            }
            if (state == icResponseCompleted && m_flight.reuse && m_kept.stirred) {
                // Bytes came behind the answer before it was handed on: see onFinished.
                m_habits.insert(m_flight.peer, ReusePolicy::Habit::Closes);
                const int status = int(m_responseCode);
                failed(QNetworkReply::ProtocolFailure,
                       unattributable(status, m_responseInfo.section(u' ', 1).toLatin1()));
                return;
            }
            if (state == icResponseCompleted)
                m_answersOnKept = m_flight.onKept ? m_answersOnKept + 1 : 0;
            // Idle before the handler runs, so it can start the next request.
            m_busy = false;
            emit StateChanged(state);
        },
        Qt::QueuedConnection);
}
