// SPDX-License-Identifier: GPL-3.0-or-later
// The transfer control: one HTTP request at a time over libcurl on the calling
// (UI) thread, its end reported as a state number (12 reply complete, 11
// request failed), the reply read back in pieces. It puts together the pieces
// that each do one job: the request (HttpRequest), the route (ProxyRoute), the
// reuse of a kept connection (ReusePolicy) and the carrier (CurlCarrier).
#pragma once

#include "ProxyRoute.h"
#include "ReusePolicy.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <memory>

class BodySource;
class CurlCarrier;
struct CurlExchange;
class QTemporaryFile;
class QTimer;

class InetControl : public QObject
{
    Q_OBJECT
public:
    static constexpr int icResponseCompleted = 12;
    static constexpr int icError = 11;
    /// Replies are kept up to this size; a longer one is cut here and marked truncated.
    static constexpr qint64 MaxReplyBytes = 1024 * 1024;

    explicit InetControl(QObject* parent = nullptr);
    ~InetControl() override;

    /// "host:port" or "http://host:port"; empty for none.
    void setProxy(const QString& proxy);
    QString proxy() const { return m_proxy; }
    void setAccessType(ProxyRoute::Access access);
    /// The credentials where ProxyRoute::credentialsGo puts them on the CONNECT;
    /// where it puts them in the request, the caller's header text carries them.
    void setProxyCredentials(const QString& user, const QString& password);

    /// Time allowed with no progress while the request is sent (60 s by default).
    void setRequestTimeoutMs(int ms) { m_timeoutMs = ms; }
    /// Time allowed for the answer from the moment the whole request has gone out
    /// (15 minutes by default), however it trickles in: the page may be filing
    /// it, and giving up early leads to the document being sent again.
    void setReplyTimeoutMs(int ms) { m_replyTimeoutMs = ms; }
    /// Extra certificate authorities to trust besides the system's (tests and
    /// benchmarks use this). Throws Failure when they cannot be stored.
    void addCaCertificates(const QList<QSslCertificate>& certificates);

    bool StillExecuting() const;
    /// Abandons the request in progress; no state is reported for it.
    void Cancel();
    /// True once the whole body of the request in progress has been handed on to
    /// go out: the page may get it and file it, so cancelling it and sending it
    /// again could file the document twice.
    bool RequestDelivered() const;
    /// Whether the last request, finished or not, had been delivered whole.
    bool LastRequestDelivered() const { return m_delivered; }
    /// Starts the request and returns at once. headerText holds header lines, each
    /// ended by CR LF. Throws Failure when the request cannot be started.
    void Execute(const QString& url, const QString& operation, const QByteArray& body,
                 const QString& headerText);
    /// The same, with the body read from source as it goes out.
    void Execute(const QString& url, const QString& operation, std::shared_ptr<BodySource> source,
                 const QString& headerText);

    /// The next piece of the reply body (at most size bytes); empty once all was read.
    QByteArray GetChunk(int size, int kind = 0);
    /// The HTTP status of the last reply, or the network error code of the last failure.
    long ResponseCode() const { return m_responseCode; }
    /// The status line text of the last reply, or the description of the last failure.
    QString ResponseInfo() const { return m_responseInfo; }
    /// True when the last reply was longer than MaxReplyBytes and was cut.
    bool ReplyTruncated() const { return m_truncated; }
    /// Where the last reply's Location header points (a redirect, not followed); empty if none.
    QString ReplyLocation() const { return m_location; }
    /// The last reply was the proxy's own (its refusal of the credentials), not the page's.
    bool ReplyFromProxy() const { return m_fromProxy; }
    /// "host:port" of the proxy the last request went through; empty when none.
    QString ProxyUsed() const { return m_request.proxyShown; }
    /// The status and its text ("200 OK") when the last request failed because
    /// the page answered before it had the whole body; empty otherwise (an
    /// early refusal is an answer like any other).
    QString EarlyAnswer() const { return m_earlyAnswer; }

signals:
    void StateChanged(int state);
    /// The request is going out: bytes of its body handed to the connection so far.
    void sendProgress(qint64 sent, qint64 total);
    /// The page sent more on a kept connection than it was asked for: the last
    /// count answers handed on may have belonged to other requests.
    void answersInDoubt(int count);

private:
    void start(const QString& url, const QString& operation, const QByteArray& body,
               std::shared_ptr<BodySource> source, const QString& headerText);
    void launch(quint64 generation);
    void onProgressed();
    void onFinished();
    void onStirred(bool reset, const QByteArray& head);
    /// Judges the exchange that ended, once what came behind its answer is known.
    void conclude(quint64 generation);
    /// Sends the request once more on a new connection: nothing of it went out.
    void again();
    /// Hands the exchange to the carrier, the connection kept before forgotten.
    void startExchange(const CurlExchange& exchange);
    void failed(long code, const QString& text);
    void doubtAnswers();
    void learn(const QString& peer, ReusePolicy::Lesson lesson);
    ReusePolicy::Habit habitOf(const QString& peer) const;
    /// Reports the state later, on the event loop, unless the request is cancelled first.
    void postState(int state);
    /// Reports it now: the control is idle when the handler runs, so it can start the next.
    void deliver(int state);
    /// Restarts the clock of the request in flight: no progress while it is sent,
    /// a deadline from delivery once it has gone out whole.
    void armWatchdog();
    void forgetKept();

    CurlCarrier* m_carrier = nullptr;
    bool m_busy = false;
    bool m_answerInHand = false; // the exchange has ended and is not judged yet
    quint64 m_generation = 0;    // raised by every Execute and Cancel
    QString m_proxy;
    ProxyRoute::Access m_access = ProxyRoute::Access::SystemProxy;
    QString m_proxyUser;
    QString m_proxyPassword;
    int m_timeoutMs = 60000;
    int m_replyTimeoutMs = 15 * 60000;
    QTimer* m_watchdog = nullptr;
    bool m_timedOut = false;
    std::unique_ptr<QTemporaryFile>
        m_caFile; // the system's authorities and the extra ones, if any were added

    // What is known of the request under way; the pass's document in flight is the driver's.
    struct RequestFacts
    {
        QString peer;             // scheme, host, port and route
        QString proxyShown;       // "host:port" of the proxy it goes through, if any
        bool reuse = false;       // allowed the kept connection
        bool multiplexed = false; // which was HTTP/2
        qint64 idleMs = 0;        // how long that connection had idled then
        bool onKept = false;      // answered on a connection an earlier answer left open
        bool retried = false;
        qint64 bodySize = 0;
        qint64 sentSeen = 0; // what the sending time-out last saw go out
        QElapsedTimer deliveredAt;
        // What came on the connection behind the answer before it was handed on.
        bool bytesBehind = false;
        bool closeBehind = false;
        bool resetBehind = false;
    };
    RequestFacts m_request;
    struct CurlExchangeHolder;
    std::unique_ptr<CurlExchangeHolder> m_pending; // waiting out the settle time

    // The connection the last answer left open, and what peers have shown.
    ReusePolicy::Kept m_kept;
    QElapsedTimer m_idle;
    struct Peer
    {
        ReusePolicy::Habit habit = ReusePolicy::Habit::Unknown;
        QElapsedTimer learnt;   // when the habit was last learnt
        qint64 saidIdleMs = 0;  // its Keep-Alive header's timeout; 0: none given
        qint64 shownIdleMs = 0; // the idle time after which it last let a connection go
    };
    QHash<QString, Peer> m_peers;
    int m_answersOnKept = 0; // handed on since the connection's first answer

    QByteArray m_body;
    qint64 m_readPos = 0;
    long m_responseCode = 0;
    QString m_responseInfo;
    QString m_location;
    QString m_earlyAnswer;
    bool m_truncated = false;
    bool m_fromProxy = false;
    bool m_delivered = false;
};
