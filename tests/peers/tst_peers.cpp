// SPDX-License-Identifier: GPL-3.0-or-later
// The peers themselves: the receiving page files exactly what it is sent, answers exactly as
// told, never writes outside its inbox; tinyproxy lets through only correct, padded Basic
// credentials. Everything else in the suite leans on these two, so they are checked first.
#include "Peers.h"
#include "TestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using namespace TestSupport;

namespace {

const QByteArray kUploadPath = "/district/saveTAVscan.asp";

// Content that tempts a parser: every byte value, CR LF pairs, and a line one character
// short of the delimiter.
QByteArray awkwardContent()
{
    QByteArray c = "%PDF-1.4\r\n";
    for (int i = 0; i < 256; ++i)
        c += static_cast<char>(i);
    c += "\r\n--" + QByteArray(kUploadBoundary).chopped(1) + "\r\n\r\n";
    c += QByteArray(70000, 'q');
    c += "\r\n%%EOF";
    return c;
}

QByteArray hex256(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

RawReply post(const ReceiverPeer& receiver, const QByteArray& fileName, const QByteArray& content,
              const QByteArray& contentType = "application/pdf")
{
    return exchange(receiver.port(),
                    uploadRequest(kUploadPath, receiver.port(), uploadBody(fileName, contentType, content)));
}

} // namespace

class tst_Peers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // filing
    void storesThePartUnderItsFolders();
    void aDuplicatePostBecomesASecondFile();
    void safeNamesAreStoredInside_data();
    void safeNamesAreStoredInside();
    void unsafeNamesAreRefused_data();
    void unsafeNamesAreRefused();
    void aPlantedLinkDoesNotLeadOut();
    void qtClientUploadIsFiled();

    // framing
    void rawBodiesAreKeptByteForByte();
    void shortDelimitersHideThePart();
    void trailingSemicolonAloneIsTolerated();

    // answers
    void refusalsAreAnsweredExactly_data();
    void refusalsAreAnsweredExactly();
    void bigErrorPageHasExactSize();
    void closeAfterHeadersSendsNothing();
    void closeAfterBodySendsNothing();
    void aHangingRequestDoesNotBlockOthers();
    void slowReplyComesByteByByte();
    void modeGivenAtStartApplies();
    void otherPathsAreNotFound();
    void badModeIsRejected();
    void missingWerkzeugIsReported();
    void stopClosesThePort();

    // proxy
    void proxyPassesPaddedCredentials();
    void proxyRefusesBadCredentials_data();
    void proxyRefusesBadCredentials();
    void proxyStopsWithItsObject();
    void qtSeesAWrongProxyPasswordAsA401();

    // https
    void httpsReceiverFilesOverTls();
    void httpsGoesThroughTheProxyTunnel();
    void connectToAnUnlistedPortIsRefused();

private:
    bool makeCertificate();
    QString certFile() const { return m_tmp->filePath(QStringLiteral("cert.pem")); }
    QString keyFile() const { return m_tmp->filePath(QStringLiteral("key.pem")); }
    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<ReceiverPeer> m_receiver;
    QString inbox() const { return m_tmp->filePath(QStringLiteral("inbox")); }
    bool startReceiver(const ReceiverOptions& options = {})
    {
        m_receiver = std::make_unique<ReceiverPeer>();
        if (m_receiver->start(inbox(), options))
            return true;
        qWarning("%s", qPrintable(m_receiver->errorString()));
        return false;
    }
};

void tst_Peers::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
}

void tst_Peers::cleanup()
{
    if (m_receiver && QTest::currentTestFailed())
        qWarning("receiver said: %s", m_receiver->diagnostics().constData());
    m_receiver.reset();
    m_tmp.reset();
}

// ---- filing ---------------------------------------------------------------------------------

void tst_Peers::storesThePartUnderItsFolders()
{
    QVERIFY(startReceiver());
    const QByteArray content = awkwardContent();
    const RawReply r = post(*m_receiver, "\\2024\\a.pdf", content);

    QCOMPARE(r.status, 200);
    QVERIFY(r.complete);
    QCOMPARE(r.body, QByteArray("OK"));
    QCOMPARE(r.header("Content-Type"), QByteArray("text/plain"));
    QCOMPARE(r.header("Content-Length"), QByteArray("2"));

    QCOMPARE(m_receiver->storedFiles(), QStringList{QStringLiteral("2024/a.pdf")});
    QCOMPARE(readFile(inbox() + QStringLiteral("/2024/a.pdf")), content);

    const auto recs = m_receiver->records();
    QCOMPARE(recs.size(), 1);
    const ReceivedUpload& rec = recs.first();
    QCOMPARE(rec.seq, 1);
    QCOMPARE(rec.method, QStringLiteral("POST"));
    QCOMPARE(rec.path, QString::fromLatin1(kUploadPath));
    QVERIFY(rec.hasFile);
    QCOMPARE(rec.filename, QStringLiteral("\\2024\\a.pdf"));
    QCOMPARE(rec.partContentType, QStringLiteral("application/pdf"));
    QCOMPARE(rec.requestContentType,
             QStringLiteral("multipart/form-data; boundary=---------------------------7d023a2ea28"));
    QCOMPARE(rec.size, content.size());
    QCOMPARE(rec.sha256, hex256(content));
    QCOMPARE(rec.storedPath, QDir(inbox()).canonicalPath() + QStringLiteral("/2024/a.pdf"));
    QVERIFY(!rec.proxyAuthorization.has_value());
    QCOMPARE(rec.replyStatus, 200);
    QCOMPARE(rec.reply, QByteArray("OK"));
    QVERIFY(rec.error.isEmpty());
}

void tst_Peers::aDuplicatePostBecomesASecondFile()
{
    QVERIFY(startReceiver());
    QCOMPARE(post(*m_receiver, "\\2024\\a.pdf", "first").body, QByteArray("OK"));
    QCOMPARE(post(*m_receiver, "\\2024\\a.pdf", "second").body, QByteArray("OK"));
    QCOMPARE(post(*m_receiver, "\\2024\\a.pdf", "third").body, QByteArray("OK"));

    QCOMPARE(m_receiver->storedFiles(), (QStringList{"2024/a-2.pdf", "2024/a-3.pdf", "2024/a.pdf"}));
    QCOMPARE(readFile(inbox() + "/2024/a.pdf"), QByteArray("first"));
    QCOMPARE(readFile(inbox() + "/2024/a-2.pdf"), QByteArray("second"));
    QCOMPARE(readFile(inbox() + "/2024/a-3.pdf"), QByteArray("third"));
    QCOMPARE(m_receiver->records().size(), 3);
}

void tst_Peers::safeNamesAreStoredInside_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("stored");
    QTest::newRow("top level") << QByteArray("\\a.txt") << "a.txt";
    QTest::newRow("deep") << QByteArray("\\2024\\05\\scan 1.pdf") << "2024/05/scan 1.pdf";
    QTest::newRow("forward slashes") << QByteArray("/etc/passwd") << "etc/passwd";
    QTest::newRow("no leading separator") << QByteArray("b.pdf") << "b.pdf";
    QTest::newRow("dots inside a name") << QByteArray("\\a..b.pdf") << "a..b.pdf";
    QTest::newRow("utf-8") << QByteArray("\\M\xc3\xbcller\\\xc3\x9f.pdf") << QStringLiteral("Müller/ß.pdf");
}

void tst_Peers::safeNamesAreStoredInside()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, stored);
    QVERIFY(startReceiver());
    const RawReply r = post(*m_receiver, name, "x");
    QCOMPARE(r.body, QByteArray("OK"));
    QCOMPARE(m_receiver->storedFiles(), QStringList{stored});
    QCOMPARE(m_receiver->records().value(0).filename, QString::fromUtf8(name));
}

void tst_Peers::unsafeNamesAreRefused_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("climbs out") << QByteArray("\\..\\..\\x");
    QTest::newRow("climbs out later") << QByteArray("\\2024\\..\\..\\x");
    QTest::newRow("climbs with slashes") << QByteArray("/../x");
    QTest::newRow("dot") << QByteArray("\\.\\x");
    QTest::newRow("drive") << QByteArray("C:\\x.pdf");
    QTest::newRow("share") << QByteArray("\\\\server\\share\\x.pdf");
    // Werkzeug reads a doubled backslash in a quoted name as one, so the empty piece is
    // made with slashes.
    QTest::newRow("empty piece") << QByteArray("/a//x.pdf");
    QTest::newRow("trailing separator") << QByteArray("\\a\\");
    QTest::newRow("only a separator") << QByteArray("\\");
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow("tab") << QByteArray("\\a\tb.pdf");
}

void tst_Peers::unsafeNamesAreRefused()
{
    QFETCH(QByteArray, name);
    QVERIFY(startReceiver());
    const RawReply r = post(*m_receiver, name, "evil");

    QCOMPARE(r.status, 400);
    QVERIFY(r.body != "OK");
    QVERIFY(r.body.startsWith("Refused"));
    QCOMPARE(m_receiver->storedFiles(), QStringList{});
    // Nothing may appear beside the inbox either.
    QCOMPARE(QDir(m_tmp->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("inbox")});
    const auto recs = m_receiver->records();
    QCOMPARE(recs.size(), 1);
    QVERIFY(recs.first().storedPath.isEmpty());
    QVERIFY2(recs.first().error.startsWith("refused"), qPrintable(recs.first().error));
}

void tst_Peers::aPlantedLinkDoesNotLeadOut()
{
    QVERIFY(startReceiver());
    const QString outside = m_tmp->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(QFile::link(outside, inbox() + QStringLiteral("/2024")));

    const RawReply r = post(*m_receiver, "\\2024\\a.pdf", "x");
    QCOMPARE(r.status, 400);
    QCOMPARE(QDir(outside).entryList(QDir::Files), QStringList{});
}

void tst_Peers::qtClientUploadIsFiled()
{
    QVERIFY(startReceiver());
    const QByteArray content = awkwardContent();
    QNetworkAccessManager nam;
    QNetworkRequest request(m_receiver->url(QString::fromLatin1(kUploadPath)));
    request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + QByteArray(kUploadBoundary));
    QNetworkReply* reply = nam.post(request, uploadBody("\\2024\\q.pdf", "application/pdf", content));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(30000));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->readAll(), QByteArray("OK"));
    reply->deleteLater();
    QCOMPARE(readFile(inbox() + QStringLiteral("/2024/q.pdf")), content);
}

// ---- framing --------------------------------------------------------------------------------

void tst_Peers::rawBodiesAreKeptByteForByte()
{
    ReceiverOptions options;
    options.captureRawBodies = true;
    QVERIFY(startReceiver(options));
    const QByteArray first = uploadBody("\\2024\\a.pdf", "application/pdf", awkwardContent());
    const QByteArray second = shortDelimiterBody("\\a.txt", "text/plain", "hi");
    exchange(m_receiver->port(), uploadRequest(kUploadPath, m_receiver->port(), first));
    exchange(m_receiver->port(), uploadRequest(kUploadPath, m_receiver->port(), second));

    const QList<QByteArray> raw = m_receiver->rawBodies();
    QCOMPARE(raw.size(), 2);
    QCOMPARE(raw.at(0), first);
    QCOMPARE(raw.at(1), second);
    const auto recs = m_receiver->records();
    QCOMPARE(recs.at(0).bodySha256, hex256(first));
    QCOMPARE(recs.at(1).bodySize, second.size());
}

// The body with delimiter lines two hyphens short and a ";" after the file name: Werkzeug's
// parser finds no part in it, so a page built on it cannot file such an upload.
void tst_Peers::shortDelimitersHideThePart()
{
    QVERIFY(startReceiver());
    const QByteArray body = shortDelimiterBody("\\a.txt", "text/plain", "hi");
    QVERIFY(body.startsWith("---------------------------7d023a2ea28\r\n"));
    QVERIFY(body.contains("filename=\"\\a.txt\";\r\n"));
    const RawReply r = exchange(m_receiver->port(), uploadRequest(kUploadPath, m_receiver->port(), body));

    QCOMPARE(r.status, 400);
    QVERIFY(r.body != "OK");
    QCOMPARE(m_receiver->storedFiles(), QStringList{});
    const auto recs = m_receiver->records();
    QCOMPARE(recs.size(), 1);
    QVERIFY(!recs.first().hasFile);
    QVERIFY2(recs.first().error.contains("no part named file"), qPrintable(recs.first().error));
}

void tst_Peers::trailingSemicolonAloneIsTolerated()
{
    QVERIFY(startReceiver());
    const QByteArray b(kUploadBoundary);
    const QByteArray body = "--" + b +
                            "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"\\a.txt\";"
                            "\r\nContent-Type: text/plain\r\n\r\nhi\r\n--" +
                            b + "--\r\n";
    const RawReply r = exchange(m_receiver->port(), uploadRequest(kUploadPath, m_receiver->port(), body));
    QCOMPARE(r.body, QByteArray("OK"));
    QCOMPARE(readFile(inbox() + QStringLiteral("/a.txt")), QByteArray("hi"));
}

// ---- answers --------------------------------------------------------------------------------

void tst_Peers::refusalsAreAnsweredExactly_data()
{
    QTest::addColumn<int>("modeKind");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("status");
    QTest::newRow("lower case") << 0 << QByteArray("ok") << 200;
    QTest::newRow("trailing blank") << 0 << QByteArray("OK ") << 200;
    QTest::newRow("line break") << 0 << QByteArray("OK\r\n") << 200;
    QTest::newRow("empty") << 0 << QByteArray() << 200;
    QTest::newRow("OK with a server error") << 0 << QByteArray("OK") << 500;
    QTest::newRow("error status with text") << 1 << QByteArray("Database unavailable") << 503;
    QTest::newRow("error status, default page") << 1 << QByteArray() << 500;
}

void tst_Peers::refusalsAreAnsweredExactly()
{
    QFETCH(int, modeKind);
    QFETCH(QByteArray, text);
    QFETCH(int, status);
    QVERIFY(startReceiver());
    const ReceiverMode mode =
        modeKind == 0 ? ReceiverMode::reply(text, status) : ReceiverMode::httpStatus(status, text);
    QVERIFY2(m_receiver->setMode(mode), qPrintable(m_receiver->errorString()));

    const RawReply r = post(*m_receiver, "\\a.pdf", "x");
    QCOMPARE(r.status, status);
    QVERIFY(r.complete);
    if (modeKind == 1 && text.isEmpty()) {
        QVERIFY(r.body.startsWith("<html>"));
        QCOMPARE(r.header("Content-Type"), QByteArray("text/html"));
    } else {
        QCOMPARE(r.body, text);
    }
    // Only "OK" with a success status is an answer of filing; an error page reading "OK" stores nothing.
    QCOMPARE(m_receiver->storedFiles().size(), text == "OK" && status < 300 ? 1 : 0);
    const auto recs = m_receiver->records();
    QCOMPARE(recs.size(), 1);
    QCOMPARE(recs.first().reply, r.body);
    QCOMPARE(recs.first().replyStatus, status);
}

void tst_Peers::bigErrorPageHasExactSize()
{
    QVERIFY(startReceiver());
    const qint64 size = 2 * 1024 * 1024;
    QVERIFY(m_receiver->setMode(ReceiverMode::bigPage(size)));
    const RawReply r = post(*m_receiver, "\\a.pdf", "x");
    QCOMPARE(r.status, 500);
    QVERIFY(r.complete);
    QCOMPARE(r.body.size(), size);
    QVERIFY(r.body.startsWith("<html>"));
    QVERIFY(r.body.endsWith("</html>\n"));
    QCOMPARE(m_receiver->storedFiles(), QStringList{});
    QCOMPARE(m_receiver->records().value(0).replySize, size);
}

void tst_Peers::closeAfterHeadersSendsNothing()
{
    QVERIFY(startReceiver());
    QVERIFY(m_receiver->setMode(ReceiverMode::closeAfterHeaders()));
    const RawReply r = post(*m_receiver, "\\a.pdf", awkwardContent());
    QVERIFY(r.connected);
    QVERIFY(r.closedByPeer);
    QCOMPARE(r.bytes, QByteArray());
    QCOMPARE(m_receiver->storedFiles(), QStringList{});
    const auto recs = m_receiver->records();
    QCOMPARE(recs.size(), 1);
    QCOMPARE(recs.first().delivery, QStringLiteral("close-headers"));
    QCOMPARE(recs.first().bodySize, -1);
    QCOMPARE(recs.first().replyStatus, 0);
}

void tst_Peers::closeAfterBodySendsNothing()
{
    QVERIFY(startReceiver());
    QVERIFY(m_receiver->setMode(ReceiverMode::closeAfterBody()));
    const QByteArray content = awkwardContent();
    const RawReply r = post(*m_receiver, "\\a.pdf", content);
    QVERIFY(r.closedByPeer);
    QCOMPARE(r.bytes, QByteArray());
    QCOMPARE(m_receiver->storedFiles(), QStringList{});
    const auto recs = m_receiver->records();
    QCOMPARE(recs.size(), 1);
    QCOMPARE(recs.first().delivery, QStringLiteral("close-body"));
    QCOMPARE(recs.first().sha256, hex256(content)); // the whole body did arrive
    QCOMPARE(recs.first().replyStatus, 0);
}

void tst_Peers::aHangingRequestDoesNotBlockOthers()
{
    QVERIFY(startReceiver());
    QVERIFY(m_receiver->setMode(ReceiverMode::hang().times(1)));

    QTcpSocket hanging;
    hanging.connectToHost(QHostAddress::LocalHost, m_receiver->port());
    QVERIFY(hanging.waitForConnected(10000));
    hanging.write(
        uploadRequest(kUploadPath, m_receiver->port(), uploadBody("\\h.pdf", "application/pdf", "h")));
    QVERIFY(hanging.waitForBytesWritten(10000));
    QVERIFY2(m_receiver->waitForRecords(1), qPrintable(m_receiver->errorString()));
    QCOMPARE(m_receiver->records().first().delivery, QStringLiteral("hang"));

    // The mode was for one request only: the next one is filed while the first still waits.
    const RawReply second = post(*m_receiver, "\\b.pdf", "b");
    QCOMPARE(second.body, QByteArray("OK"));
    QCOMPARE(hanging.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(hanging.bytesAvailable(), 0);
    QVERIFY(!hanging.waitForReadyRead(300));
    QCOMPARE(hanging.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(m_receiver->storedFiles(), QStringList{QStringLiteral("b.pdf")});
    hanging.abort();
}

void tst_Peers::slowReplyComesByteByByte()
{
    QVERIFY(startReceiver());
    QVERIFY(m_receiver->setMode(ReceiverMode::slow("OK", 400)));
    const RawReply r = post(*m_receiver, "\\s.pdf", "s");
    QCOMPARE(r.status, 200);
    QCOMPARE(r.body, QByteArray("OK"));
    QCOMPARE(r.header("Content-Length"), QByteArray("2"));
    QVERIFY2(r.reads.size() >= 2, "the two bytes came in one piece");
    QVERIFY(r.reads.last() == "K");
    QCOMPARE(m_receiver->storedFiles(), QStringList{QStringLiteral("s.pdf")});
}

void tst_Peers::modeGivenAtStartApplies()
{
    ReceiverOptions options;
    options.mode = ReceiverMode::reply("busy", 200).times(1);
    QVERIFY(startReceiver(options));
    QCOMPARE(post(*m_receiver, "\\a.pdf", "x").body, QByteArray("busy"));
    QCOMPARE(post(*m_receiver, "\\a.pdf", "x").body, QByteArray("OK"));
    QCOMPARE(m_receiver->storedFiles(), QStringList{QStringLiteral("a.pdf")});
}

void tst_Peers::otherPathsAreNotFound()
{
    ReceiverOptions options;
    options.path = QString::fromLatin1(kUploadPath);
    QVERIFY(startReceiver(options));
    const RawReply wrong =
        exchange(m_receiver->port(),
                 uploadRequest("/upload", m_receiver->port(), uploadBody("\\a.pdf", "application/pdf", "x")));
    QCOMPARE(wrong.status, 404);
    QVERIFY(wrong.body != "OK");
    QCOMPARE(m_receiver->storedFiles(), QStringList{});
    QCOMPARE(post(*m_receiver, "\\a.pdf", "x").body, QByteArray("OK"));
    QCOMPARE(m_receiver->storedFiles(), QStringList{QStringLiteral("a.pdf")});
}

void tst_Peers::badModeIsRejected()
{
    QVERIFY(startReceiver());
    ReceiverMode bad;
    bad.name = QStringLiteral("sometimes");
    QVERIFY(!m_receiver->setMode(bad));
    QVERIFY(m_receiver->errorString().contains("unknown mode"));
    QCOMPARE(post(*m_receiver, "\\a.pdf", "x").body, QByteArray("OK"));
}

void tst_Peers::missingWerkzeugIsReported()
{
    // A module of that name that cannot be imported stands in for a machine without it.
    const QString fake = m_tmp->filePath(QStringLiteral("fake"));
    QVERIFY(writeFile(fake + QStringLiteral("/werkzeug/__init__.py"),
                      "raise ImportError(\"No module named 'werkzeug'\")\n"));
    ReceiverOptions options;
    options.environment << QStringLiteral("PYTHONPATH=") + fake;
    ReceiverPeer receiver;
    QVERIFY(!receiver.start(inbox(), options));
    QVERIFY2(receiver.errorString().contains("Werkzeug is missing"), qPrintable(receiver.errorString()));
    QVERIFY(receiver.errorString().contains("python3-werkzeug"));
    QVERIFY(!receiver.isRunning());
}

void tst_Peers::stopClosesThePort()
{
    QVERIFY(startReceiver());
    const quint16 port = m_receiver->port();
    m_receiver->stop();
    QVERIFY(!m_receiver->isRunning());
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!s.waitForConnected(2000));
}

// ---- proxy ----------------------------------------------------------------------------------

void tst_Peers::proxyPassesPaddedCredentials()
{
    QVERIFY(startReceiver());
    TinyProxyPeer proxy;
    // "quill:pw" takes one "=" of padding in Base64.
    QVERIFY2(proxy.start(QStringLiteral("quill"), QStringLiteral("pw")), qPrintable(proxy.errorString()));
    QCOMPARE(TinyProxyPeer::basicCredentials("quill", "pw"), QByteArray("Basic cXVpbGw6cHc="));

    const QByteArray content = awkwardContent();
    const QByteArray target = m_receiver->url(QString::fromLatin1(kUploadPath)).toEncoded();
    const RawReply r =
        exchange(proxy.port(), uploadRequest(target, m_receiver->port(),
                                             uploadBody("\\2024\\p.pdf", "application/pdf", content),
                                             "Proxy-Authorization: Basic cXVpbGw6cHc=\r\n"));
    QCOMPARE(r.status, 200);
    QCOMPARE(r.body, QByteArray("OK"));
    QCOMPARE(readFile(inbox() + QStringLiteral("/2024/p.pdf")), content);

    const auto recs = m_receiver->records();
    QCOMPARE(recs.size(), 1);
    QVERIFY2(recs.first().via.contains("quillfeed-test-proxy"), qPrintable(recs.first().via));
    // The proxy keeps the credentials to itself.
    QVERIFY(!recs.first().proxyAuthorization.has_value());
    QVERIFY(proxy.logText().contains(QStringLiteral("Request")));
}

void tst_Peers::proxyRefusesBadCredentials_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("status");
    QTest::newRow("none") << QByteArray() << 407;
    QTest::newRow("wrong password") << QByteArray("Proxy-Authorization: Basic cXVpbGw6cHg=\r\n") << 401;
    QTest::newRow("wrong user") << QByteArray("Proxy-Authorization: Basic cXVpbGs6cHc=\r\n") << 401;
    QTest::newRow("unpadded") << QByteArray("Proxy-Authorization: Basic cXVpbGw6cHc\r\n") << 401;
    QTest::newRow("not Basic") << QByteArray("Proxy-Authorization: Bearer cXVpbGw6cHc=\r\n") << 401;
}

void tst_Peers::proxyRefusesBadCredentials()
{
    QFETCH(QByteArray, header);
    QFETCH(int, status);
    QVERIFY(startReceiver());
    TinyProxyPeer proxy;
    QVERIFY2(proxy.start(QStringLiteral("quill"), QStringLiteral("pw")), qPrintable(proxy.errorString()));

    const QByteArray target = m_receiver->url(QString::fromLatin1(kUploadPath)).toEncoded();
    const RawReply r =
        exchange(proxy.port(), uploadRequest(target, m_receiver->port(),
                                             uploadBody("\\a.pdf", "application/pdf", "x"), header));
    QCOMPARE(r.status, status);
    QVERIFY(r.body != "OK");
    if (status == 407)
        QCOMPARE(r.header("Proxy-Authenticate"), QByteArray("Basic realm=\"Tinyproxy\""));
    QCOMPARE(m_receiver->records().size(), 0);
    QCOMPARE(m_receiver->storedFiles(), QStringList{});
}

void tst_Peers::proxyStopsWithItsObject()
{
    quint16 port = 0;
    {
        TinyProxyPeer proxy;
        QVERIFY2(proxy.start(QStringLiteral("quill"), QStringLiteral("pw")), qPrintable(proxy.errorString()));
        port = proxy.port();
        QVERIFY(proxy.isRunning());
        QCOMPARE(proxy.address(), QStringLiteral("127.0.0.1:%1").arg(port));
    }
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!s.waitForConnected(2000));

    TinyProxyPeer bad;
    QVERIFY(!bad.start(QStringLiteral("two words"), QStringLiteral("pw")));
    QVERIFY(!bad.errorString().isEmpty());
}

// tinyproxy answers a wrong password with 401, not 407: Qt takes that for the web server's
// own answer, a reply with a status and a body, not a failure of the proxy.
void tst_Peers::qtSeesAWrongProxyPasswordAsA401()
{
    QVERIFY(startReceiver());
    TinyProxyPeer proxy;
    QVERIFY2(proxy.start(QStringLiteral("quill"), QStringLiteral("pw")), qPrintable(proxy.errorString()));
    QNetworkAccessManager nam;
    nam.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.port()));
    QNetworkRequest request(m_receiver->url(QString::fromLatin1(kUploadPath)));
    request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + QByteArray(kUploadBoundary));
    request.setRawHeader("Proxy-Authorization", TinyProxyPeer::basicCredentials("quill", "wrong"));
    QNetworkReply* reply = nam.post(request, uploadBody("\\a.pdf", "application/pdf", "x"));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(30000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 401);
    QCOMPARE(reply->error(), QNetworkReply::AuthenticationRequiredError);
    QVERIFY(!reply->readAll().isEmpty());
    reply->deleteLater();
    QCOMPARE(m_receiver->records().size(), 0);
}

// ---- https ----------------------------------------------------------------------------------

bool tst_Peers::makeCertificate()
{
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                   "-keyout", keyFile(), "-out", certFile(), "-days", "2", "-subj", "/CN=127.0.0.1",
                   "-addext", "subjectAltName=IP:127.0.0.1"});
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0) {
        qWarning("openssl: %s %s", qPrintable(openssl.errorString()),
                 openssl.readAllStandardError().constData());
        return false;
    }
    return true;
}

void tst_Peers::httpsReceiverFilesOverTls()
{
    QVERIFY(makeCertificate());
    ReceiverOptions options;
    options.tlsCertificate = certFile();
    options.tlsKey = keyFile();
    QVERIFY(startReceiver(options));
    QCOMPARE(m_receiver->url(QStringLiteral("/x")).scheme(), QStringLiteral("https"));
    // The control channel speaks TLS as well.
    QVERIFY2(m_receiver->setMode(ReceiverMode::reply("no").times(1)), qPrintable(m_receiver->errorString()));

    const QByteArray cert = readFile(certFile());
    const QByteArray request =
        uploadRequest(kUploadPath, m_receiver->port(), uploadBody("\\t.pdf", "application/pdf", "tls"));
    QCOMPARE(exchangeTls(m_receiver->port(), request, cert).body, QByteArray("no"));
    const RawReply r = exchangeTls(m_receiver->port(), request, cert);
    QCOMPARE(r.body, QByteArray("OK"));
    QCOMPARE(readFile(inbox() + QStringLiteral("/t.pdf")), QByteArray("tls"));
    // Plain http on the same port gets nowhere.
    QVERIFY(exchange(m_receiver->port(), request, 10000).body != "OK");
}

void tst_Peers::httpsGoesThroughTheProxyTunnel()
{
    QVERIFY(makeCertificate());
    ReceiverOptions options;
    options.tlsCertificate = certFile();
    options.tlsKey = keyFile();
    QVERIFY(startReceiver(options));
    TinyProxyPeer proxy;
    QVERIFY2(proxy.start(QStringLiteral("quill"), QStringLiteral("pw"), {m_receiver->port()}),
             qPrintable(proxy.errorString()));

    QNetworkAccessManager nam;
    nam.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.port(),
                               QStringLiteral("quill"), QStringLiteral("pw")));
    QNetworkRequest request(m_receiver->url(QString::fromLatin1(kUploadPath)));
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setCaCertificates(QSslCertificate::fromPath(certFile()));
    request.setSslConfiguration(ssl);
    request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + QByteArray(kUploadBoundary));
    QNetworkReply* reply = nam.post(request, uploadBody("\\2024\\t.pdf", "application/pdf", "tunnel"));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(30000));
    QVERIFY2(reply->error() == QNetworkReply::NoError, qPrintable(reply->errorString() + proxy.logText()));
    QCOMPARE(reply->readAll(), QByteArray("OK"));
    reply->deleteLater();
    QCOMPARE(readFile(inbox() + QStringLiteral("/2024/t.pdf")), QByteArray("tunnel"));
    QVERIFY(proxy.logText().contains(QStringLiteral("CONNECT")));
    // Inside the tunnel the proxy sees nothing: no Via line reaches the page.
    QVERIFY(m_receiver->records().value(0).via.isEmpty());
}

void tst_Peers::connectToAnUnlistedPortIsRefused()
{
    QVERIFY(startReceiver());
    TinyProxyPeer proxy;
    const quint16 other = m_receiver->port() == 65535 ? 65534 : m_receiver->port() + 1;
    QVERIFY2(proxy.start(QStringLiteral("quill"), QStringLiteral("pw"), {other}),
             qPrintable(proxy.errorString()));
    const QByteArray hostPort = "127.0.0.1:" + QByteArray::number(m_receiver->port());
    const RawReply r =
        exchange(proxy.port(),
                 "CONNECT " + hostPort + " HTTP/1.1\r\nHost: " + hostPort + "\r\nProxy-Authorization: " +
                     TinyProxyPeer::basicCredentials("quill", "pw") + "\r\n\r\n",
                 10000);
    QCOMPARE(r.status, 403);
    QCOMPARE(m_receiver->records().size(), 0);
}

QTEST_GUILESS_MAIN(tst_Peers)
#include "tst_peers.moc"
