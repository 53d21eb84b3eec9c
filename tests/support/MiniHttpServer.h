// SPDX-License-Identifier: GPL-3.0-or-later
// A small HTTP/1.1 server on 127.0.0.1 for the transfer tests: it reads each
// request whole (up to its Content-Length), records it, and answers as the test
// scripted it. Optionally TLS, with a key and certificate the test made.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

class QTcpSocket;

class MiniHttpServer : public QObject
{
    Q_OBJECT
public:
    using Header = QPair<QByteArray, QByteArray>;

    struct Request
    {
        QByteArray method;
        QByteArray target; // as on the request line: a path, an absolute URI (proxy) or host:port (CONNECT)
        QByteArray version;
        QList<Header> headers; // in order, duplicates kept
        QByteArray body;
        int connection = 0; // serial number of the connection it came on

        /// The value of the first header of that name (case-insensitive), or a null array.
        QByteArray header(const QByteArray& name) const;
        int headerCount(const QByteArray& name) const;
    };

    enum class Behaviour {
        Answer,            // status line, headers and body at once
        Slow,              // status line and headers at once, then the body one byte at a time with a delay
        Never,             // read the request, never answer, keep the connection open
        CloseBeforeAnswer, // close as soon as the request's header is in, body unread
        CloseAfterBody,    // read the whole request, then close without a word
    };

    struct Script
    {
        Behaviour behaviour = Behaviour::Answer;
        int status = 200;
        QByteArray reason = "OK";
        QByteArray body;
        QList<Header> headers; // extra answer headers
        int byteDelayMs = 0;   // Slow only
        bool closeAfter = false;
        int silentCloseAfterMs = -1; // close this long after the answer, without a "Connection: close"
        qint64 declaredLength = -1;  // Content-Length to announce; -1: the body's size
    };

    static Script answer(int status, const QByteArray& body, const QByteArray& reason = {});
    static Script slow(int status, const QByteArray& body, int byteDelayMs);
    static Script never();
    static Script closeBeforeAnswer();
    static Script closeAfterBody();
    static Script large(qint64 size, int status = 200);

    explicit MiniHttpServer(QObject* parent = nullptr);
    ~MiniHttpServer() override;

    /// Serve TLS with this key and certificate (call before listen()).
    void setTls(const QSslKey& key, const QSslCertificate& certificate);
    /// Listens on 127.0.0.1 at a free port.
    bool listen();
    quint16 port() const;
    /// http(s)://127.0.0.1:port followed by path.
    QString url(const QString& path = QStringLiteral("/")) const;

    /// The answer for every request with no queued script.
    void setDefault(const Script& script);
    /// Used once, by the next request, before the default.
    void enqueue(const Script& script);
    /// How a kept connection ends once it has idled idleMs after its answer, as a
    /// stock server's keep-alive time: closed then, or (Crossed) left open with
    /// the next request dropped unread, as when the close crosses the request.
    enum class IdleEnd { Close, Crossed };
    void setKeepAlive(int idleMs, IdleEnd end = IdleEnd::Close);

    QList<Request> requests() const { return m_requests; }
    int connectionCount() const { return m_connectionCount; }
    /// Connections that neither side has closed yet.
    int openConnections() const;
    /// Waits, running events, until at least n requests have come in.
    bool waitForRequests(int n, int timeoutMs = 10000);

signals:
    void requestReceived();

private:
    struct Connection;
    class Listener;

    void onConnection(QTcpSocket* socket);
    void onReadable(Connection* c);
    void process(Connection* c);
    void respond(Connection* c, const Script& script);
    void writeSlowly(Connection* c);

    Listener* m_listener = nullptr;
    bool m_tls = false;
    QSslKey m_key;
    QSslCertificate m_certificate;
    Script m_default;
    QList<Script> m_queue;
    QList<Request> m_requests;
    QList<Connection*> m_connections;
    int m_connectionCount = 0;
    int m_idleMs = -1;
    IdleEnd m_idleEnd = IdleEnd::Close;
};
