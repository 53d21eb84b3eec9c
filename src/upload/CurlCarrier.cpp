// SPDX-License-Identifier: GPL-3.0-or-later
#include "CurlCarrier.h"

#include "UploadLogging.h"

#include <QNetworkReply>
#include <QSocketNotifier>
#include <QTimer>

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace {

// libcurl's global state, set up once before the first handle.
struct CurlGlobal
{
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

struct SList
{
    curl_slist* list = nullptr;
    SList() = default;
    SList(const SList&) = delete;
    SList& operator=(const SList&) = delete;
    ~SList() { curl_slist_free_all(list); }
    void assign(const QList<QByteArray>& lines)
    {
        curl_slist_free_all(list);
        list = nullptr;
        for (const QByteArray& line : lines)
            list = curl_slist_append(list, line.constData());
    }
};

// What the page and the proxy did, in the numbers the control has always reported.
long networkError(CURLcode result, bool viaProxy, long connectCode)
{
    switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return QNetworkReply::HostNotFoundError;
    case CURLE_COULDNT_RESOLVE_PROXY:
        return QNetworkReply::ProxyNotFoundError;
    case CURLE_COULDNT_CONNECT:
        return viaProxy ? QNetworkReply::ProxyConnectionRefusedError : QNetworkReply::ConnectionRefusedError;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_ABORTED_BY_CALLBACK:
        return QNetworkReply::OperationCanceledError;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED:
        return QNetworkReply::SslHandshakeFailedError;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP_RETURNED_ERROR:
        return QNetworkReply::ProtocolFailure;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_FAIL_REWIND:
        if (connectCode != 0 && (connectCode < 200 || connectCode > 299))
            return QNetworkReply::UnknownProxyError;
        return QNetworkReply::RemoteHostClosedError;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

} // namespace

struct CurlCarrier::Handles
{
    CURLM* multi = nullptr;
    CURLSH* share = nullptr;
    SList headers;
    SList proxyHeaders;
};

struct CurlCallbacks
{
    static CurlCarrier* self(void* p) { return static_cast<CurlCarrier*>(p); }

    static int socket(CURL*, curl_socket_t s, int what, void* p, void*)
    {
        CurlCarrier* c = self(p);
        // Notifiers are kept per socket number and only switched off: a transfer a
        // file costs no new ones, and a number the system hands out again gets the
        // same ones back.
        CurlCarrier::Notifiers& n = c->m_sockets[s];
        if (!n.read) {
            n.read = new QSocketNotifier(s, QSocketNotifier::Read, c);
            n.read->setEnabled(false);
            QObject::connect(n.read, &QSocketNotifier::activated, c,
                             [c, s] { c->drive(s, CURL_CSELECT_IN); });
            n.write = new QSocketNotifier(s, QSocketNotifier::Write, c);
            n.write->setEnabled(false);
            QObject::connect(n.write, &QSocketNotifier::activated, c,
                             [c, s] { c->drive(s, CURL_CSELECT_OUT); });
        }
        n.read->setEnabled(what == CURL_POLL_IN || what == CURL_POLL_INOUT);
        n.write->setEnabled(what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
        return 0;
    }

    static int timer(CURLM*, long timeoutMs, void* p)
    {
        CurlCarrier* c = self(p);
        if (timeoutMs < 0)
            c->m_timer->stop();
        else
            c->m_timer->start(int(qMin<long>(timeoutMs, 24L * 3600 * 1000)));
        return 0;
    }

    // The body goes to libcurl through this function alone, and no seek function
    // is set: libcurl cannot rewind it. libcurl sends a request again on a new
    // connection when a kept one died before any answer byte came, and the page
    // may have filed the document by then; without a way back to the start of
    // the body that attempt fails (CURLE_SEND_FAIL_REWIND), and the document stays
    // for the next pass. openSocket below refuses the new connection as well.
    static size_t read(char* buffer, size_t size, size_t count, void* p)
    {
        CurlCarrier* c = self(p);
        if (BodySource* source = c->m_exchange.source.get()) {
            const qint64 n = source->read(buffer, qint64(size * count));
            if (n < 0) {
                c->m_sourceStopped = true;
                return CURL_READFUNC_ABORT;
            }
            c->m_handed += n;
            return size_t(n);
        }
        const QByteArray& body = c->m_exchange.body;
        const qint64 n = qMin<qint64>(qint64(size * count), body.size() - c->m_handed);
        if (n <= 0)
            return 0;
        std::memcpy(buffer, body.constData() + c->m_handed, size_t(n));
        c->m_handed += n;
        return size_t(n);
    }

    static size_t write(char* data, size_t size, size_t count, void* p)
    {
        CurlCarrier* c = self(p);
        const qint64 n = qint64(size * count);
        const qint64 room = c->m_maxAnswer - c->m_outcome.body.size();
        if (n > room) {
            // Enough of it: the rest is not read, and the connection goes.
            c->m_outcome.body.append(data, room);
            c->m_truncated = true;
            return 0;
        }
        c->m_outcome.body.append(data, n);
        noteEarlyAnswer(c);
        return size_t(n);
    }

    // A page can answer whole before it has read the body, and then read no more
    // of it (over HTTP/2 it leaves its stream open): the answer is in, and
    // waiting on the rest of the body would only run into the time-out.
    static void noteEarlyAnswer(CurlCarrier* c)
    {
        bool lengthGiven = false;
        const qint64 length = c->m_length.toLongLong(&lengthGiven);
        curl_off_t uploaded = 0;
        if (lengthGiven && c->m_outcome.status >= 200 && c->m_outcome.body.size() >= length &&
            curl_easy_getinfo(c->m_easy, CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK &&
            qint64(uploaded) < c->m_exchange.bodySize())
            c->m_answeredEarly = true;
    }

    static size_t header(char* data, size_t size, size_t count, void* p)
    {
        CurlCarrier* c = self(p);
        ExchangeFacts& o = c->m_outcome;
        c->m_headerBytes += qint64(size * count);
        const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
        if (line.startsWith("HTTP/")) {
            // A new status line (after an interim 1xx): what came before is not this answer's.
            const QList<QByteArray> parts = line.split(' ');
            const int status = parts.value(1).toInt();
            if (status >= 100 && status < 200) {
                ++o.interim;
                o.status = 0;
            } else {
                o.status = status;
            }
            o.reason =
                parts.size() > 2 ? line.mid(parts[0].size() + parts[1].size() + 2).trimmed() : QByteArray();
            o.location.clear();
            o.forwarded = false;
            o.server.clear();
            o.keepAliveSecs = 0;
            c->m_length.clear();
            // HTTP/1.0 ends with the connection unless the page asks to keep it.
            o.closeAnnounced = parts.value(0) == "HTTP/1.0";
        } else if (line.size() > 15 && line.left(15).compare("Content-Length:", Qt::CaseInsensitive) == 0) {
            // Two lengths that differ leave the end of the answer, and the start of
            // whatever follows on the connection, to guesswork.
            const QByteArray length = line.mid(15).trimmed();
            if (!c->m_length.isEmpty() && c->m_length != length) {
                c->m_malformed = QStringLiteral("The answer gives two different lengths");
                return 0;
            }
            c->m_length = length;
        } else if (line.size() > 11 && line.left(11).compare("Connection:", Qt::CaseInsensitive) == 0) {
            const QByteArray value = line.mid(11).trimmed().toLower();
            if (value.contains("close"))
                o.closeAnnounced = true;
            else if (value.contains("keep-alive"))
                o.closeAnnounced = false;
        } else if (line.size() > 11 && line.left(11).compare("Keep-Alive:", Qt::CaseInsensitive) == 0) {
            // "timeout=5, max=100": how long the server keeps an idle connection.
            for (const QByteArray& param : line.mid(11).split(',')) {
                const QByteArray setting = param.trimmed().toLower();
                if (setting.startsWith("timeout="))
                    o.keepAliveSecs = qMax(0, setting.mid(8).trimmed().toInt());
            }
        } else if (line.size() > 9 && line.left(9).compare("Location:", Qt::CaseInsensitive) == 0) {
            o.location = line.mid(9).trimmed();
        } else if (line.size() > 4 && line.left(4).compare("Via:", Qt::CaseInsensitive) == 0) {
            o.forwarded = true;
        } else if (line.size() > 7 && line.left(7).compare("Server:", Qt::CaseInsensitive) == 0) {
            o.server = line.mid(7).trimmed().left(200);
        } else if (line.isEmpty()) {
            noteEarlyAnswer(c); // an answer without a body is whole with its header
        }
        c->m_moved = true;
        return size * count;
    }

    static int progress(void* p, curl_off_t, curl_off_t downNow, curl_off_t, curl_off_t upNow)
    {
        CurlCarrier* c = self(p);
        if (upNow != c->m_sent || downNow != c->m_received) {
            c->m_sent = upNow;
            c->m_sentMost = qMax<qint64>(c->m_sentMost, upNow);
            c->m_received = downNow;
            c->m_moved = true;
        }
        return 0;
    }

    static curl_socket_t openSocket(void* p, curlsocktype, curl_sockaddr* address)
    {
        CurlCarrier* c = self(p);
        if (c->m_handed > 0) {
            // Part of the body has gone out on a connection that died: the page may
            // have the document, so it does not go again on another.
            c->m_resendRefused = true;
            return CURL_SOCKET_BAD;
        }
        return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    }
};

CurlCarrier::CurlCarrier(qint64 maxAnswerBytes, QObject* parent)
    : QObject(parent), m_maxAnswer(maxAnswerBytes), m_handles(std::make_unique<Handles>()),
      m_timer(new QTimer(this))
{
    static CurlGlobal global;
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] {
        stopWatching();
        drive(CURL_SOCKET_TIMEOUT, 0);
    });
    m_handles->multi = curl_multi_init();
    m_handles->share = curl_share_init();
    if (!m_handles->multi || !m_handles->share)
        qFatal("libcurl could not be initialised");
    // TLS sessions live in the share, so each exchange (an easy handle of its
    // own) resumes the session the server handed out to an earlier one.
    curl_share_setopt(m_handles->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(m_handles->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_multi_setopt(m_handles->multi, CURLMOPT_SOCKETFUNCTION, &CurlCallbacks::socket);
    curl_multi_setopt(m_handles->multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_handles->multi, CURLMOPT_TIMERFUNCTION, &CurlCallbacks::timer);
    curl_multi_setopt(m_handles->multi, CURLMOPT_TIMERDATA, this);
    // Only the newest connection is kept: one the station has passed over for
    // a fresh one (idle too long, or stirred) is closed once the fresh one is
    // done, and is never offered to the request after it.
    curl_multi_setopt(m_handles->multi, CURLMOPT_MAXCONNECTS, 1L);
}

CurlCarrier::~CurlCarrier()
{
    abort();
    stopWatching();
    curl_multi_cleanup(m_handles->multi);
    curl_share_cleanup(m_handles->share);
    for (const Notifiers& n : std::as_const(m_sockets)) {
        delete n.read;
        delete n.write;
    }
    qDeleteAll(m_keptWatches);
}

CurlCarrier::Start CurlCarrier::start(const CurlExchange& exchange)
{
    abort();
    stopWatching();
    CURL* easy = curl_easy_init();
    if (!easy)
        return {false, QStringLiteral("The HTTP library could not start a request.")};
    m_exchange = exchange;
    m_outcome = ExchangeFacts();
    m_outcome.bodySize = exchange.bodySize();
    m_truncated = false;
    m_headerBytes = 0;
    m_handed = 0;
    m_sent = 0;
    m_sentMost = 0;
    m_received = 0;
    m_moved = false;
    m_resendRefused = false;
    m_sourceStopped = false;
    m_answeredEarly = false;
    m_length.clear();
    m_malformed.clear();
    m_error[0] = '\0';
    m_handles->headers.assign(exchange.headers);
    m_handles->proxyHeaders.assign(exchange.proxyHeaders);

    curl_easy_setopt(easy, CURLOPT_URL, exchange.url.constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // HTTP/2 where the page offers it over TLS (as curl does), where every answer
    // belongs to its stream; HTTP/1.1 for plain http.
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    // A 3xx is the page's answer like any other; following it would send the
    // document somewhere the operator never configured.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, m_error);
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    curl_easy_setopt(easy, CURLOPT_SHARE, m_handles->share);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
    // Always set, empty for none: libcurl then reads no proxy variables of its own.
    curl_easy_setopt(easy, CURLOPT_PROXY, exchange.proxy.constData());
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
    curl_easy_setopt(easy, CURLOPT_HEADEROPT, long(CURLHEADER_SEPARATE));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_handles->headers.list);
    curl_easy_setopt(easy, CURLOPT_PROXYHEADER, m_handles->proxyHeaders.list);
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // Credentials in the address answer the page's Basic challenge, sent with the
    // request itself so that the body never has to go twice.
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC));
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, long(CURLAUTH_BASIC));
    if (!exchange.caFile.isEmpty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, exchange.caFile.constData());
    curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, exchange.freshConnection ? 1L : 0L);
    if (exchange.maxIdleSecs >= 0)
        curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, exchange.maxIdleSecs);

    if (exchange.verb == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (exchange.verb == "GET" && exchange.bodySize() == 0) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(exchange.bodySize()));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &CurlCallbacks::read);
        curl_easy_setopt(easy, CURLOPT_READDATA, this);
        // No CURLOPT_SEEKFUNCTION: see CurlCallbacks::read.
        if (exchange.verb != "POST")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, exchange.verb.constData());
    }
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &CurlCallbacks::openSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlCallbacks::write);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlCallbacks::header);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CurlCallbacks::progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);

    const CURLMcode added = curl_multi_add_handle(m_handles->multi, easy);
    if (added != CURLM_OK) {
        curl_easy_cleanup(easy);
        return {false, QStringLiteral("The HTTP library could not start a request: %1")
                           .arg(QString::fromUtf8(curl_multi_strerror(added)))};
    }
    m_easy = easy;
    return {};
}

void CurlCarrier::abort()
{
    if (!m_easy)
        return;
    release();
}

void CurlCarrier::release()
{
    CURL* easy = m_easy;
    m_easy = nullptr;
    // Removed before it is done, the connection is closed, not kept.
    curl_multi_remove_handle(m_handles->multi, easy);
    curl_easy_cleanup(easy);
}

void CurlCarrier::drive(int socket, int events)
{
    int running = 0;
    curl_multi_socket_action(m_handles->multi, socket, events, &running);
    collect();
}

void CurlCarrier::collect()
{
    if (m_moved && m_easy) {
        m_moved = false;
        emit progressed();
    }
    if (m_answeredEarly && m_easy) {
        finish(CURLE_OK);
        return;
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(m_handles->multi, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == m_easy) {
            finish(message->data.result);
            return;
        }
    }
}

void CurlCarrier::finish(int resultCode)
{
    const auto result = static_cast<CURLcode>(resultCode);
    CURL* easy = m_easy;
    ExchangeFacts& o = m_outcome;
    long connectCode = 0;
    long connects = 0;
    long version = 0;
    curl_off_t uploaded = 0;
    curl_socket_t kept = CURL_SOCKET_BAD;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
    curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    // Still attached to the multi handle, the easy handle can name the
    // connection it leaves in the pool; none when it was closed.
    curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &kept);
    release();

    // libcurl counts anew on each connection it tries; what went out on an
    // earlier one went out all the same.
    o.uploaded = qMax<qint64>(qint64(uploaded), m_sentMost);
    o.handed = m_handed;
    o.newConnection = connects > 0;
    o.http2 = version == CURL_HTTP_VERSION_2_0;
    o.answeredEarly = result == CURLE_OK && (m_answeredEarly || o.uploaded < o.bodySize);
    // Removed before the body was out, the connection is closed, not kept.
    o.keptSocket = result == CURLE_OK && !m_answeredEarly && kept != CURL_SOCKET_BAD ? int(kept) : -1;
    o.bodyStopped = m_sourceStopped;
    o.resendRefused = m_resendRefused || result == CURLE_SEND_FAIL_REWIND;
    if (connectCode != 0 && (connectCode < 200 || connectCode > 299))
        o.proxyStatus = int(connectCode);
    if (o.reason.isEmpty())
        o.reason = ExchangeJudge::standardReason(o.status);
    using Ending = ExchangeFacts::Ending;
    switch (result) {
    case CURLE_OK:
        o.ending = Ending::Complete;
        break;
    case CURLE_UNSUPPORTED_PROTOCOL: // an answer libcurl takes for HTTP/0.9
    case CURLE_WEIRD_SERVER_REPLY:
        o.ending = Ending::NotHttp;
        break;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_FAIL_REWIND:
        o.ending = Ending::BrokenOff;
        break;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        o.ending = m_resendRefused ? Ending::BrokenOff : Ending::NoConnection;
        break;
    case CURLE_OUT_OF_MEMORY:
        // libcurl's answer to a header past its limit (100 KiB): no memory runs out.
        o.ending =
            m_headerBytes > 0 || o.status > 0 || o.interim > 0 ? Ending::HeaderTooLarge : Ending::Other;
        break;
    default:
        o.ending = Ending::Other;
        break;
    }
    if (m_truncated && result == CURLE_WRITE_ERROR)
        o.ending = Ending::CutAtLimit;
    if (!m_malformed.isEmpty())
        o.ending = Ending::Malformed;
    if (o.ending != Ending::Complete && o.ending != Ending::CutAtLimit) {
        o.code = networkError(result, !m_exchange.proxy.isEmpty(), connectCode);
        if (m_resendRefused)
            o.code = QNetworkReply::RemoteHostClosedError;
        // The proxy's answer to the CONNECT, whatever the library made of it.
        if (o.proxyStatus != 0 &&
            ExchangeJudge::answerVerdict(o.proxyStatus, {}, false, ExchangeJudge::Answerer::Proxy) ==
                ExchangeJudge::AnswerVerdict::ProxyAuth)
            o.code = QNetworkReply::ProxyAuthenticationRequiredError;
        o.text = m_sourceStopped ? m_exchange.source->stopReason()
                 : !m_malformed.isEmpty()
                     ? m_malformed
                     : QString::fromUtf8(m_error[0] ? m_error : curl_easy_strerror(result));
        if (o.proxyStatus != 0)
            o.text += QStringLiteral(" (the proxy answered %1)").arg(o.proxyStatus);
    }
    qCDebug(lcUpload) << "libcurl:" << int(result) << o.text << "status" << o.status << "interim" << o.interim
                      << "sent" << o.uploaded << "of" << o.bodySize << "connections" << connects << "kept"
                      << o.keptSocket
                      << (version == 0 ? "no answer"
                          : o.http2    ? "HTTP/2"
                                       : "HTTP/1");
    emit finished();
}

void CurlCarrier::watchKept(int socket)
{
    stopWatching();
    if (socket < 0)
        return;
    // libcurl's own notifier for this socket is off while no transfer uses it.
    QSocketNotifier*& watch = m_keptWatches[socket];
    if (!watch) {
        watch = new QSocketNotifier(socket, QSocketNotifier::Read, this);
        connect(watch, &QSocketNotifier::activated, this, [this, socket] { onKeptActivity(socket); });
    }
    m_keptWatch = watch;
    m_keptWatch->setEnabled(true);
    onKeptActivity(socket); // what already came behind the answer
}

void CurlCarrier::onKeptActivity(int socket)
{
    if (!m_keptWatch || m_keptWatches.value(socket) != m_keptWatch)
        return;
    // Looked at, not taken: libcurl finds the same when it checks the connection.
    char head[13] = {};
    const ssize_t n = ::recv(socket, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    const bool reset = n < 0 && errno == ECONNRESET;
    stopWatching();
    qCDebug(lcUpload) << "kept connection"
                      << (n > 0   ? "showed bytes nobody asked for"
                          : reset ? "was reset"
                                  : "was closed");
    emit stirred(reset, QByteArray(head, n > 0 ? qsizetype(n) : 0));
}

void CurlCarrier::stopWatching()
{
    if (!m_keptWatch)
        return;
    m_keptWatch->setEnabled(false);
    m_keptWatch = nullptr;
}
