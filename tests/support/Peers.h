// SPDX-License-Identifier: GPL-3.0-or-later
// The real peers the transfer tests talk to: the receiving page (tests/peers/receiver.py, on
// Werkzeug) and an authenticating proxy (tinyproxy), each a child process on 127.0.0.1 that
// lives exactly as long as its object, plus raw-socket helpers to speak HTTP byte for byte.
//
//   TestSupport::ReceiverPeer receiver;
//   QVERIFY2(receiver.start(tmp.path() + "/inbox"), qPrintable(receiver.errorString()));
//   ... post to receiver.url("/district/saveTAVscan.asp") ...
//   const auto got = receiver.records();      // one per request, in arrival order
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <optional>

class QProcess;
class QTemporaryDir;

namespace TestSupport {

/// How the receiving page answers. Build one with the factories.
struct ReceiverMode
{
    QString name = QStringLiteral("ok");
    std::optional<QByteArray> body; ///< exact reply bytes (reply, status, slow)
    std::optional<int> status;      ///< HTTP status (reply: 200, status/big: 500)
    qint64 size = -1;               ///< big: page size in bytes
    int intervalMs = -1;            ///< slow: delay between bytes
    int delayMs = 0;                ///< time before the first byte of the answer
    int count = 0;                  ///< > 0: only for the next `count` requests, then "ok"
    QString contentType;            ///< reply Content-Type; empty: the mode's own
    QStringList refuse;             ///< part file names ("\\a.pdf") answered 413 in any mode

    /// Files the part and answers exactly "OK" (text/plain, two bytes).
    static ReceiverMode ok();
    /// Answers exactly `text` (any bytes: "ok", "OK ", "OK\r\n", "") with `status`; files nothing,
    /// unless `text` is "OK".
    static ReceiverMode reply(const QByteArray& text, int status = 200);
    /// An error status with `body`, or a small HTML error page when `body` is empty.
    static ReceiverMode httpStatus(int status, const QByteArray& body = {});
    /// An HTML error page of exactly `bytes` bytes.
    static ReceiverMode bigPage(qint64 bytes, int status = 500);
    /// Closes the connection once the request's headers are read, before the body.
    static ReceiverMode closeAfterHeaders();
    /// Reads the whole body, then closes the connection without a byte of answer.
    static ReceiverMode closeAfterBody();
    /// Reads the whole body and never answers, until the client closes the connection.
    /// Other requests are served meanwhile.
    static ReceiverMode hang();
    /// Answers `text` one byte every `intervalMs`, each byte flushed (with Content-Length).
    static ReceiverMode slow(const QByteArray& text = "OK", int intervalMs = 100);

    /// Files the part and answers "OK" only `delayMs` after the request was read.
    static ReceiverMode late(int delayMs);

    /// Applies this mode to the next `n` requests only.
    ReceiverMode times(int n) const;
    QJsonObject toJson() const;
};

struct ReceiverOptions
{
    QString path;                  ///< the only URL path that takes uploads; empty: any path
    bool captureRawBodies = false; ///< keep each request body exactly as it came
    ReceiverMode mode;             ///< mode at start
    QString python;                ///< interpreter; empty: QUILLFEED_PYTHON (/usr/bin/python3)
    QStringList environment;       ///< extra NAME=value entries for the receiver's environment
    QString tlsCertificate;        ///< PEM certificate file: serve https (with tlsKey)
    QString tlsKey;                ///< PEM private key file of tlsCertificate
};

/// One request as the receiving page saw it (one line of its log).
struct ReceivedUpload
{
    int seq = 0; ///< 1, 2, ... in arrival order
    QString method;
    QString path;                              ///< request target as sent
    QString mode;                              ///< mode that answered it
    QString requestContentType;                ///< the request's Content-Type header, raw
    std::optional<QString> proxyAuthorization; ///< Proxy-Authorization as it reached the page
    QString via;                               ///< Via header (set when it came through tinyproxy)
    qint64 bodySize = -1;                      ///< -1: the body was never read (close-headers)
    QByteArray bodySha256;                     ///< hex
    QString rawBodyPath;                       ///< with captureRawBodies
    bool hasFile = false;                      ///< Werkzeug found a part named "file"
    QString filename;                          ///< the part's file name as received ("\2024\a.pdf")
    QString partContentType;
    QString partDisposition; ///< the part's Content-Disposition line, raw
    qint64 size = -1;        ///< part content size
    QByteArray sha256;       ///< hex of the part content
    QString storedPath;      ///< absolute path in the inbox; empty: not filed
    QString error;           ///< why it was not filed ("no part named file", ...)
    QString delivery;        ///< "answer", "slow", "close-headers", "close-body", "hang"
    int replyStatus = 0;     ///< 0: no answer was sent
    QByteArray reply;        ///< exact reply body (when at most 4096 bytes)
    qint64 replySize = -1;
    QJsonObject json; ///< the whole log line

    /// A request header by name (case-insensitive); empty when absent.
    QString header(const QString& name) const;
};

class ReceiverPeer
{
public:
    ReceiverPeer();
    ~ReceiverPeer();
    ReceiverPeer(const ReceiverPeer&) = delete;
    ReceiverPeer& operator=(const ReceiverPeer&) = delete;

    /// Starts the page on a free loopback port, storing into `inboxDir` (created if needed).
    /// False with errorString() when it cannot run (Werkzeug missing, script not found ...).
    bool start(const QString& inboxDir, const ReceiverOptions& options = {});
    void stop();
    bool isRunning() const;
    QString errorString() const;

    quint16 port() const;
    /// http://127.0.0.1:<port><path> (https with a certificate)
    QUrl url(const QString& path = QStringLiteral("/upload")) const;
    QString inboxDir() const;
    QString logFile() const;

    /// Switches the answer at run time; false with errorString() when refused.
    bool setMode(const ReceiverMode& mode);

    /// Every request so far, in arrival order. A request's line is written before any byte
    /// of its answer (or the close), so a client that has its outcome finds it here.
    QList<ReceivedUpload> records() const;
    /// Waits (running events) until at least `count` requests are logged.
    bool waitForRecords(int count, int timeoutMs = 20000) const;
    /// The raw request bodies, in arrival order (needs captureRawBodies).
    QList<QByteArray> rawBodies() const;
    /// Files in the inbox as relative paths with "/", sorted.
    QStringList storedFiles() const;
    /// What the receiver wrote on stderr (tracebacks, if any).
    QByteArray diagnostics() const;

private:
    bool control(const QByteArray& json);

    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_inbox;
    QString m_log;
    QString m_rawDir;
    quint16 m_port = 0;
    bool m_tls = false;
    QByteArray m_certificatePem;
    mutable QString m_error;
};

/// tinyproxy with Basic authentication on a free loopback port.
class TinyProxyPeer
{
public:
    TinyProxyPeer();
    ~TinyProxyPeer();
    TinyProxyPeer(const TinyProxyPeer&) = delete;
    TinyProxyPeer& operator=(const TinyProxyPeer&) = delete;

    /// `connectPorts`: ports allowed for CONNECT (https); empty allows every port.
    bool start(const QString& user, const QString& password, const QList<quint16>& connectPorts = {});
    void stop();
    bool isRunning() const;
    QString errorString() const;

    quint16 port() const;
    /// "127.0.0.1:<port>"
    QString address() const;
    /// tinyproxy's own log (one line per connection and request).
    QString logText() const;

    /// "Basic " + padded Base64 of user:password, as tinyproxy wants it.
    static QByteArray basicCredentials(const QString& user, const QString& password);

private:
    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QTemporaryDir> m_dir;
    quint16 m_port = 0;
    QString m_logFile;
    QString m_error;
};

// ---- HTTP byte for byte over a raw socket -------------------------------------------------

/// The boundary of the upload's multipart body.
inline constexpr const char* kUploadBoundary = "---------------------------7d023a2ea28";

/// The multipart body a browser sends for the upload form: delimiter lines "--" + boundary,
/// closing line "--" + boundary + "--".
QByteArray uploadBody(const QByteArray& fileName, const QByteArray& contentType, const QByteArray& content);
/// The same part framed with delimiter lines two hyphens short and a ";" after the file name,
/// which multipart parsers do not recognise.
QByteArray shortDelimiterBody(const QByteArray& fileName, const QByteArray& contentType,
                              const QByteArray& content);
/// A complete POST with Host, Content-Type (multipart, the upload boundary), Content-Length
/// and Connection: close. `target` is "/path" or, for a proxy, "http://127.0.0.1:port/path".
/// `extraHeaders` are whole lines, each ending in CRLF.
QByteArray uploadRequest(const QByteArray& target, quint16 hostPort, const QByteArray& body,
                         const QByteArray& extraHeaders = {});

struct RawReply
{
    bool connected = false;
    bool closedByPeer = false; ///< the peer ended the connection (as opposed to a time-out)
    QString error;             ///< socket error text, if any
    QByteArray bytes;          ///< everything received
    QList<QByteArray> reads;   ///< the pieces as they arrived
    int status = 0;            ///< 0: no status line
    QByteArray headerBlock;    ///< status line and headers
    QByteArray body;           ///< de-chunked when chunked
    bool complete = false;     ///< the body is whole by Content-Length or chunking

    QByteArray header(const QByteArray& name) const;
};

/// Sends `request` to 127.0.0.1:`port` and reads until the peer closes the connection or
/// `timeoutMs` passes with nothing arriving.
RawReply exchange(quint16 port, const QByteArray& request, int timeoutMs = 30000);
/// The same over TLS; the peer must present exactly the certificate `certificatePem`.
RawReply exchangeTls(quint16 port, const QByteArray& request, const QByteArray& certificatePem,
                     int timeoutMs = 30000);

} // namespace TestSupport
