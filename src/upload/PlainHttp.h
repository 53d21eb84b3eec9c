// One HTTP/1.1 exchange at a time over a plain TCP socket of the calling
// thread, for http addresses reached directly or through an http proxy. The
// connection of an answered exchange stays open for the next one when the
// server allows it; whether to use it is the caller's decision. Nothing is
// ever sent again by this class: an exchange that fails is over.
#pragma once

#include "HttpAnswer.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

class QTcpSocket;

class PlainHttp : public QObject
{
    Q_OBJECT
public:
    using Answer = HttpAnswerReader::Answer;
    struct Failed
    {
        long code = 0; ///< a QNetworkReply::NetworkError value
        QString text;
        bool unanswered = false; ///< the request had begun to go out and no byte of an answer came
    };

    explicit PlainHttp(qint64 maxBodyBytes, QObject* parent = nullptr);
    ~PlainHttp() override;

    /// Starts an exchange: a connection to host:port under key (the one kept
    /// under the same key when reuse is true and it is still alive, else a new
    /// one), then head and body written as they are. Reports finished() once.
    void start(const QString& key, const QString& host, quint16 port, bool viaProxy, bool reuse,
               const QByteArray& head, const QByteArray& body, bool answerHasBody);
    /// Drops the exchange in progress and its connection; nothing is reported.
    void abort();

    bool busy() const { return m_phase != Phase::Idle; }
    /// Every byte of the request has been handed to the socket.
    bool allQueued() const { return m_queued == m_total && m_phase != Phase::Idle; }
    /// Every byte of the request has gone to the system, or the answer has begun.
    bool delivered() const { return m_delivered; }
    /// The exchange opened a connection of its own.
    bool newConnection() const { return m_newConnection; }

    const Answer& answer() const { return m_reader->answer(); }
    /// The connection of the last answer stays open for the next request.
    bool connectionKept() const { return m_kept; }
    const Failed& failure() const { return m_failure; }

signals:
    /// Bytes went out or came in.
    void progressed();
    /// The exchange is over: answer() when answered, else failure().
    void finished(bool answered);

private:
    enum class Phase { Idle, Connecting, Exchanging };

    /// Whether the connection left open under this key is still usable: open,
    /// nothing unread on it and no end of stream pending.
    bool keptAlive(const QString& key) const;

    void onConnected();
    void onBytesWritten();
    void onReadyRead();
    void onSocketError();
    void pump();
    /// What the reader made of the bytes so far.
    void take(HttpAnswerReader::State state);
    /// The answer is whole; it counts once the request has gone out whole as well.
    void answered();
    void finishAnswer();
    void fail(long code, const QString& text);
    void endExchange();
    void dropSocket();

    const qint64 m_maxBody;
    QTcpSocket* m_socket = nullptr;
    QString m_key; // whose connection m_socket is
    QString m_host;
    bool m_viaProxy = false;
    Phase m_phase = Phase::Idle;
    QByteArray m_head;
    QByteArray m_body;
    qint64 m_total = 0;
    qint64 m_queued = 0;
    bool m_delivered = false;
    bool m_newConnection = false;
    bool m_answerReady = false; // whole, and waiting only for the rest of the request to go out
    bool m_kept = false;
    std::optional<HttpAnswerReader> m_reader;
    Failed m_failure;
};
