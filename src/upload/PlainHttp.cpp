#include "PlainHttp.h"

#include <QNetworkProxy>
#include <QNetworkReply>
#include <QTcpSocket>

#include <cerrno>
#include <sys/socket.h>

namespace {

// At most this much of the request waits in the socket's own buffer: a large
// file is not copied whole a second time, and the kernel is never short of data.
constexpr qint64 WriteWindow = 1024 * 1024;
// A status line and headers longer than this are no answer of a web page.
constexpr qint64 MaxHeadBytes = 64 * 1024;

bool hasToken(const QByteArray& list, const QByteArray& token)
{
    for (const QByteArray& item : list.split(','))
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

PlainHttp::PlainHttp(qint64 maxBodyBytes, QObject* parent) : QObject(parent), m_maxBody(maxBodyBytes) {}

PlainHttp::~PlainHttp()
{
    dropSocket();
}

bool PlainHttp::keptAlive(const QString& key) const
{
    if (!m_socket || m_key != key || m_phase != Phase::Idle || m_socket->state() != QAbstractSocket::ConnectedState ||
        m_socket->bytesAvailable() > 0)
        return false;
    // Qt notices a close by the server only when its event loop reads it; the
    // socket itself knows already.
    char c = 0;
    const ssize_t n = ::recv(int(m_socket->socketDescriptor()), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

void PlainHttp::start(const QString& key, const QString& host, quint16 port, bool viaProxy, bool reuse,
                      const QByteArray& head, const QByteArray& body, bool answerHasBody)
{
    const bool kept = reuse && keptAlive(key);
    m_head = head;
    m_body = body;
    m_total = head.size() + body.size();
    m_queued = 0;
    m_delivered = false;
    m_newConnection = !kept;
    m_answerHasBody = answerHasBody;
    m_reading = Reading::StatusLine;
    m_in.clear();
    m_headBytes = 0;
    m_left = 0;
    m_gotAnswerByte = false;
    m_answerReady = false;
    m_http11 = false;
    m_closeAsked = false;
    m_transferEncoding.clear();
    m_contentLength.clear();
    m_lengthConflict = false;
    m_answer = {};
    m_failure = {};
    m_host = host;
    m_viaProxy = viaProxy;
    if (kept) {
        m_phase = Phase::Exchanging;
        pump();
        return;
    }
    dropSocket();
    m_key = key;
    m_socket = new QTcpSocket(this);
    m_socket->setReadBufferSize(64 * 1024);
    // The route, proxy or not, has been chosen by the caller already.
    m_socket->setProxy(QNetworkProxy::NoProxy);
    connect(m_socket, &QTcpSocket::connected, this, &PlainHttp::onConnected);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &PlainHttp::onBytesWritten);
    connect(m_socket, &QTcpSocket::readyRead, this, &PlainHttp::onReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &PlainHttp::onSocketError);
    m_phase = Phase::Connecting;
    m_socket->connectToHost(host, port);
}

void PlainHttp::abort()
{
    if (m_phase == Phase::Idle)
        return;
    dropSocket();
    endExchange();
}

void PlainHttp::onConnected()
{
    if (m_phase != Phase::Connecting)
        return;
    // The end of a request must not wait for the acknowledgement of its start.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_phase = Phase::Exchanging;
    emit progressed();
    pump();
}

void PlainHttp::pump()
{
    while (m_phase == Phase::Exchanging && m_queued < m_total && m_socket->bytesToWrite() < WriteWindow) {
        const bool inHead = m_queued < m_head.size();
        const QByteArray& part = inHead ? m_head : m_body;
        const qint64 at = inHead ? m_queued : m_queued - m_head.size();
        const qint64 n = qMin(part.size() - at, WriteWindow - m_socket->bytesToWrite());
        const qint64 written = m_socket->write(part.constData() + at, n);
        if (written <= 0)
            return fail(QNetworkReply::UnknownNetworkError, m_socket->errorString());
        m_queued += written;
    }
    if (m_phase == Phase::Exchanging && m_queued == m_total && m_socket->bytesToWrite() == 0) {
        m_delivered = true;
        if (m_answerReady)
            finishAnswer();
    }
}

void PlainHttp::onBytesWritten()
{
    if (m_phase != Phase::Exchanging)
        return;
    pump();
    emit progressed();
}

void PlainHttp::onReadyRead()
{
    if (m_phase != Phase::Exchanging)
        return; // on an idle connection it stays unread, and keptAlive() refuses the connection
    const QByteArray data = m_socket->readAll();
    if (data.isEmpty())
        return;
    m_in += data;
    m_gotAnswerByte = true;
    m_delivered = true;
    emit progressed();
    if (!m_answerReady)
        parse();
}

bool PlainHttp::takeLine(QByteArray& line)
{
    const qsizetype end = m_in.indexOf('\n');
    if (end < 0) {
        if (m_headBytes + m_in.size() > MaxHeadBytes)
            fail(QNetworkReply::ProtocolFailure, QStringLiteral("The server's answer has a line longer than %1 bytes")
                                                     .arg(MaxHeadBytes));
        return false;
    }
    line = m_in.left(end);
    if (line.endsWith('\r'))
        line.chop(1);
    m_in.remove(0, end + 1);
    return true;
}

void PlainHttp::parse()
{
    QByteArray line;
    while (m_phase == Phase::Exchanging && !m_answerReady) {
        switch (m_reading) {
        case Reading::StatusLine: {
            if (!takeLine(line))
                return;
            m_headBytes += line.size() + 2;
            // "HTTP/1.1 200 OK"
            const bool shaped = line.size() >= 12 && line.startsWith("HTTP/1.") && line[8] == ' ' &&
                                (line.size() == 12 || line[12] == ' ');
            bool number = false;
            const int status = shaped ? line.mid(9, 3).toInt(&number) : 0;
            if (!number || status < 100 || status > 999)
                return fail(QNetworkReply::ProtocolFailure, QStringLiteral("The server's answer is not HTTP"));
            m_http11 = line[7] != '0';
            m_answer.status = status;
            m_answer.reason = line.mid(13).trimmed();
            m_closeAsked = false;
            m_transferEncoding.clear();
            m_contentLength.clear();
            m_lengthConflict = false;
            m_reading = Reading::Headers;
            break;
        }
        case Reading::Headers: {
            if (!takeLine(line))
                return;
            m_headBytes += line.size() + 2;
            if (m_headBytes > MaxHeadBytes)
                return fail(QNetworkReply::ProtocolFailure,
                            QStringLiteral("The server's answer has headers longer than %1 bytes").arg(MaxHeadBytes));
            if (!line.isEmpty()) {
                const qsizetype colon = line.indexOf(':');
                if (colon <= 0)
                    continue; // a folded or broken line: nothing this client needs is in it
                const QByteArray name = line.left(colon).trimmed().toLower();
                const QByteArray value = line.mid(colon + 1).trimmed();
                if (name == "connection" && hasToken(value, "close"))
                    m_closeAsked = true;
                else if (name == "transfer-encoding")
                    m_transferEncoding += (m_transferEncoding.isEmpty() ? "" : ",") + value;
                else if (name == "content-length") {
                    if (!m_contentLength.isEmpty() && m_contentLength != value)
                        m_lengthConflict = true;
                    m_contentLength = value;
                }
                continue;
            }
            // An interim answer (100 Continue and the like) is followed by the real one.
            if (m_answer.status < 200 && m_answer.status != 101) {
                m_reading = Reading::StatusLine;
                continue;
            }
            if (!startBody())
                return;
            break;
        }
        case Reading::Fixed:
        case Reading::ChunkData: {
            const qint64 n = qMin<qint64>(m_left, m_in.size());
            if (n == 0 && m_left > 0)
                return;
            appendBody(m_in.constData(), n);
            m_in.remove(0, n);
            m_left -= n;
            if (m_phase != Phase::Exchanging || m_left > 0)
                return;
            if (m_reading == Reading::Fixed)
                return answered();
            m_reading = Reading::ChunkEnd;
            break;
        }
        case Reading::ChunkSize: {
            if (!takeLine(line))
                return;
            const QByteArray digits = line.left(line.indexOf(';') < 0 ? line.size() : line.indexOf(';')).trimmed();
            bool ok = !digits.isEmpty() && digits.size() <= 15;
            const qint64 size = ok ? digits.toLongLong(&ok, 16) : 0;
            if (!ok || size < 0)
                return fail(QNetworkReply::ProtocolFailure, QStringLiteral("The server's answer has a broken chunk"));
            m_left = size;
            m_reading = size == 0 ? Reading::Trailers : Reading::ChunkData;
            break;
        }
        case Reading::ChunkEnd:
            if (!takeLine(line))
                return;
            if (!line.isEmpty())
                return fail(QNetworkReply::ProtocolFailure, QStringLiteral("The server's answer has a broken chunk"));
            m_reading = Reading::ChunkSize;
            break;
        case Reading::Trailers:
            if (!takeLine(line))
                return;
            if (line.isEmpty())
                return answered();
            break;
        case Reading::UntilClose:
            appendBody(m_in.constData(), m_in.size());
            m_in.clear();
            return;
        }
    }
}

bool PlainHttp::startBody()
{
    m_answer.keep = m_http11 && !m_closeAsked;
    if (!m_answerHasBody || m_answer.status == 204 || m_answer.status == 304) {
        answered();
        return false;
    }
    if (!m_transferEncoding.isEmpty()) {
        const QList<QByteArray> codings = m_transferEncoding.split(',');
        if (codings.last().trimmed().compare("chunked", Qt::CaseInsensitive) == 0) {
            m_reading = Reading::ChunkSize;
        } else {
            m_answer.keep = false;
            m_reading = Reading::UntilClose;
        }
        return true;
    }
    if (!m_contentLength.isEmpty()) {
        bool ok = !m_lengthConflict;
        const qint64 length = ok ? m_contentLength.toLongLong(&ok) : -1;
        if (!ok || length < 0) {
            fail(QNetworkReply::ProtocolFailure, QStringLiteral("The server's answer has an invalid Content-Length"));
            return false;
        }
        m_left = length;
        m_reading = Reading::Fixed;
        if (length == 0) {
            answered();
            return false;
        }
        return true;
    }
    // Neither length nor chunks: the body ends where the server closes.
    m_answer.keep = false;
    m_reading = Reading::UntilClose;
    return true;
}

void PlainHttp::appendBody(const char* data, qint64 size)
{
    const qint64 room = m_maxBody - m_answer.body.size();
    if (size <= room) {
        m_answer.body.append(data, size);
        return;
    }
    // Enough of it: the rest is not read at all, and the connection goes with it.
    m_answer.body.append(data, room);
    m_answer.truncated = true;
    answered();
}

void PlainHttp::answered()
{
    if (m_answer.truncated)
        return finishAnswer();
    // A server may answer before it has read the whole request; unless it
    // closes the connection, the rest goes out as a browser would send it, and
    // the answer counts once the request is complete.
    m_answerReady = true;
    if (m_queued == m_total && m_socket->bytesToWrite() == 0)
        finishAnswer();
}

void PlainHttp::finishAnswer()
{
    // More behind the answer than it declared leaves the connection in no known state.
    if (m_answer.truncated || !m_in.isEmpty() || m_queued < m_total || (m_socket && m_socket->bytesToWrite() > 0))
        m_answer.keep = false;
    if (!m_answer.keep)
        dropSocket();
    endExchange();
    emit finished(true);
}

void PlainHttp::onSocketError()
{
    if (m_phase == Phase::Idle)
        return; // the server let a kept connection go: it is not used again
    const QAbstractSocket::SocketError error = m_socket->error();
    if (!m_answerReady && error == QAbstractSocket::RemoteHostClosedError) {
        m_in += m_socket->readAll();
        if (!m_in.isEmpty())
            m_gotAnswerByte = true;
        parse();
        if (m_reading == Reading::UntilClose && m_phase != Phase::Idle && !m_answerReady)
            answered();
    }
    if (m_phase == Phase::Idle)
        return;
    if (m_answerReady) {
        // The whole answer came before the server let the connection go.
        m_answer.keep = false;
        return finishAnswer();
    }
    if (error == QAbstractSocket::RemoteHostClosedError) {
        if (m_gotAnswerByte)
            return fail(QNetworkReply::RemoteHostClosedError,
                        QStringLiteral("The server closed the connection in the middle of its answer"));
        m_failure.unanswered = m_phase == Phase::Exchanging;
        return fail(QNetworkReply::RemoteHostClosedError,
                    QStringLiteral("The server closed the connection without answering"));
    }
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return fail(m_viaProxy ? QNetworkReply::ProxyConnectionRefusedError : QNetworkReply::ConnectionRefusedError,
                    m_viaProxy ? QStringLiteral("Proxy connection refused") : QStringLiteral("Connection refused"));
    case QAbstractSocket::HostNotFoundError:
        return fail(m_viaProxy ? QNetworkReply::ProxyNotFoundError : QNetworkReply::HostNotFoundError,
                    (m_viaProxy ? QStringLiteral("Proxy %1 not found") : QStringLiteral("Host %1 not found"))
                        .arg(m_host));
    case QAbstractSocket::SocketTimeoutError:
        return fail(QNetworkReply::TimeoutError, m_socket->errorString());
    default:
        m_failure.unanswered = m_phase == Phase::Exchanging && !m_gotAnswerByte;
        return fail(QNetworkReply::UnknownNetworkError, m_socket->errorString());
    }
}

void PlainHttp::fail(long code, const QString& text)
{
    if (m_phase == Phase::Idle)
        return;
    m_failure.code = code;
    m_failure.text = text;
    dropSocket();
    endExchange();
    emit finished(false);
}

void PlainHttp::endExchange()
{
    m_phase = Phase::Idle;
    m_head.clear();
    m_body.clear();
    m_in.clear();
}

void PlainHttp::dropSocket()
{
    if (!m_socket)
        return;
    disconnect(m_socket, nullptr, this, nullptr);
    m_socket->abort();
    m_socket->deleteLater();
    m_socket = nullptr;
    m_key.clear();
}
