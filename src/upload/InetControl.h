// The transfer control: one HTTP request at a time (plain http on PlainHttp's
// connection of this thread, https over QNetworkAccessManager), its end
// reported on the UI thread as a state number (12 reply complete, 11 request
// failed), the reply read back in pieces.
#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkProxy>
#include <QObject>
#include <QElapsedTimer>
#include <QPointer>
#include <QHash>
#include <QSslCertificate>
#include <QString>

#include <memory>
#include <optional>

class PlainHttp;
class QNetworkAccessManager;
class QNetworkProxyFactory;
class QNetworkReply;
class QNetworkRequest;
class QSslConfiguration;
class QTimer;
class QUrl;

class InetControl : public QObject
{
    Q_OBJECT
public:
    static constexpr int icResponseCompleted = 12;
    static constexpr int icError = 11;
    static constexpr int AccessDefault = 0;
    static constexpr int AccessNamedProxy = 2;
    /// Replies are kept up to this size; a longer one is cut here and marked truncated.
    static constexpr qint64 MaxReplyBytes = 1024 * 1024;

    explicit InetControl(QObject* parent = nullptr);
    ~InetControl() override;

    /// "host:port" or "http://host:port"; empty for none.
    void setProxy(const QString& proxy);
    QString proxy() const { return m_proxy; }
    /// 2 uses the named proxy, 0 the system's proxy configuration (1: direct, no proxy).
    void setAccessType(int accessType);
    int accessType() const { return m_accessType; }
    /// Credentials for the proxy's CONNECT of https addresses; plain http requests
    /// carry the caller's own Proxy-Authorization header instead.
    void setProxyCredentials(const QString& user, const QString& password);

    /// Time allowed with no progress while the request is sent (60 s by default).
    void setRequestTimeoutMs(int ms) { m_timeoutMs = ms; }
    int requestTimeoutMs() const { return m_timeoutMs; }
    /// Time allowed with no progress once the whole request has been delivered
    /// (15 minutes by default): the page may be filing it, and giving up early
    /// leads to the document being sent again.
    void setReplyTimeoutMs(int ms) { m_replyTimeoutMs = ms; }
    /// Extra certificate authorities to trust besides the system's (tests use this).
    void addCaCertificates(const QList<QSslCertificate>& certificates);

    bool StillExecuting() const;
    /// Abandons the request in progress; no state is reported for it.
    void Cancel();
    /// True once the whole body of the request in progress has been sent or its
    /// answer has begun: the page may have filed it, so cancelling it and sending
    /// it again could file the document twice.
    bool RequestDelivered() const;
    /// Whether the last request, finished or not, had been delivered whole.
    bool LastRequestDelivered() const { return m_delivered; }
    /// Starts the request and returns at once. headerText holds header lines, each
    /// ended by CR LF. Throws Failure when the request cannot be started.
    void Execute(const QString& url, const QString& operation, const QByteArray& body,
                 const QString& headerText);

    /// The next piece of the reply body (at most size bytes); empty once all was read.
    QByteArray GetChunk(int size, int kind = 0);
    /// The HTTP status of the last reply, or the network error code of the last failure.
    long ResponseCode() const { return m_responseCode; }
    /// The status line text of the last reply, or the description of the last failure.
    QString ResponseInfo() const { return m_responseInfo; }
    /// True when the last reply was longer than MaxReplyBytes and was cut.
    bool ReplyTruncated() const { return m_truncated; }

signals:
    void StateChanged(int state);

private:
    void onReadyRead(QNetworkReply* reply);
    void onFinished(QNetworkReply* reply);
    /// Moves what the reply has buffered into m_body; false once the body passed
    /// MaxReplyBytes (m_body then holds exactly MaxReplyBytes).
    bool takeData(QNetworkReply* reply);
    /// The reply is over: records its outcome, lets go of it and reports the state.
    void complete(QNetworkReply* reply, int state);
    void send(QNetworkRequest request, const QByteArray& verb, const QByteArray& body);
    /// The proxy a plain http request goes through (NoProxy: none), or nothing
    /// when the request is left to Qt's network code.
    std::optional<QNetworkProxy> plainRoute(const QUrl& target);
    void onPlainFinished(bool answered);
    /// The outcome of the request in flight, whichever code carried it.
    void answered(int status, const QString& reason, bool keep);
    void failed(long code, const QString& text, bool closedUnanswered);
    /// Drops every tie to a reply and makes sure it is deleted.
    void release(QNetworkReply* reply, bool abort);
    /// Reports the state later, on the event loop, unless the request is cancelled first.
    void postState(int state);
    /// Restarts the no-progress clock of the request in flight.
    void progressed();
    /// Sets the manager's proxy for the next request; throws Failure when the
    /// proxy settings cannot be used.
    void applyProxy(bool tunnelled);

    bool m_busy = false;
    quint64 m_generation = 0;   // raised by every Execute and Cancel
    bool m_tunnelled = false;   // the request in progress goes through CONNECT (https)
    bool m_proxyAuthOffered = false;
    QString m_proxySignature;   // what applyProxy last set, to notice a change

    QNetworkAccessManager* m_nam = nullptr;
    PlainHttp* m_http = nullptr;  // plain http requests, on a connection of this thread
    bool m_plain = false;         // the request in flight goes through m_http
    std::unique_ptr<QNetworkProxyFactory> m_systemProxies;
    QString m_proxyShown;         // "host:port" of the proxy the request in flight goes through
    QPointer<QNetworkReply> m_reply;
    QString m_proxy;
    int m_accessType = AccessDefault;
    QString m_proxyUser;
    QString m_proxyPassword;
    int m_timeoutMs = 60000;
    int m_replyTimeoutMs = 15 * 60000;
    QTimer* m_watchdog = nullptr;
    bool m_timedOut = false;
    /// A kept connection idle longer than this is not used for a body.
    static constexpr qint64 KeepIdleMs = 2000;
    QString m_peer;              // scheme, host, port and proxy of the request in flight
    QString m_keptPeer;          // whose connection was left open by a whole answer
    QElapsedTimer m_idle;        // since that answer
    /// The first reuse of a peer's connection waits until it has been idle as long
    /// as the last request took to be answered, within these bounds.
    static constexpr qint64 MinSettleMs = 50;
    static constexpr qint64 SettleMs = 150;
    QElapsedTimer m_deliveredAt;     // since the whole request in flight went out
    qint64 m_lastTurnaroundMs = SettleMs; // from then to its answer, for the last one answered
    bool m_reusing = false;       // the request in flight may go on a kept connection
    bool m_newConnection = false; // Qt opened a connection for the request in flight
    bool m_nagleOff = false;      // and TCP_NODELAY has been set once it was under way
    enum class PeerHabit { Unknown, Keeps, Closes };
    QHash<QString, PeerHabit> m_peerHabits; // Closes: a new connection for every request
    std::unique_ptr<QSslConfiguration> m_sslConfiguration; // with the extra authorities, if any
    QHash<QString, QByteArray> m_sessionTickets; // the last TLS session each peer handed out
    QByteArray m_body;
    qint64 m_readPos = 0;
    long m_responseCode = 0;
    QString m_responseInfo;
    bool m_truncated = false;
    bool m_delivered = false;
    QPointer<QIODevice> m_bodyDevice;
};
