#include "InetControl.h"

#include "Failure.h"
#include "Logging.h"
#include "PlainHttp.h"

#include <QAuthenticator>
#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QIODevice>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslError>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

// AccessType 0: whatever the desktop's proxy configuration says for each address
// (environment variables, libproxy). Asking libproxy costs more than a small
// upload, so an answer is kept for a minute for the same scheme, host and port.
class SystemProxyFactory final : public QNetworkProxyFactory
{
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override
    {
        const QString key = query.protocolTag() + u' ' + query.peerHostName() + u':' +
                            QString::number(query.peerPort());
        QMutexLocker lock(&m_mutex);
        if (!m_age.isValid() || m_age.hasExpired(60000)) {
            m_cache.clear();
            m_age.start();
        }
        const auto found = m_cache.constFind(key);
        if (found != m_cache.cend())
            return *found;
        lock.unlock();
        const QList<QNetworkProxy> answer = QNetworkProxyFactory::systemProxyForQuery(query);
        lock.relock();
        m_cache.insert(key, answer);
        return answer;
    }

private:
    QMutex m_mutex;
    QElapsedTimer m_age;
    QHash<QString, QList<QNetworkProxy>> m_cache;
};

constexpr int AccessDirect = 1;

// Qt keeps at most this much of a reply in its own buffer; the rest waits in the
// socket until we have taken it, so a huge reply never piles up in memory.
constexpr qint64 ReadBufferBytes = 64 * 1024;

// The request body as a device that can be read once only. A QByteArray body can
// be rewound, and Qt then sends a POST again by itself when the server hangs up
// without answering, though the page may have filed the document already; with
// this body such a resend fails and the request is reported as failed instead.
// Qt's HTTP sockets keep Nagle's algorithm on, and QNetworkAccessManager gives no access to
// them. A request goes out in two writes (the header with the start of the body, then the rest);
// the second is held until the first is acknowledged, which the server delays by up to 40 ms, so
// over a real link every other file costs two round trips more than it needs. TCP_NODELAY is
// therefore set on the process's TCP sockets whenever Qt opens one. Other TCP sockets of the
// program get it as well; to them it only means that small writes are not held back.
void disableNagleOnTcpSockets()
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == own)
            continue;
        int protocol = 0;
        socklen_t length = sizeof protocol;
        if (::getsockopt(int(fd), SOL_SOCKET, SO_PROTOCOL, &protocol, &length) != 0 || protocol != IPPROTO_TCP)
            continue;
        const int on = 1;
        ::setsockopt(int(fd), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ::closedir(dir);
}

class OneShotBody final : public QIODevice
{
public:
    /// Every byte has been handed to Qt's network code: from here on the page may
    /// get the whole request, so it counts as delivered.
    bool allRead() const { return m_allRead.load(std::memory_order_acquire); }

    explicit OneShotBody(const QByteArray& data) : m_data(data) { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_data.size() - m_pos + QIODevice::bytesAvailable(); }
    bool atEnd() const override { return m_pos >= m_data.size() && QIODevice::bytesAvailable() == 0; }

protected:
    qint64 readData(char* out, qint64 max) override
    {
        const qint64 n = qMin(max, m_data.size() - m_pos);
        if (n <= 0)
            return m_pos >= m_data.size() ? -1 : 0;
        memcpy(out, m_data.constData() + m_pos, static_cast<size_t>(n));
        m_pos += n;
        if (m_pos >= m_data.size())
            m_allRead.store(true, std::memory_order_release);
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_pos = 0;
    std::atomic<bool> m_allRead{false};
};

struct HeaderLine
{
    QByteArray name;
    QByteArray value;
};

bool isTokenChar(char c)
{
    if (c >= 'A' && c <= 'Z')
        return true;
    if (c >= 'a' && c <= 'z')
        return true;
    if (c >= '0' && c <= '9')
        return true;
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

// The caller's header text: lines "Name: value", each ended by CR LF (a bare LF
// is taken as well). Anything that is not such a line is refused rather than
// sent half-understood.
QList<HeaderLine> parseHeaderText(const QString& headerText)
{
    QList<HeaderLine> lines;
    const QByteArray text = headerText.toUtf8();
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = colon > 0 ? line.left(colon) : QByteArray();
        bool nameOk = !name.isEmpty();
        for (char c : name)
            nameOk = nameOk && isTokenChar(c);
        if (!nameOk) {
            throw Failure(QStringLiteral("The request header line \"%1\" is not of the form Name: value.")
                              .arg(QString::fromUtf8(line)));
        }
        const QByteArray value = line.mid(colon + 1).trimmed();
        for (char c : value) {
            const auto u = static_cast<unsigned char>(c);
            if ((u < 0x20 && c != '\t') || u == 0x7f) {
                throw Failure(QStringLiteral("The request header line \"%1\" holds a control character.")
                                  .arg(QString::fromUtf8(name)));
            }
        }
        lines.append({name, value});
    }
    return lines;
}

// Only the HTTP-level errors: Qt reports them for a complete answer whose status
// is 4xx or 5xx. The page's answer is then the reply, whatever its status.
bool isHttpStatusError(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::NoError:
    case QNetworkReply::ContentAccessDenied:
    case QNetworkReply::ContentOperationNotPermittedError:
    case QNetworkReply::ContentNotFoundError:
    case QNetworkReply::AuthenticationRequiredError:
    case QNetworkReply::ContentConflictError:
    case QNetworkReply::ContentGoneError:
    case QNetworkReply::UnknownContentError:
    case QNetworkReply::ProtocolInvalidOperationError:
    case QNetworkReply::InternalServerError:
    case QNetworkReply::OperationNotImplementedError:
    case QNetworkReply::ServiceUnavailableError:
    case QNetworkReply::UnknownServerError:
        return true;
    default:
        return false;
    }
}

// The status line and headers of a plain http request as they go on the wire;
// through a proxy the target is the whole address.
QByteArray plainRequestHead(const QByteArray& verb, const QUrl& target, bool viaProxy, const QList<HeaderLine>& headers,
                            qint64 bodySize)
{
    QByteArray head = verb + ' ';
    if (viaProxy) {
        head += target.toEncoded(QUrl::RemoveFragment | QUrl::RemoveUserInfo);
    } else {
        const QByteArray path = target.path(QUrl::FullyEncoded).toLatin1();
        head += path.isEmpty() ? QByteArray("/") : path;
        if (target.hasQuery())
            head += '?' + target.query(QUrl::FullyEncoded).toLatin1();
    }
    head += " HTTP/1.1\r\n";
    bool hostGiven = false;
    bool contentTypeGiven = false;
    for (const HeaderLine& h : headers) {
        if (h.name.compare("Content-Length", Qt::CaseInsensitive) == 0)
            continue; // the length is always that of the body actually sent
        hostGiven = hostGiven || h.name.compare("Host", Qt::CaseInsensitive) == 0;
        contentTypeGiven = contentTypeGiven || h.name.compare("Content-Type", Qt::CaseInsensitive) == 0;
        head += h.name + ": " + h.value + "\r\n";
    }
    if (!hostGiven) {
        const QString host = target.host(QUrl::FullyEncoded);
        head += "Host: " + (host.contains(u':') ? u'[' + host + u']' : host).toLatin1();
        if (target.port(80) != 80)
            head += ':' + QByteArray::number(target.port());
        head += "\r\n";
    }
    if (!contentTypeGiven && bodySize > 0)
        head += "Content-Type: application/x-www-form-urlencoded\r\n";
    if (bodySize > 0 || (verb != "GET" && verb != "HEAD"))
        head += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
    head += "User-Agent: Mozilla/5.0\r\n\r\n";
    return head;
}

QString describeUrl(const QString& url)
{
    return QStringLiteral("The upload address \"%1\"").arg(url);
}

} // namespace

InetControl::InetControl(QObject* parent)
    : QObject(parent), m_nam(new QNetworkAccessManager(this)), m_http(new PlainHttp(MaxReplyBytes, this))
{
    connect(m_http, &PlainHttp::progressed, this, [this] {
        if (!m_plain)
            return;
        if (m_http->delivered() && !m_delivered) {
            m_delivered = true;
            m_deliveredAt.start();
        }
        progressed();
    });
    connect(m_http, &PlainHttp::finished, this, &InetControl::onPlainFinished);
    // Only the https tunnel (CONNECT) is answered with the credentials; a plain
    // http request through the proxy carries the caller's own header, and a
    // refusal of that is the proxy's answer to show, not a reason to try ours.
    connect(m_nam, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            [this](const QNetworkProxy& proxy, QAuthenticator* authenticator) {
                if (!m_busy || !m_tunnelled || m_proxyAuthOffered)
                    return;
                if (m_proxyUser.isEmpty() && m_proxyPassword.isEmpty())
                    return;
                m_proxyAuthOffered = true;
                qCDebug(lcUpload) << "proxy" << proxy.hostName() << "asks for credentials";
                authenticator->setUser(m_proxyUser);
                authenticator->setPassword(m_proxyPassword);
            });
}

InetControl::~InetControl()
{
    if (m_reply)
        release(m_reply, true);
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
    // Made here, not for each request: reading the system's certificates takes longer than a
    // request over a fast link.
    if (!m_sslConfiguration) {
        m_sslConfiguration = std::make_unique<QSslConfiguration>(QSslConfiguration::defaultConfiguration());
        m_sslConfiguration->setCaCertificates(QSslConfiguration::systemCaCertificates());
    }
    m_sslConfiguration->setCaCertificates(m_sslConfiguration->caCertificates() + certificates);
}

bool InetControl::StillExecuting() const
{
    return m_busy;
}

void InetControl::progressed()
{
    if (!m_watchdog) {
        m_watchdog = new QTimer(this);
        m_watchdog->setSingleShot(true);
        connect(m_watchdog, &QTimer::timeout, this, [this] {
            if (m_plain && m_http->busy()) {
                m_timedOut = true;
                m_http->abort();
                failed(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"), false);
                return;
            }
            if (!m_reply)
                return;
            m_timedOut = true;
            m_reply->abort(); // finishes it with OperationCanceledError
        });
    }
    m_watchdog->start(RequestDelivered() ? m_replyTimeoutMs : m_timeoutMs);
}

void InetControl::Cancel()
{
    ++m_generation; // a state already on its way for this request is dropped
    if (m_reply)
        release(m_reply, true);
    m_http->abort();
    m_plain = false;
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

void InetControl::applyProxy(bool tunnelled)
{
    QNetworkProxy named;
    QString signature;
    if (m_accessType == AccessNamedProxy) {
        const QString text = m_proxy.trimmed();
        if (text.isEmpty())
            throw Failure(QStringLiteral("The named proxy is to be used, but no proxy address is set."));
        const QUrl url(text.contains(QLatin1String("://")) ? text : QStringLiteral("http://") + text,
                       QUrl::StrictMode);
        const bool pathless = url.path().isEmpty() || url.path() == QLatin1String("/");
        if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty()
            || !pathless || url.hasQuery() || url.hasFragment()) {
            throw Failure(QStringLiteral("The proxy address \"%1\" cannot be used: it must be host:port "
                                         "or http://host:port.")
                              .arg(m_proxy));
        }
        named = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(), static_cast<quint16>(url.port(80)));
        if (tunnelled) {
            named.setUser(m_proxyUser);
            named.setPassword(m_proxyPassword);
        }
        signature = QStringLiteral("named %1:%2 %3:%4")
                        .arg(named.hostName())
                        .arg(named.port())
                        .arg(named.user(), named.password());
    } else if (m_accessType == AccessDefault) {
        signature = QStringLiteral("system");
    } else if (m_accessType == AccessDirect) {
        signature = QStringLiteral("direct");
    } else {
        throw Failure(QStringLiteral("The access type %1 is not supported.").arg(m_accessType));
    }

    if (signature == m_proxySignature)
        return;
    // Connections and credentials remembered under another proxy setting must not
    // carry over: a plain http request has to reach the proxy with the caller's
    // Proxy-Authorization only, and changed credentials must really be used.
    m_nam->clearAccessCache();
    m_proxySignature = signature;
    if (m_accessType == AccessNamedProxy)
        m_nam->setProxy(named);
    else if (m_accessType == AccessDefault)
        m_nam->setProxyFactory(new SystemProxyFactory);
    else
        m_nam->setProxy(QNetworkProxy::NoProxy);
}

void InetControl::Execute(const QString& url, const QString& operation, const QByteArray& body,
                          const QString& headerText)
{
    // Everything that can refuse the request is checked before anything changes,
    // so a refused request leaves the control idle and reports no state.
    if (m_busy)
        throw Failure(QStringLiteral("Still executing last request"));
    if (url.isEmpty())
        throw Failure(QStringLiteral("No upload address is set."));
    // Tolerant, as a browser's address bar: a blank or bracket in the path is sent
    // percent-encoded; a broken host or port still makes the address invalid.
    const QUrl target(url, QUrl::TolerantMode);
    if (!target.isValid())
        throw Failure(describeUrl(url) + QStringLiteral(" is not a valid address: ") + target.errorString());
    const QString scheme = target.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        throw Failure(describeUrl(url) + QStringLiteral(" does not begin with http:// or https://."));
    if (target.host().isEmpty())
        throw Failure(describeUrl(url) + QStringLiteral(" names no host."));
    const QByteArray verb = operation.trimmed().toUpper().toLatin1();
    bool verbOk = !verb.isEmpty();
    for (char c : verb)
        verbOk = verbOk && isTokenChar(c);
    if (!verbOk)
        throw Failure(QStringLiteral("The request method \"%1\" is not valid.").arg(operation));
    const bool tunnelled = scheme == QLatin1String("https");
    const QList<HeaderLine> headers = parseHeaderText(headerText);
    applyProxy(tunnelled);

    const std::optional<QNetworkProxy> plain = plainRoute(target);
    const bool viaProxy = plain ? plain->type() == QNetworkProxy::HttpProxy
                                : m_accessType == AccessNamedProxy && m_nam->proxy().type() == QNetworkProxy::HttpProxy;
    const QNetworkProxy& shown = plain ? *plain : m_nam->proxy();
    m_proxyShown = viaProxy ? shown.hostName() + u':' + QString::number(shown.port()) : QString();

    // A kept connection carries the next body only when all of these hold:
    // - the last request to the same peer (server, or proxy and server) was
    //   answered whole on it, without "Connection: close" (an answer cut at
    //   MaxReplyBytes, or one that came before the whole request went out, ends
    //   its connection);
    // - it has been idle far less than servers keep idle connections (Apache 5 s,
    //   nginx 75 s, IIS 120 s), so a close by the server is unlikely to cross
    //   the request;
    // - no end of stream is pending on it. Some peers (tinyproxy among them) let
    //   every connection go right after the answer without saying so. Such a
    //   close is seen only once it has arrived, and then a new connection is
    //   opened; so the first time a peer's connection would be reused, the
    //   request waits until the connection has been idle as long as the last
    //   answer took to come once the whole request was out (at least
    //   MinSettleMs, at most SettleMs): a close sent right behind an answer is
    //   under way no longer than the answer itself was, and a fixed wait would
    //   cost a fast pass of many small files a fifth of its time. A peer that
    //   closed it meanwhile gets a new connection for every request from then
    //   on, one that kept it is trusted to keep the next ones as long as they
    //   stay within KeepIdleMs;
    // - the peer has never closed a kept connection under a request.
    // Should it be closed anyway, the request fails: the file stays for the
    // next pass, and the peer gets a fresh connection for every request from
    // then on. The body is never sent twice by this program, since nobody can
    // tell whether the server read it: plain http requests are written by
    // PlainHttp, which never sends anything again, and Qt, which would, gets a
    // one-shot body (OneShotBody).
    const QString peer = target.scheme() + QStringLiteral("://") + target.host() + u':' +
                         QString::number(target.port(tunnelled ? 443 : 80)) + u'|' + m_proxySignature + u'|' +
                         (plain ? QStringLiteral("plain ") + m_proxyShown : QString());
    const PeerHabit habit = m_peerHabits.value(peer, PeerHabit::Unknown);
    m_reusing = habit != PeerHabit::Closes && peer == m_keptPeer && m_idle.isValid() && m_idle.elapsed() < KeepIdleMs;
    const qint64 settleMs = m_reusing && habit == PeerHabit::Unknown
        ? qBound(MinSettleMs, m_lastTurnaroundMs, SettleMs) - m_idle.elapsed()
        : 0;

    std::function<void()> launch;
    if (plain) {
        const QByteArray head = plainRequestHead(verb, target, viaProxy, headers, body.size());
        const QString host = viaProxy ? plain->hostName() : target.host(QUrl::FullyEncoded);
        const quint16 port = viaProxy ? plain->port() : quint16(target.port(80));
        const bool reuse = m_reusing;
        launch = [this, peer, host, port, viaProxy, reuse, head, body, verb] {
            m_http->start(peer, host, port, viaProxy, reuse, head, body, verb != "HEAD");
        };
    } else {
        QNetworkRequest request(target);
        // A 3xx is the page's answer like any other; following it would re-send the
        // document somewhere the operator never configured.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
        bool contentTypeGiven = false;
        for (const HeaderLine& h : headers) {
            if (h.name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
                // The length is always that of the body actually sent.
                continue;
            }
            if (tunnelled && h.name.compare("Proxy-Authorization", Qt::CaseInsensitive) == 0) {
                // Inside the tunnel this would hand the proxy password to the web
                // server; the tunnel itself is authorised with the credentials.
                qCWarning(lcUpload) << "Proxy-Authorization dropped from an https request";
                continue;
            }
            if (h.name.compare("Content-Type", Qt::CaseInsensitive) == 0)
                contentTypeGiven = true;
            request.setRawHeader(h.name, h.value);
        }
        if (!contentTypeGiven && !body.isEmpty())
            request.setHeader(QNetworkRequest::ContentTypeHeader,
                              QByteArrayLiteral("application/x-www-form-urlencoded"));
        if (tunnelled) {
            // The session the server handed out last time is offered again: a pass
            // after a pause resumes it instead of paying a full handshake.
            QSslConfiguration tls =
                m_sslConfiguration ? *m_sslConfiguration : QSslConfiguration::defaultConfiguration();
            tls.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
            const QByteArray ticket = m_sessionTickets.value(peer);
            if (!ticket.isEmpty())
                tls.setSessionTicket(ticket);
            request.setSslConfiguration(tls);
        } else if (m_sslConfiguration) {
            request.setSslConfiguration(*m_sslConfiguration);
        }
        if (!m_reusing)
            m_nam->clearConnectionCache();
        launch = [this, request, verb, body] { send(request, verb, body); };
    }
    m_keptPeer.clear();
    m_peer = peer;

    ++m_generation;
    m_busy = true;
    m_plain = plain.has_value();
    m_tunnelled = tunnelled;
    m_proxyAuthOffered = false;
    m_body.clear();
    m_readPos = 0;
    m_truncated = false;
    m_delivered = body.isEmpty();
    m_deliveredAt.invalidate();
    m_newConnection = false;
    m_nagleOff = false;
    m_responseCode = 0;
    m_responseInfo.clear();
    m_reply = nullptr;
    m_bodyDevice = nullptr;
    m_timedOut = false;
    qCDebug(lcUpload) << verb << target.toDisplayString() << body.size() << "bytes"
                      << (m_reusing ? "(may go on the kept connection)" : "");
    progressed();
    if (settleMs <= 0) {
        launch();
        return;
    }
    const quint64 generation = m_generation;
    QTimer::singleShot(settleMs, this, [this, generation, launch] {
        if (generation == m_generation && m_busy)
            launch();
    });
}

std::optional<QNetworkProxy> InetControl::plainRoute(const QUrl& target)
{
    if (target.scheme() != QLatin1String("http"))
        return std::nullopt; // TLS stays with Qt
    if (!target.userInfo().isEmpty())
        return std::nullopt; // so do the page's own credentials in the address, which Qt answers a challenge with
    if (m_accessType == AccessDirect)
        return QNetworkProxy(QNetworkProxy::NoProxy);
    if (m_accessType == AccessNamedProxy)
        return m_nam->proxy();
    if (!m_systemProxies)
        m_systemProxies = std::make_unique<SystemProxyFactory>();
    const QList<QNetworkProxy> answer = m_systemProxies->queryProxy(QNetworkProxyQuery(target));
    if (answer.isEmpty() || answer.first().type() == QNetworkProxy::NoProxy)
        return QNetworkProxy(QNetworkProxy::NoProxy);
    // A proxy that wants credentials of its own, or one of another kind, is left to Qt.
    const QNetworkProxy& first = answer.first();
    if (first.type() == QNetworkProxy::HttpProxy && first.user().isEmpty() && first.password().isEmpty())
        return first;
    return std::nullopt;
}

void InetControl::send(QNetworkRequest request, const QByteArray& verb, const QByteArray& body)
{
    QNetworkReply* reply = nullptr;
    if (verb == "GET" && body.isEmpty()) {
        reply = m_nam->get(request);
    } else {
        request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
        request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
        auto* device = new OneShotBody(body);
        m_bodyDevice = device;
        reply = verb == "POST" ? m_nam->post(request, device) : m_nam->sendCustomRequest(request, verb, device);
        device->setParent(reply);
    }
    m_reply = reply;
    m_deliveredAt.invalidate();
    progressed();
    connect(reply, &QNetworkReply::socketStartedConnecting, this, [this, reply] {
        if (reply != m_reply)
            return;
        m_newConnection = true;
        disableNagleOnTcpSockets();
    });
    // From the moment the whole body has gone out, the page may have filed it.
    connect(reply, &QNetworkReply::uploadProgress, this, [this, reply](qint64 sent, qint64 total) {
        if (reply != m_reply)
            return;
        // The socket may not have existed yet when its connecting was reported.
        if (m_newConnection && !m_nagleOff) {
            m_nagleOff = true;
            disableNagleOnTcpSockets();
        }
        if (total > 0 && sent >= total && !m_delivered) {
            m_delivered = true;
            m_deliveredAt.start();
        }
        progressed();
    });
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        if (reply != m_reply)
            return;
        m_delivered = true;
        progressed();
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [this, reply] {
        if (reply == m_reply)
            progressed();
    });
    reply->setReadBufferSize(ReadBufferBytes);
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { onReadyRead(reply); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onFinished(reply); });
    connect(reply, &QNetworkReply::sslErrors, this, [](const QList<QSslError>& errors) {
        // Never ignored: the request fails with the handshake.
        for (const QSslError& e : errors)
            qCWarning(lcUpload) << "TLS:" << e.errorString();
    });
}

bool InetControl::RequestDelivered() const
{
    if (!m_busy)
        return false;
    if (m_delivered)
        return true;
    if (m_plain)
        return m_http->allQueued();
    // Only ever set to a OneShotBody.
    const auto* body = static_cast<const OneShotBody*>(m_bodyDevice.data());
    return body && body->allRead();
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

bool InetControl::takeData(QNetworkReply* reply)
{
    while (reply->bytesAvailable() > 0) {
        const qint64 room = MaxReplyBytes - m_body.size();
        const QByteArray data = reply->read(qMin<qint64>(reply->bytesAvailable(), room + 1));
        if (data.isEmpty())
            break;
        if (data.size() > room) {
            m_body.append(data.left(room));
            m_truncated = true;
            return false;
        }
        m_body.append(data);
    }
    return true;
}

void InetControl::onReadyRead(QNetworkReply* reply)
{
    if (reply != m_reply)
        return;
    if (!takeData(reply)) {
        // Enough of it: the rest is not read at all.
        qCWarning(lcUpload) << "reply longer than" << MaxReplyBytes << "bytes, cut";
        complete(reply, icResponseCompleted);
    }
}

void InetControl::onFinished(QNetworkReply* reply)
{
    if (reply != m_reply) {
        release(reply, false);
        return;
    }
    const QNetworkReply::NetworkError error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // An answer of the page (any status) with its whole body is a reply; no answer,
    // or an answer broken off, is a failure.
    // A proxy's refusal of a plain http request is an answer as well (its page is
    // shown like the web page's); a refused tunnel is not, as no page answered.
    const bool proxyRefusal = error == QNetworkReply::ProxyAuthenticationRequiredError && !m_tunnelled;
    const bool answered = status.isValid() && (isHttpStatusError(error) || proxyRefusal);
    if (answered && !takeData(reply))
        qCWarning(lcUpload) << "reply longer than" << MaxReplyBytes << "bytes, cut";
    complete(reply, answered ? icResponseCompleted : icError);
}

void InetControl::complete(QNetworkReply* reply, int state)
{
    if (state == icResponseCompleted) {
        const QByteArray ticket = reply->sslConfiguration().sessionTicket();
        if (!ticket.isEmpty())
            m_sessionTickets.insert(m_peer, ticket);
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QString reason =
            QString::fromLatin1(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray());
        const bool keep = !m_truncated && reply->rawHeader("Connection").toLower() != "close";
        release(reply, m_truncated);
        answered(status, reason, keep);
    } else {
        const QNetworkReply::NetworkError error = reply->error();
        const QString text = reply->errorString();
        release(reply, false);
        // What makes Qt want to send the body again (see OneShotBody).
        const bool unanswered = error == QNetworkReply::ContentReSendError;
        failed(error, text, unanswered);
    }
}

void InetControl::onPlainFinished(bool answeredWhole)
{
    if (!m_plain || !m_busy)
        return;
    if (m_watchdog)
        m_watchdog->stop();
    // A kept connection found closed when the request was due counts as a new one, as Qt's would.
    m_newConnection = m_http->newConnection();
    if (answeredWhole) {
        const PlainHttp::Answer& a = m_http->answer();
        m_body = a.body;
        m_truncated = a.truncated;
        if (m_truncated)
            qCWarning(lcUpload) << "reply longer than" << MaxReplyBytes << "bytes, cut";
        answered(a.status, QString::fromLatin1(a.reason), m_http->connectionKept());
    } else {
        const PlainHttp::Failed& f = m_http->failure();
        failed(f.code, f.text, f.unanswered);
    }
}

void InetControl::answered(int status, const QString& reason, bool keep)
{
    m_responseCode = status;
    m_responseInfo = QString::number(m_responseCode);
    if (!reason.isEmpty())
        m_responseInfo += QLatin1Char(' ') + reason;
    qCDebug(lcUpload) << "reply" << m_responseInfo << m_body.size() << "bytes" << (m_truncated ? "(cut)" : "")
                      << (m_reusing ? "(kept connection)" : "");
    if (m_reusing && m_peerHabits.value(m_peer, PeerHabit::Unknown) == PeerHabit::Unknown) {
        const PeerHabit learnt = m_newConnection ? PeerHabit::Closes : PeerHabit::Keeps;
        m_peerHabits.insert(m_peer, learnt);
        qCDebug(lcUpload) << m_peer << (learnt == PeerHabit::Keeps ? "keeps connections" : "closes connections");
    }
    if (keep) {
        m_keptPeer = m_peer;
        m_idle.start();
        m_lastTurnaroundMs = m_deliveredAt.isValid() ? m_deliveredAt.elapsed() : SettleMs;
    }
    postState(icResponseCompleted);
}

void InetControl::failed(long code, const QString& text, bool closedUnanswered)
{
    m_responseCode = code;
    m_responseInfo = text;
    // Qt reports the end of a kept connection under a request without saying whether it opened another.
    if (closedUnanswered && m_reusing && (!m_plain || !m_newConnection)) {
        m_peerHabits.insert(m_peer, PeerHabit::Closes);
        m_responseInfo = QStringLiteral("The server closed the kept connection without answering; from now on "
                                        "each file goes to it on a new connection");
    } else if (closedUnanswered) {
        m_responseInfo = QStringLiteral("The server closed the connection without answering");
    } else if (m_timedOut || code == QNetworkReply::TimeoutError) {
        m_responseInfo = m_delivered
            ? QStringLiteral("No answer within %1 seconds after the whole request reached the web page")
                  .arg(m_replyTimeoutMs / 1000.0)
            : QStringLiteral("No answer within %1 seconds (%2)").arg(m_timeoutMs / 1000.0).arg(text);
    }
    if (!m_proxyShown.isEmpty())
        m_responseInfo += QStringLiteral(" (through the proxy %1)").arg(m_proxyShown);
    m_body.clear();
    m_readPos = 0;
    qCDebug(lcUpload) << "request failed:" << m_responseCode << m_responseInfo;
    postState(icError);
}

void InetControl::release(QNetworkReply* reply, bool abort)
{
    // Nothing this reply does from now on may reach us, not even the finished()
    // that abort() emits.
    disconnect(reply, nullptr, this, nullptr);
    if (abort && reply->isRunning())
        reply->abort();
    reply->deleteLater();
    if (m_reply == reply) {
        m_reply = nullptr;
        if (m_watchdog)
            m_watchdog->stop();
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
            // Idle before the handler runs, so it can start the next request.
            m_busy = false;
            emit StateChanged(state);
        },
        Qt::QueuedConnection);
}
