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
    m_answerReady = false;
    m_kept = false;
    m_reader.emplace(m_maxBody, answerHasBody);
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
    m_delivered = true;
    emit progressed();
    take(m_reader->feed(data));
}

void PlainHttp::take(HttpAnswerReader::State state)
{
    if (m_phase != Phase::Exchanging || m_answerReady)
        return;
    if (state == HttpAnswerReader::State::Broken)
        return fail(QNetworkReply::ProtocolFailure, m_reader->error());
    if (state == HttpAnswerReader::State::Complete)
        answered();
}

void PlainHttp::answered()
{
    if (m_reader->answer().truncated)
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
    // Whatever came behind the answer, or a request not wholly sent, leaves the
    // connection in no known state.
    m_kept = m_reader->answer().keep && !m_reader->surplus() && m_queued == m_total && m_socket &&
             m_socket->bytesToWrite() == 0 && m_socket->state() == QAbstractSocket::ConnectedState;
    if (!m_kept)
        dropSocket();
    endExchange();
    emit finished(true);
}

void PlainHttp::onSocketError()
{
    if (m_phase == Phase::Idle)
        return; // the server let a kept connection go: it is not used again
    const QAbstractSocket::SocketError error = m_socket->error();
    if (m_answerReady) {
        // The whole answer came before the server let the connection go.
        return finishAnswer();
    }
    if (error == QAbstractSocket::RemoteHostClosedError && m_phase == Phase::Exchanging) {
        m_reader->feed(m_socket->readAll());
        const HttpAnswerReader::State state = m_reader->close();
        if (state == HttpAnswerReader::State::Complete) {
            m_answerReady = true;
            return finishAnswer();
        }
        m_failure.unanswered = !m_reader->begun();
        return fail(QNetworkReply::RemoteHostClosedError, m_reader->error());
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
        m_failure.unanswered = m_phase == Phase::Exchanging && !m_reader->begun();
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
