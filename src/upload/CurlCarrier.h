// One HTTP exchange at a time over libcurl's multi interface, driven by the
// event loop of the calling thread (socket notifiers and a timer, no thread of
// its own). Connections, CONNECT tunnels and TLS sessions are kept across
// exchanges; whether one may be used again is the caller's decision.
#pragma once

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
    /// A file of the certificate authorities to trust; empty: the system's. A file,
    /// not the certificates themselves: libcurl compares them with every kept
    /// connection's before it uses it again.
    QByteArray caFile;
    bool freshConnection = false; ///< do not use a kept connection
};

struct CurlOutcome
{
    bool answered = false; ///< a whole answer of the page (or, for plain http, of the proxy)
    int status = 0;
    QByteArray reason;
    QByteArray location;
    QByteArray body;
    bool truncated = false;      ///< the answer was longer than the limit; body holds the limit
    bool delivered = false;      ///< every byte of the body went out
    bool newConnection = false;  ///< the exchange opened a connection
    int keptSocket = -1;         ///< the connection left open for the next exchange, or -1
    bool closeAnnounced = false; ///< the answer said that its connection ends with it
    long code = 0;               ///< a failure as a QNetworkReply::NetworkError number
    QString text;                ///< its description
    bool refusedResend = false;  ///< the connection died under the request and it was not sent again
};

class CurlCarrier : public QObject
{
    Q_OBJECT
public:
    explicit CurlCarrier(qint64 maxAnswerBytes, QObject* parent = nullptr);
    ~CurlCarrier() override;

    /// Starts an exchange; finished() follows once, unless abort() comes first.
    /// Throws Failure when libcurl refuses the request.
    void start(const CurlExchange& exchange);
    /// Drops the exchange in progress with its connection; nothing is reported.
    void abort();
    bool busy() const { return m_easy != nullptr; }
    /// Every byte of the body has been handed to libcurl: the page may get it all.
    bool handedAll() const { return busy() && m_handed >= m_exchange.body.size(); }
    /// Every byte of the body has gone to the system.
    bool sentAll() const { return busy() && m_sent >= m_exchange.body.size(); }
    /// Bytes of the request libcurl reports sent so far.
    qint64 sent() const { return m_sent; }
    const CurlOutcome& outcome() const { return m_outcome; }

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
    CurlOutcome m_outcome;
    qint64 m_handed = 0;
    qint64 m_sent = 0;
    qint64 m_received = 0;
    bool m_moved = false;
    bool m_resendRefused = false;
    QByteArray m_length; // the answer's Content-Length, as given
    QString m_malformed; // why the answer was refused while being read
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
