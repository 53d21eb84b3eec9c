// SPDX-License-Identifier: GPL-3.0-or-later
#include "MiniHttpServer.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

struct MiniHttpServer::Connection
{
    QPointer<QTcpSocket> socket;
    int serial = 0;
    QByteArray buffer;
    bool haveHead = false;
    qint64 contentLength = 0;
    Request current;
    Script script;
    bool stalled = false; // answering slowly or never: later bytes wait
    QByteArray pending;   // what a slow answer still has to write
    QTimer* timer = nullptr;
    QElapsedTimer idle; // since its last answer
    QTimer* idleClose = nullptr;
};

class MiniHttpServer::Listener : public QTcpServer
{
public:
    explicit Listener(MiniHttpServer* owner) : QTcpServer(owner), m_owner(owner) {}

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QTcpSocket* socket = nullptr;
        if (m_owner->m_tls) {
            auto* ssl = new QSslSocket(this);
            if (!ssl->setSocketDescriptor(descriptor)) {
                delete ssl;
                return;
            }
            ssl->setLocalCertificate(m_owner->m_certificate);
            ssl->setPrivateKey(m_owner->m_key);
            ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
            ssl->startServerEncryption();
            socket = ssl;
        } else {
            socket = new QTcpSocket(this);
            if (!socket->setSocketDescriptor(descriptor)) {
                delete socket;
                return;
            }
        }
        m_owner->onConnection(socket);
    }

private:
    MiniHttpServer* m_owner;
};

QByteArray MiniHttpServer::Request::header(const QByteArray& name) const
{
    for (const Header& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

int MiniHttpServer::Request::headerCount(const QByteArray& name) const
{
    int n = 0;
    for (const Header& h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            ++n;
    }
    return n;
}

MiniHttpServer::Script MiniHttpServer::answer(int status, const QByteArray& body, const QByteArray& reason)
{
    Script s;
    s.status = status;
    s.body = body;
    if (!reason.isEmpty())
        s.reason = reason;
    else if (status == 200)
        s.reason = "OK";
    else if (status == 404)
        s.reason = "Not Found";
    else if (status == 407)
        s.reason = "Proxy Authentication Required";
    else if (status == 500)
        s.reason = "Internal Server Error";
    else
        s.reason = "Status";
    return s;
}

MiniHttpServer::Script MiniHttpServer::slow(int status, const QByteArray& body, int byteDelayMs)
{
    Script s = answer(status, body);
    s.behaviour = Behaviour::Slow;
    s.byteDelayMs = byteDelayMs;
    return s;
}

MiniHttpServer::Script MiniHttpServer::never()
{
    Script s;
    s.behaviour = Behaviour::Never;
    return s;
}

MiniHttpServer::Script MiniHttpServer::closeBeforeAnswer()
{
    Script s;
    s.behaviour = Behaviour::CloseBeforeAnswer;
    return s;
}

MiniHttpServer::Script MiniHttpServer::closeAfterBody()
{
    Script s;
    s.behaviour = Behaviour::CloseAfterBody;
    return s;
}

MiniHttpServer::Script MiniHttpServer::large(qint64 size, int status)
{
    QByteArray body(size, 'x');
    for (qint64 i = 0; i < size; i += 1000)
        body[i] = static_cast<char>('A' + (i / 1000) % 26); // a pattern, so a cut shows where
    return answer(status, body);
}

MiniHttpServer::MiniHttpServer(QObject* parent) : QObject(parent), m_listener(new Listener(this)) {}

MiniHttpServer::~MiniHttpServer()
{
    for (Connection* c : m_connections) {
        if (c->socket)
            c->socket->abort();
        delete c;
    }
}

void MiniHttpServer::setTls(const QSslKey& key, const QSslCertificate& certificate)
{
    m_tls = true;
    m_key = key;
    m_certificate = certificate;
}

bool MiniHttpServer::listen()
{
    return m_listener->listen(QHostAddress::LocalHost, 0);
}

quint16 MiniHttpServer::port() const
{
    return m_listener->serverPort();
}

QString MiniHttpServer::url(const QString& path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(port())
        .arg(path);
}

void MiniHttpServer::setDefault(const Script& script)
{
    m_default = script;
}

void MiniHttpServer::enqueue(const Script& script)
{
    m_queue.append(script);
}

void MiniHttpServer::setKeepAlive(int idleMs, IdleEnd end)
{
    m_idleMs = idleMs;
    m_idleEnd = end;
}

int MiniHttpServer::openConnections() const
{
    int open = 0;
    for (const Connection* c : m_connections)
        open += c->socket && c->socket->state() == QAbstractSocket::ConnectedState;
    return open;
}

bool MiniHttpServer::waitForRequests(int n, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_requests.size() >= n; }, timeoutMs);
}

void MiniHttpServer::onConnection(QTcpSocket* socket)
{
    auto* c = new Connection;
    c->socket = socket;
    c->serial = ++m_connectionCount;
    m_connections.append(c);
    connect(socket, &QIODevice::readyRead, this, [this, c] { onReadable(c); });
}

void MiniHttpServer::onReadable(Connection* c)
{
    if (!c->socket)
        return;
    if (c->idleClose)
        c->idleClose->stop();
    if (m_idleMs >= 0 && m_idleEnd == IdleEnd::Crossed && c->buffer.isEmpty() && !c->haveHead &&
        c->idle.isValid() && c->idle.elapsed() >= m_idleMs) {
        // Its keep-alive time ran out as the request came: it is not read.
        c->socket->abort();
        c->socket->deleteLater();
        return;
    }
    c->buffer += c->socket->readAll();
    process(c);
}

void MiniHttpServer::process(Connection* c)
{
    while (!c->stalled && c->socket) {
        if (!c->haveHead) {
            const qsizetype end = c->buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> lines = c->buffer.left(end).split('\n');
            c->buffer.remove(0, end + 4);
            c->current = Request();
            c->current.connection = c->serial;
            const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
            c->current.method = requestLine.value(0);
            c->current.target = requestLine.value(1);
            c->current.version = requestLine.value(2);
            c->contentLength = 0;
            for (qsizetype i = 1; i < lines.size(); ++i) {
                QByteArray line = lines.at(i);
                if (line.endsWith('\r'))
                    line.chop(1);
                const qsizetype colon = line.indexOf(':');
                if (colon <= 0)
                    continue;
                const Header h{line.left(colon), line.mid(colon + 1).trimmed()};
                c->current.headers.append(h);
                if (h.first.compare("Content-Length", Qt::CaseInsensitive) == 0)
                    c->contentLength = h.second.toLongLong();
            }
            c->haveHead = true;
            c->script = m_queue.isEmpty() ? m_default : m_queue.takeFirst();
            if (c->script.behaviour == Behaviour::CloseBeforeAnswer) {
                c->current.body = c->buffer;
                m_requests.append(c->current);
                emit requestReceived();
                c->socket->abort();
                c->socket->deleteLater();
                return;
            }
        }
        if (c->buffer.size() < c->contentLength)
            return;
        c->current.body = c->buffer.left(c->contentLength);
        c->buffer.remove(0, c->contentLength);
        c->haveHead = false;
        m_requests.append(c->current);
        emit requestReceived();
        respond(c, c->script);
    }
}

void MiniHttpServer::respond(Connection* c, const Script& script)
{
    switch (script.behaviour) {
    case Behaviour::Never:
        c->stalled = true;
        return;
    case Behaviour::CloseBeforeAnswer:
    case Behaviour::CloseAfterBody:
        c->stalled = true;
        c->socket->disconnectFromHost();
        return;
    case Behaviour::Answer:
    case Behaviour::Slow:
        break;
    }
    QByteArray out = "HTTP/1.1 " + QByteArray::number(script.status) + ' ' + script.reason + "\r\n";
    const qint64 length = script.declaredLength >= 0 ? script.declaredLength : script.body.size();
    out += "Content-Length: " + QByteArray::number(length) + "\r\n";
    for (const Header& h : script.headers)
        out += h.first + ": " + h.second + "\r\n";
    if (script.closeAfter)
        out += "Connection: close\r\n";
    out += "\r\n";
    if (script.behaviour == Behaviour::Slow) {
        c->socket->write(out);
        c->stalled = true;
        c->pending = script.body;
        if (!c->timer) {
            c->timer = new QTimer(c->socket);
            connect(c->timer, &QTimer::timeout, this, [this, c] { writeSlowly(c); });
        }
        c->timer->start(script.byteDelayMs);
        return;
    }
    c->socket->write(out + script.body);
    c->idle.start();
    if (m_idleMs >= 0 && m_idleEnd == IdleEnd::Close && !script.closeAfter && script.silentCloseAfterMs < 0) {
        if (!c->idleClose) {
            c->idleClose = new QTimer(c->socket);
            c->idleClose->setSingleShot(true);
            connect(c->idleClose, &QTimer::timeout, c->socket, [socket = c->socket] {
                if (socket)
                    socket->disconnectFromHost();
            });
        }
        c->idleClose->start(m_idleMs);
    }
    if (script.closeAfter) {
        c->stalled = true;
        c->socket->disconnectFromHost();
    } else if (script.silentCloseAfterMs >= 0) {
        c->stalled = true;
        QTimer::singleShot(script.silentCloseAfterMs, c->socket,
                           [socket = c->socket] { socket->disconnectFromHost(); });
    }
}

void MiniHttpServer::writeSlowly(Connection* c)
{
    if (!c->socket)
        return;
    if (!c->pending.isEmpty()) {
        c->socket->write(c->pending.left(1));
        c->pending.remove(0, 1);
        return;
    }
    c->timer->stop();
    c->stalled = false;
    if (c->script.closeAfter) {
        c->stalled = true;
        c->socket->disconnectFromHost();
        return;
    }
    process(c); // a request that came meanwhile
}
