// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the tests of the upload that use sockets share: scripted servers and a
// request run to its end.

#include "Base64.h"
#include "InetControl.h"

#include <QByteArray>
#include <QList>
#include <QSignalSpy>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtGlobal>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

inline const QString multipartType =
    QStringLiteral("Content-Type: multipart/form-data; boundary=---------------------------7d023a2ea28\r\n");

// What the upload sends in front of its body for proxied plain http.
inline QString proxyLine(const QByteArray& credentials)
{
    return QStringLiteral("Proxy-Authorization: Basic ") +
           QString::fromLatin1(Base64::padded(Base64::base64_encode(credentials))) + QStringLiteral("\r\n");
}

// A port nothing listens on: bound once, then released.
inline quint16 refusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline QByteArray readAllChunks(InetControl& inet)
{
    QByteArray all;
    for (;;) {
        const QByteArray piece = inet.GetChunk(1024, 0);
        if (piece.isEmpty())
            return all;
        if (piece.size() > 1024)
            return "piece too long";
        all += piece;
    }
}

// Answers every request with the same scripted bytes (the first with answer, the
// later ones with nextAnswer when set), once it has read the request whole or,
// when early, its headers only; counts what came in.
class RawServer : public QObject
{
public:
    enum class AfterEarly { KeepReading, Close, Reset, HalfClose };
    QByteArray answer;
    QByteArray nextAnswer;
    bool early = false;
    AfterEarly afterEarly = AfterEarly::KeepReading;
    bool closeAfter = false;
    QByteArray later; // written laterMs after each answer, unasked; when laterMs < 0,
    int laterMs = 0;  // in front of the connection's next answer; when -2, once the
                      // connection has been idle a second
    int connections = 0;
    int requests = 0;        // read whole
    QList<QByteArray> filed; // the first bytes of each body read whole and answered with a 200

    bool listen()
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                ++connections;
                auto* in = new QByteArray;
                auto* answeredEarly = new bool(false);
                connect(socket, &QObject::destroyed, this, [in, answeredEarly] {
                    delete in;
                    delete answeredEarly;
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                auto* idle = new QTimer(socket);
                idle->setSingleShot(true);
                connect(idle, &QTimer::timeout, socket, [this, socket] { socket->write(later); });
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, in, answeredEarly, idle] {
                    idle->stop();
                    *in += socket->readAll();
                    for (;;) {
                        const qsizetype end = in->indexOf("\r\n\r\n");
                        if (end < 0)
                            return;
                        const QByteArray reply = requests == 0 || nextAnswer.isEmpty() ? answer : nextAnswer;
                        if (early && !*answeredEarly) {
                            socket->write(reply);
                            *answeredEarly = true;
                            if (hangUpEarly(socket))
                                return;
                        }
                        const QByteArray head = in->left(end + 2).toLower();
                        const qsizetype at = head.indexOf("content-length: ");
                        const qsizetype length =
                            at < 0 ? 0 : head.mid(at + 16).split('\r').first().toLongLong();
                        if (in->size() < end + 4 + length)
                            return;
                        if (reply.startsWith("HTTP/1.1 200"))
                            filed.append(in->mid(end + 4, 6));
                        in->remove(0, end + 4 + length);
                        ++requests;
                        if (!*answeredEarly) {
                            if (laterMs < 0 && socket->property("owed").toBool())
                                socket->write(later);
                            socket->write(reply);
                        }
                        *answeredEarly = false;
                        if (!later.isEmpty() && laterMs == -2)
                            idle->start(1000);
                        else if (!later.isEmpty() && laterMs < 0)
                            socket->setProperty("owed", true);
                        else if (!later.isEmpty())
                            QTimer::singleShot(laterMs, socket, [socket, this] { socket->write(later); });
                        if (closeAfter)
                            socket->disconnectFromHost();
                    }
                });
            }
        });
        return m_server.listen(QHostAddress::LocalHost, 0);
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/page").arg(m_server.serverPort()); }

private:
    // True when the connection is no longer read.
    bool hangUpEarly(QTcpSocket* socket)
    {
        socket->flush();
        const int fd = int(socket->socketDescriptor());
        switch (afterEarly) {
        case AfterEarly::KeepReading:
            return false;
        case AfterEarly::Close:
            socket->disconnectFromHost();
            break;
        case AfterEarly::Reset: {
            const linger hard{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            socket->abort();
            break;
        }
        case AfterEarly::HalfClose:
            ::shutdown(fd, SHUT_WR);
            socket->setReadBufferSize(1); // and reads nothing more
            disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
            break;
        }
        return true;
    }

    QTcpServer m_server;
};

// Runs one request to its end; returns the state reported (0: none in time).
inline int run(InetControl& inet, const QString& url, const QByteArray& body = "x=1",
               const QString& headers = multipartType, int timeoutMs = 15000)
{
    QSignalSpy spy(&inet, &InetControl::StateChanged);
    inet.Execute(url, QStringLiteral("POST"), body, headers);
    if (!spy.wait(timeoutMs))
        return 0;
    return spy.first().first().toInt();
}

// The tests decide about proxies themselves.
inline void clearProxyEnvironment()
{
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"})
        qunsetenv(name);
}
