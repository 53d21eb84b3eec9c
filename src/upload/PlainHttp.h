// One HTTP/1.1 exchange at a time over a plain TCP socket of the calling
// thread, for http addresses reached directly or through an http proxy. The
// connection of an answered exchange stays open for the next one when the
// server allows it; whether to use it is the caller's decision. Nothing is
// ever sent again by this class: an exchange that fails is over.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

class PlainHttp : public QObject
{
    Q_OBJECT
public:
    struct Answer
    {
        int status = 0;
        QByteArray reason;
        QByteArray body;
        bool truncated = false; ///< the body was longer than the limit and is cut there
        bool keep = false;      ///< the connection may carry another request
    };
    struct Failed
    {
        long code = 0;          ///< a QNetworkReply::NetworkError value
        QString text;
        bool unanswered = false; ///< the request had begun to go out and no byte of an answer came
    };

    explicit PlainHttp(qint64 maxBodyBytes, QObject* parent = nullptr);
    ~PlainHttp() override;

    /// Whether the connection left open under this key is still usable: open,
    /// nothing unread on it and no end of stream pending.
    bool keptAlive(const QString& key) const;

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

    const Answer& answer() const { return m_answer; }
    const Failed& failure() const { return m_failure; }

signals:
    /// Bytes went out or came in.
    void progressed();
    /// The exchange is over: answer() when answered, else failure().
    void finished(bool answered);

private:
    enum class Phase { Idle, Connecting, Exchanging };
    enum class Reading { StatusLine, Headers, Fixed, ChunkSize, ChunkData, ChunkEnd, Trailers, UntilClose };

    void onConnected();
    void onBytesWritten();
    void onReadyRead();
    void onSocketError();
    void pump();
    /// Parses what has come in; returns once more input is needed or the exchange ended.
    void parse();
    bool takeLine(QByteArray& line);
    bool startBody();
    void appendBody(const char* data, qint64 size);
    void answered();
    void finishAnswer();
    void fail(long code, const QString& text);
    void endExchange();
    void dropSocket();

    const qint64 m_maxBody;
    QTcpSocket* m_socket = nullptr;
    QString m_key;            // whose connection m_socket is
    QString m_host;
    bool m_viaProxy = false;
    Phase m_phase = Phase::Idle;
    QByteArray m_head;
    QByteArray m_body;
    qint64 m_total = 0;
    qint64 m_queued = 0;
    bool m_delivered = false;
    bool m_newConnection = false;
    bool m_answerHasBody = true;

    Reading m_reading = Reading::StatusLine;
    QByteArray m_in;          // bytes come in and not parsed yet
    qint64 m_headBytes = 0;   // of the status line and headers so far
    qint64 m_left = 0;        // of the fixed body or the current chunk
    bool m_gotAnswerByte = false;
    bool m_answerReady = false; // whole, and waiting only for the rest of the request to go out
    bool m_http11 = false;
    bool m_closeAsked = false;
    QByteArray m_transferEncoding;
    QByteArray m_contentLength;
    bool m_lengthConflict = false;
    Answer m_answer;
    Failed m_failure;
};
