// SPDX-License-Identifier: GPL-3.0-or-later
// One HTTP exchange at a time over libcurl's multi interface, driven by the
// event loop of the calling thread (socket notifiers and a timer, no thread of
// its own). Connections, CONNECT tunnels and TLS sessions are kept across
// exchanges; whether one may be used again is the caller's decision.
#pragma once

#include "BodySource.h"
#include "ExchangeJudge.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;
class QTimer;

struct CurlExchange
{
    QByteArray url; ///< fully encoded; credentials in it answer the page's Basic challenge
    QByteArray verb;
    QList<QByteArray> headers;      ///< "Name: value" lines to the page
    QList<QByteArray> proxyHeaders; ///< to the proxy alone, on a CONNECT
    QByteArray proxy;               ///< "http://host:port"; empty: none
    QByteArray body;
    /// Where the body comes from instead, when it is not held in memory (body is then empty).
    std::shared_ptr<BodySource> source;
    /// A file of the certificate authorities to trust; empty: the system's. A file,
    /// not the certificates themselves: libcurl compares them with every kept
    /// connection's before it uses it again.
    QByteArray caFile;
    bool freshConnection = false; ///< do not use a kept connection
    /// A kept connection idle longer than this many whole seconds is not offered
    /// to the request but closed; -1: the library's own limit.
    long maxIdleSecs = -1;

    qint64 bodySize() const { return source ? source->size() : body.size(); }
};

class CurlCarrier : public QObject
{
    Q_OBJECT
public:
    explicit CurlCarrier(qint64 maxAnswerBytes, QObject* parent = nullptr);
    ~CurlCarrier() override;

    /// Whether start() got the exchange under way; libcurl's refusal in words when not.
    struct Start
    {
        bool started = true;
        QString description;
    };
    /// Starts an exchange; finished() follows once, unless abort() comes first.
    [[nodiscard]] Start start(const CurlExchange& exchange);
    /// Drops the exchange in progress with its connection; nothing is reported.
    void abort();
    bool busy() const { return m_easy != nullptr; }
    /// Every byte of the body has been handed to libcurl: the page may get it all.
    bool handedAll() const { return busy() && m_handed >= m_exchange.bodySize(); }
    /// Every byte of the body has gone to the system.
    bool sentAll() const { return busy() && m_sent >= m_exchange.bodySize(); }
    /// Bytes of the request libcurl reports sent so far.
    qint64 sent() const { return m_sent; }
    /// What the last exchange came to, as the carrier saw it.
    const ExchangeFacts& outcome() const { return m_outcome; }
    /// The last exchange started, to start again.
    const CurlExchange& exchange() const { return m_exchange; }

    /// Watches the connection the last answer left open until the next start():
    /// any byte or end of stream on it (already there, or coming) reports stirred().
    void watchKept(int socket);
    void stopWatching();

signals:
    /// Bytes went out or came in.
    void progressed();
    void finished();
    /// reset: the peer reset the connection, which it does when it closes with
    /// bytes of ours unread; head: the first bytes it sent, if any (left unread).
    void stirred(bool reset, const QByteArray& head);

private:
    struct Handles;
    friend struct CurlCallbacks;
    void drive(int socket, int events);
    void onKeptActivity(int socket);
    void collect();
    void finish(int result);
    void release();

    const qint64 m_maxAnswer;
    std::unique_ptr<Handles> m_handles;
    void* m_easy = nullptr;
    CurlExchange m_exchange;
    ExchangeFacts m_outcome;
    bool m_truncated = false;
    qint64 m_headerBytes = 0;
    qint64 m_handed = 0;
    qint64 m_sent = 0;
    qint64 m_sentMost = 0; // over every connection libcurl tried
    qint64 m_received = 0;
    bool m_moved = false;
    bool m_resendRefused = false;
    bool m_sourceStopped = false;
    bool m_answeredEarly = false; // the answer is whole while the body is still going
    QByteArray m_length;          // the answer's Content-Length, as given
    QString m_malformed;          // why the answer was refused while being read
    char m_error[256] = {};
    QTimer* m_timer = nullptr;
    struct Notifiers
    {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
    };
    QHash<int, Notifiers> m_sockets;
    QHash<int, QSocketNotifier*> m_keptWatches; // by socket number, switched off when unused
    QSocketNotifier* m_keptWatch = nullptr;     // the one switched on, if any
};
