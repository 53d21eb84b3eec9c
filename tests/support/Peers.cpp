// SPDX-License-Identifier: GPL-3.0-or-later
#include "Peers.h"

#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSslCertificate>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <sys/prctl.h>

namespace TestSupport {

namespace {

// A peer must not outlive a test program that crashed or was killed: the kernel kills the
// child when the process that started it goes away.
void dieWithParent(QProcess& process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

void endProcess(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

QString tail(const QByteArray& text, int max = 2000)
{
    const QByteArray t = text.size() > max ? text.right(max) : text;
    return QString::fromLocal8Bit(t).trimmed();
}

quint16 pickFreePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

bool canConnect(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    const bool ok = socket.waitForConnected(500);
    socket.abort();
    return ok;
}

QString jsonText(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? v.toString() : QString();
}

qint64 jsonInt(const QJsonObject& o, const char* key, qint64 absent)
{
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isDouble() ? static_cast<qint64>(v.toDouble()) : absent;
}

ReceivedUpload recordFromJson(const QJsonObject& o)
{
    ReceivedUpload r;
    r.json = o;
    r.seq = static_cast<int>(jsonInt(o, "seq", 0));
    r.method = jsonText(o, "method");
    r.path = jsonText(o, "path");
    r.mode = jsonText(o, "mode");
    r.requestContentType = jsonText(o, "request_content_type");
    if (o.value(QLatin1String("proxy_authorization")).isString())
        r.proxyAuthorization = jsonText(o, "proxy_authorization");
    r.via = jsonText(o, "via");
    r.bodySize = jsonInt(o, "body_size", -1);
    r.bodySha256 = jsonText(o, "body_sha256").toLatin1();
    r.rawBodyPath = jsonText(o, "raw_body");
    r.hasFile = o.value(QLatin1String("filename")).isString();
    r.filename = jsonText(o, "filename");
    r.partContentType = jsonText(o, "part_content_type");
    r.partDisposition = jsonText(o, "part_disposition");
    r.size = jsonInt(o, "size", -1);
    r.sha256 = jsonText(o, "sha256").toLatin1();
    r.storedPath = jsonText(o, "stored");
    r.error = jsonText(o, "error");
    r.delivery = jsonText(o, "delivery");
    r.replyStatus = static_cast<int>(jsonInt(o, "reply_status", 0));
    r.reply = QByteArray::fromBase64(jsonText(o, "reply_b64").toLatin1());
    r.replySize = jsonInt(o, "reply_size", -1);
    return r;
}

} // namespace

// ---- ReceiverMode --------------------------------------------------------------------------

ReceiverMode ReceiverMode::ok()
{
    return {};
}

ReceiverMode ReceiverMode::reply(const QByteArray& text, int status)
{
    ReceiverMode m;
    m.name = QStringLiteral("reply");
    m.body = text;
    m.status = status;
    return m;
}

ReceiverMode ReceiverMode::httpStatus(int status, const QByteArray& body)
{
    ReceiverMode m;
    m.name = QStringLiteral("status");
    m.status = status;
    if (!body.isEmpty())
        m.body = body;
    return m;
}

ReceiverMode ReceiverMode::bigPage(qint64 bytes, int status)
{
    ReceiverMode m;
    m.name = QStringLiteral("big");
    m.size = bytes;
    m.status = status;
    return m;
}

ReceiverMode ReceiverMode::closeAfterHeaders()
{
    ReceiverMode m;
    m.name = QStringLiteral("close-headers");
    return m;
}

ReceiverMode ReceiverMode::closeAfterBody()
{
    ReceiverMode m;
    m.name = QStringLiteral("close-body");
    return m;
}

ReceiverMode ReceiverMode::hang()
{
    ReceiverMode m;
    m.name = QStringLiteral("hang");
    return m;
}

ReceiverMode ReceiverMode::slow(const QByteArray& text, int intervalMs)
{
    ReceiverMode m;
    m.name = QStringLiteral("slow");
    m.body = text;
    m.intervalMs = intervalMs;
    return m;
}

ReceiverMode ReceiverMode::late(int delayMs)
{
    ReceiverMode m;
    m.name = QStringLiteral("ok");
    m.delayMs = delayMs;
    return m;
}

ReceiverMode ReceiverMode::times(int n) const
{
    ReceiverMode m = *this;
    m.count = n;
    return m;
}

QJsonObject ReceiverMode::toJson() const
{
    QJsonObject o{{QStringLiteral("mode"), name}};
    if (body)
        o.insert(QStringLiteral("body_b64"), QString::fromLatin1(body->toBase64()));
    if (status)
        o.insert(QStringLiteral("status"), *status);
    if (size >= 0)
        o.insert(QStringLiteral("size"), size);
    if (intervalMs >= 0)
        o.insert(QStringLiteral("interval_ms"), intervalMs);
    if (delayMs > 0)
        o.insert(QStringLiteral("delay_ms"), delayMs);
    if (count > 0)
        o.insert(QStringLiteral("count"), count);
    if (!contentType.isEmpty())
        o.insert(QStringLiteral("content_type"), contentType);
    if (!refuse.isEmpty())
        o.insert(QStringLiteral("refuse"), QJsonArray::fromStringList(refuse));
    return o;
}

QString ReceivedUpload::header(const QString& name) const
{
    const QJsonArray headers = json.value(QLatin1String("headers")).toArray();
    for (const QJsonValue& h : headers) {
        const QJsonArray pair = h.toArray();
        if (pair.size() == 2 && pair.at(0).toString().compare(name, Qt::CaseInsensitive) == 0)
            return pair.at(1).toString();
    }
    return {};
}

// ---- ReceiverPeer --------------------------------------------------------------------------

ReceiverPeer::ReceiverPeer() = default;

ReceiverPeer::~ReceiverPeer()
{
    stop();
}

bool ReceiverPeer::start(const QString& inboxDir, const ReceiverOptions& options)
{
    stop();
    m_error.clear();
    const QString script = sourceDir() + QStringLiteral("/tests/peers/receiver.py");
    if (sourceDir().isEmpty() || !QFileInfo::exists(script)) {
        m_error = QStringLiteral("receiver script not found (QUILLFEED_SOURCE_DIR=%1)").arg(sourceDir());
        return false;
    }
    m_work = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/quillfeed-receiver-XXXXXX"));
    if (!m_work->isValid()) {
        m_error = QStringLiteral("no temporary folder for the receiver: %1").arg(m_work->errorString());
        return false;
    }
    m_inbox = QFileInfo(inboxDir).absoluteFilePath();
    m_log = m_work->filePath(QStringLiteral("log.jsonl"));
    m_rawDir = options.captureRawBodies ? m_work->filePath(QStringLiteral("raw")) : QString();

    QStringList args{script,
                     QStringLiteral("--port"),
                     QStringLiteral("0"),
                     QStringLiteral("--inbox"),
                     m_inbox,
                     QStringLiteral("--log"),
                     m_log,
                     QStringLiteral("--quiet"),
                     QStringLiteral("--mode-json"),
                     QString::fromUtf8(QJsonDocument(options.mode.toJson()).toJson(QJsonDocument::Compact))};
    if (!m_rawDir.isEmpty())
        args << QStringLiteral("--raw-dir") << m_rawDir;
    if (!options.path.isEmpty())
        args << QStringLiteral("--path") << options.path;
    m_tls = !options.tlsCertificate.isEmpty();
    m_certificatePem = m_tls ? readFile(options.tlsCertificate) : QByteArray();
    if (m_tls)
        args << QStringLiteral("--cert") << options.tlsCertificate << QStringLiteral("--key")
             << options.tlsKey;

    m_process = std::make_unique<QProcess>();
    dieWithParent(*m_process);
    if (!options.environment.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& entry : options.environment) {
            const qsizetype eq = entry.indexOf(QLatin1Char('='));
            env.insert(entry.left(eq), eq < 0 ? QString() : entry.mid(eq + 1));
        }
        m_process->setProcessEnvironment(env);
    }
    const QString python = options.python.isEmpty() ? QStringLiteral(QUILLFEED_PYTHON) : options.python;
    m_process->start(python, args);
    if (!m_process->waitForStarted(10000)) {
        m_error = QStringLiteral("cannot start %1: %2").arg(python, m_process->errorString());
        m_process.reset();
        return false;
    }

    // The script prints "LISTENING <port>" once its socket listens.
    const QDeadlineTimer deadline(30000);
    QByteArray out;
    while (!deadline.hasExpired()) {
        m_process->waitForReadyRead(200);
        out += m_process->readAllStandardOutput();
        const qsizetype at = out.indexOf("LISTENING ");
        const qsizetype eol = at < 0 ? -1 : out.indexOf('\n', at);
        if (eol > at) {
            bool ok = false;
            const uint port = out.mid(at + 10, eol - at - 10).trimmed().toUInt(&ok);
            if (ok && port > 0 && port < 65536) {
                m_port = static_cast<quint16>(port);
                return true;
            }
            break;
        }
        if (m_process->state() == QProcess::NotRunning)
            break;
    }
    if (m_process->state() == QProcess::NotRunning)
        m_process->waitForFinished(1000);
    const QByteArray err = m_process->readAllStandardError();
    m_error = QStringLiteral("the receiver did not start (%1): %2")
                  .arg(m_process->state() == QProcess::NotRunning
                           ? QStringLiteral("exit code %1").arg(m_process->exitCode())
                           : QStringLiteral("no LISTENING line"),
                       tail(err + out));
    endProcess(*m_process);
    m_process.reset();
    return false;
}

void ReceiverPeer::stop()
{
    if (m_process) {
        endProcess(*m_process);
        m_process.reset();
    }
    m_port = 0;
}

bool ReceiverPeer::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QString ReceiverPeer::errorString() const
{
    return m_error;
}

quint16 ReceiverPeer::port() const
{
    return m_port;
}

QUrl ReceiverPeer::url(const QString& path) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                    .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
                    .arg(m_port)
                    .arg(path));
}

QString ReceiverPeer::inboxDir() const
{
    return m_inbox;
}

QString ReceiverPeer::logFile() const
{
    return m_log;
}

bool ReceiverPeer::setMode(const ReceiverMode& mode)
{
    return control(QJsonDocument(mode.toJson()).toJson(QJsonDocument::Compact));
}

bool ReceiverPeer::control(const QByteArray& json)
{
    if (!isRunning()) {
        m_error = QStringLiteral("the receiver is not running");
        return false;
    }
    const QByteArray request =
        "POST /_control HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(m_port) +
        "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(json.size()) +
        "\r\nConnection: close\r\n\r\n" + json;
    const RawReply r =
        m_tls ? exchangeTls(m_port, request, m_certificatePem, 15000) : exchange(m_port, request, 15000);
    if (r.status != 200 || !r.complete) {
        m_error = QStringLiteral("mode change refused (status %1): %2 %3")
                      .arg(r.status)
                      .arg(QString::fromUtf8(r.body), r.error);
        return false;
    }
    return true;
}

QList<ReceivedUpload> ReceiverPeer::records() const
{
    QList<ReceivedUpload> out;
    QFile f(m_log);
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.trimmed().isEmpty())
            continue;
        QJsonParseError err{};
        const QJsonDocument doc = QJsonDocument::fromJson(line, &err);
        if (err.error != QJsonParseError::NoError || !doc.isObject())
            continue; // a line still being written
        out.append(recordFromJson(doc.object()));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const ReceivedUpload& a, const ReceivedUpload& b) { return a.seq < b.seq; });
    return out;
}

bool ReceiverPeer::waitForRecords(int count, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (records().size() < count) {
        if (deadline.hasExpired()) {
            m_error = QStringLiteral("expected %1 requests at the receiver, got %2")
                          .arg(count)
                          .arg(records().size());
            return false;
        }
        QTest::qWait(20);
    }
    return true;
}

QList<QByteArray> ReceiverPeer::rawBodies() const
{
    QList<QByteArray> out;
    if (m_rawDir.isEmpty())
        return out;
    const QStringList names = QDir(m_rawDir).entryList({QStringLiteral("*.bin")}, QDir::Files, QDir::Name);
    for (const QString& name : names)
        out.append(readFile(m_rawDir + QLatin1Char('/') + name));
    return out;
}

QStringList ReceiverPeer::storedFiles() const
{
    QStringList out;
    const QDir inbox(m_inbox);
    QDirIterator it(m_inbox, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out.append(inbox.relativeFilePath(it.next()));
    out.sort();
    return out;
}

QByteArray ReceiverPeer::diagnostics() const
{
    return m_process ? m_process->readAllStandardError() : QByteArray();
}

// ---- TinyProxyPeer -------------------------------------------------------------------------

TinyProxyPeer::TinyProxyPeer() = default;

TinyProxyPeer::~TinyProxyPeer()
{
    stop();
}

bool TinyProxyPeer::start(const QString& user, const QString& password, const QList<quint16>& connectPorts)
{
    stop();
    m_error.clear();
    // The configuration takes plain words: no blanks, quotes or comment signs.
    const auto plainWord = [](const QString& s) {
        return !s.isEmpty() && std::none_of(s.begin(), s.end(), [](QChar c) {
            return c.isSpace() || c == QLatin1Char('"') || c == QLatin1Char('#') || c.unicode() < 32;
        });
    };
    if (!plainWord(user) || !plainWord(password) || user.contains(QLatin1Char(':'))) {
        m_error = QStringLiteral("tinyproxy takes a user name and password without blanks, quotes, "
                                 "'#' (and no ':' in the user name)");
        return false;
    }
    QString program = QStandardPaths::findExecutable(QStringLiteral("tinyproxy"));
    if (program.isEmpty())
        program = QStandardPaths::findExecutable(QStringLiteral("tinyproxy"),
                                                 {QStringLiteral("/usr/bin"), QStringLiteral("/usr/sbin")});
    if (program.isEmpty()) {
        m_error = QStringLiteral("tinyproxy is not installed (scripts/setup.sh installs it)");
        return false;
    }
    const QByteArray templ = readFile(sourceDir() + QStringLiteral("/tests/peers/tinyproxy.conf.in"));
    if (templ.isEmpty()) {
        m_error = QStringLiteral("tests/peers/tinyproxy.conf.in not found (QUILLFEED_SOURCE_DIR=%1)")
                      .arg(sourceDir());
        return false;
    }
    m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/quillfeed-proxy-XXXXXX"));
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("no temporary folder for tinyproxy: %1").arg(m_dir->errorString());
        return false;
    }
    QByteArray connectLines;
    for (quint16 p : connectPorts)
        connectLines += "ConnectPort " + QByteArray::number(p) + '\n';

    // tinyproxy cannot pick a port itself: take a free one and try again should another
    // program grab it first.
    QString lastFailure;
    for (int attempt = 1; attempt <= 5; ++attempt) {
        const quint16 port = pickFreePort();
        if (port == 0) {
            m_error = QStringLiteral("no free loopback port");
            return false;
        }
        m_logFile = m_dir->filePath(QStringLiteral("tinyproxy-%1.log").arg(attempt));
        const QString conf = m_dir->filePath(QStringLiteral("tinyproxy-%1.conf").arg(attempt));
        QByteArray text = templ;
        text.replace("@PORT@", QByteArray::number(port))
            .replace("@USER@", user.toUtf8())
            .replace("@PASSWORD@", password.toUtf8())
            .replace("@LOGFILE@", m_logFile.toUtf8())
            .replace("@CONNECTPORTS@", connectLines);
        if (!writeFile(conf, text)) {
            m_error = QStringLiteral("cannot write %1").arg(conf);
            return false;
        }

        m_process = std::make_unique<QProcess>();
        dieWithParent(*m_process);
        m_process->setProcessChannelMode(QProcess::MergedChannels);
        m_process->start(program, {QStringLiteral("-d"), QStringLiteral("-c"), conf});
        if (!m_process->waitForStarted(10000)) {
            m_error = QStringLiteral("cannot start %1: %2").arg(program, m_process->errorString());
            m_process.reset();
            return false;
        }
        // Ready when its own log says it accepts connections and the port answers: the
        // log line tells our tinyproxy from another program on a stolen port.
        const QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && m_process->state() == QProcess::Running) {
            if (readFile(m_logFile).contains("Accepting connections") && canConnect(port)) {
                m_port = port;
                return true;
            }
            m_process->waitForFinished(50);
        }
        lastFailure = QStringLiteral("%1 %2").arg(tail(m_process->readAll()), tail(readFile(m_logFile)));
        const bool exited = m_process->state() == QProcess::NotRunning;
        endProcess(*m_process);
        m_process.reset();
        if (!exited)
            break; // hung rather than lost its port: trying again would not help
    }
    m_error = QStringLiteral("tinyproxy did not start: %1").arg(lastFailure);
    return false;
}

void TinyProxyPeer::stop()
{
    if (m_process) {
        endProcess(*m_process);
        m_process.reset();
    }
    m_port = 0;
}

bool TinyProxyPeer::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QString TinyProxyPeer::errorString() const
{
    return m_error;
}

quint16 TinyProxyPeer::port() const
{
    return m_port;
}

QString TinyProxyPeer::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port);
}

QString TinyProxyPeer::logText() const
{
    return QString::fromLocal8Bit(readFile(m_logFile));
}

QByteArray TinyProxyPeer::basicCredentials(const QString& user, const QString& password)
{
    return "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

// ---- raw HTTP ------------------------------------------------------------------------------

namespace {

QByteArray part(const QByteArray& fileName, const QByteArray& contentType, const QByteArray& content,
                const QByteArray& afterName)
{
    return "Content-Disposition: form-data; name=\"file\"; filename=\"" + fileName + "\"" + afterName +
           "\r\nContent-Type: " + contentType + "\r\n\r\n" + content + "\r\n";
}

} // namespace

QByteArray uploadBody(const QByteArray& fileName, const QByteArray& contentType, const QByteArray& content)
{
    const QByteArray b(kUploadBoundary);
    return "--" + b + "\r\n" + part(fileName, contentType, content, "") + "--" + b + "--\r\n";
}

QByteArray shortDelimiterBody(const QByteArray& fileName, const QByteArray& contentType,
                              const QByteArray& content)
{
    const QByteArray b(kUploadBoundary);
    return b + "\r\n" + part(fileName, contentType, content, ";") + b + "--\r\n";
}

QByteArray uploadRequest(const QByteArray& target, quint16 hostPort, const QByteArray& body,
                         const QByteArray& extraHeaders)
{
    return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(hostPort) + "\r\n" +
           extraHeaders + "Content-Type: multipart/form-data; boundary=" + QByteArray(kUploadBoundary) +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray RawReply::header(const QByteArray& name) const
{
    const QList<QByteArray> lines = headerBlock.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

namespace {

void parseReply(RawReply& r)
{
    const qsizetype end = r.bytes.indexOf("\r\n\r\n");
    if (end < 0 || !r.bytes.startsWith("HTTP/"))
        return;
    r.headerBlock = r.bytes.left(end);
    const QList<QByteArray> statusLine = r.headerBlock.left(r.headerBlock.indexOf("\r\n")).split(' ');
    if (statusLine.size() >= 2)
        r.status = statusLine.at(1).toInt();
    const QByteArray rest = r.bytes.mid(end + 4);
    if (r.header("Transfer-Encoding").toLower() == "chunked") {
        qsizetype pos = 0;
        while (true) {
            const qsizetype eol = rest.indexOf("\r\n", pos);
            if (eol < 0)
                return;
            bool ok = false;
            const qsizetype len = rest.mid(pos, eol - pos).split(';').first().trimmed().toLongLong(&ok, 16);
            if (!ok || rest.size() < eol + 2 + len + 2)
                return;
            if (len == 0) {
                r.complete = true;
                return;
            }
            r.body += rest.mid(eol + 2, len);
            pos = eol + 2 + len + 2;
        }
    }
    const QByteArray length = r.header("Content-Length");
    if (!length.isEmpty()) {
        const qsizetype n = length.toLongLong();
        r.body = rest.left(n);
        r.complete = rest.size() >= n;
    } else {
        r.body = rest;
        r.complete = r.closedByPeer;
    }
}

} // namespace

namespace {

RawReply converse(QTcpSocket& socket, RawReply r, const QByteArray& request, int timeoutMs)
{
    socket.write(request);
    while (socket.bytesToWrite() > 0 && socket.state() == QAbstractSocket::ConnectedState) {
        if (!socket.waitForBytesWritten(timeoutMs))
            break;
    }
    while (true) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(timeoutMs)) {
            if (socket.state() == QAbstractSocket::ConnectedState) {
                r.error = QStringLiteral("nothing more arrived within %1 ms").arg(timeoutMs);
            } else {
                r.closedByPeer = true;
                if (socket.error() != QAbstractSocket::RemoteHostClosedError)
                    r.error = socket.errorString();
            }
            break;
        }
        const QByteArray piece = socket.readAll();
        if (!piece.isEmpty()) {
            r.reads.append(piece);
            r.bytes += piece;
        }
    }
    parseReply(r);
    return r;
}

} // namespace

RawReply exchange(quint16 port, const QByteArray& request, int timeoutMs)
{
    RawReply r;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000)) {
        r.error = socket.errorString();
        return r;
    }
    r.connected = true;
    return converse(socket, r, request, timeoutMs);
}

RawReply exchangeTls(quint16 port, const QByteArray& request, const QByteArray& certificatePem, int timeoutMs)
{
    RawReply r;
    const QSslCertificate expected(certificatePem, QSsl::Pem);
    if (expected.isNull()) {
        r.error = QStringLiteral("no usable certificate to check the peer against");
        return r;
    }
    // Checked by pinning rather than by a chain: the peer's certificate must be this one.
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForEncrypted(10000)) {
        r.error = socket.errorString();
        return r;
    }
    if (socket.peerCertificate() != expected) {
        r.error = QStringLiteral("the peer presented another certificate");
        return r;
    }
    r.connected = true;
    return converse(socket, r, request, timeoutMs);
}

} // namespace TestSupport
