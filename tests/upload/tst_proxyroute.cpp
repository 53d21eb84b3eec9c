// SPDX-License-Identifier: GPL-3.0-or-later
#include "HttpRequest.h"
#include "ProxyRoute.h"

#include <QTest>

class tst_ProxyRoute : public QObject
{
    Q_OBJECT
private slots:
    // replies
    void proxyRoute_data();
    void proxyRoute();
    void requestHeaders_data();
    void requestHeaders();
};

// ---------------------------------------------------------------- the decisions, without sockets

void tst_ProxyRoute::proxyRoute_data()
{
    QTest::addColumn<ProxyRoute::Access>("access");
    QTest::addColumn<QString>("named");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QStringList>("environment"); // NAME=value
    QTest::addColumn<QString>("proxy");           // empty: direct
    const QString http = QStringLiteral("http://office.example/p");
    const QString https = QStringLiteral("https://office.example/p");
    const ProxyRoute::Access named = ProxyRoute::Access::NamedProxy;
    const ProxyRoute::Access system = ProxyRoute::Access::SystemProxy;
    QTest::newRow("named host:port") << named << "proxy:3128" << http << QStringList() << "http://proxy:3128";
    QTest::newRow("named without port")
        << named << "http://proxy" << https << QStringList() << "http://proxy:80";
    QTest::newRow("named, loopback page")
        << named << "proxy:3128"
        << "http://127.0.0.1/p" << QStringList{"no_proxy=127.0.0.1"} << "http://proxy:3128";
    QTest::newRow("system, nothing set") << system << QString() << http << QStringList() << QString();
    QTest::newRow("system http") << system << QString() << http
                                 << QStringList{"http_proxy=p:8080", "https_proxy=s:1"} << "http://p:8080";
    QTest::newRow("system https") << system << QString() << https
                                  << QStringList{"http_proxy=p:8080", "HTTPS_PROXY=s:1"} << "http://s:1";
    QTest::newRow("system, not HTTP_PROXY")
        << system << QString() << http << QStringList{"HTTP_PROXY=p:1"} << QString();
    QTest::newRow("system all_proxy")
        << system << QString() << http << QStringList{"all_proxy=http://a:2"} << "http://a:2";
    QTest::newRow("system no_proxy domain")
        << system << QString() << http << QStringList{"http_proxy=p:1", "no_proxy=.example"} << QString();
    QTest::newRow("system no_proxy other")
        << system << QString() << http << QStringList{"http_proxy=p:1", "no_proxy=ffice.example,other"}
        << "http://p:1";
    QTest::newRow("direct") << ProxyRoute::Access::Direct << QString() << http
                            << QStringList{"http_proxy=p:1"} << QString();
}

void tst_ProxyRoute::proxyRoute()
{
    QFETCH(ProxyRoute::Access, access);
    QFETCH(QString, named);
    QFETCH(QString, url);
    QFETCH(QStringList, environment);
    QFETCH(QString, proxy);
    const auto env = [&](const char* name) {
        for (const QString& e : environment) {
            if (e.section(u'=', 0, 0) == QLatin1String(name))
                return e.section(u'=', 1).toLatin1();
        }
        return QByteArray();
    };
    QCOMPARE(QString::fromLatin1(ProxyRoute::route(access, named, QUrl(url), env).proxy), proxy);
}

void tst_ProxyRoute::requestHeaders_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("headers");
    QTest::addColumn<bool>("viaProxy");
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<QList<QByteArray>>("lines");
    QTest::addColumn<QList<QByteArray>>("proxyLines");
    const QString http = QStringLiteral("http://office/p");
    const QString https = QStringLiteral("https://office/p");
    const QList<QByteArray> tail{"User-Agent: Mozilla/5.0", "Expect:", "Accept:", "Proxy-Connection:"};
    const QByteArray quillFeed = ProxyRoute::authorization(QStringLiteral("quill"), QStringLiteral("feed"));
    QTest::newRow("caller's length dropped, type given")
        << http << "Content-Length: 9\r\nContent-Type: a/b\r\n"
        << false << QByteArray() << QList<QByteArray>{"Content-Type: a/b"} + tail << QList<QByteArray>();
    QTest::newRow("default type") << http << QString() << false << QByteArray()
                                  << QList<QByteArray>{"Content-Type: application/x-www-form-urlencoded"} +
                                         tail
                                  << QList<QByteArray>();
    QTest::newRow("empty value kept")
        << http << "X-A:\r\nContent-Type: a/b\r\n"
        << false << QByteArray() << QList<QByteArray>{"X-A;", "Content-Type: a/b"} + tail
        << QList<QByteArray>();
    QTest::newRow("proxy line to the proxy for http")
        << http << "Proxy-Authorization: Basic eA==\r\nContent-Type: a/b\r\n"
        << true << quillFeed
        << QList<QByteArray>{"Proxy-Authorization: Basic eA==", "Content-Type: a/b"} + tail
        << QList<QByteArray>();
    QTest::newRow("no proxy: the proxy line goes nowhere")
        << http << "Proxy-Authorization: Basic eA==\r\nContent-Type: a/b\r\n"
        << false << quillFeed << QList<QByteArray>{"Content-Type: a/b"} + tail << QList<QByteArray>();
    QTest::newRow("https: on the CONNECT only, padded")
        << https << "Proxy-Authorization: Basic eA==\r\nContent-Type: a/b\r\n"
        << true << quillFeed << QList<QByteArray>{"Content-Type: a/b"} + tail
        << QList<QByteArray>{"Proxy-Authorization: Basic cXVpbGw6ZmVlZA=="};
}

void tst_ProxyRoute::requestHeaders()
{
    QFETCH(QString, url);
    QFETCH(QString, headers);
    QFETCH(bool, viaProxy);
    QFETCH(QByteArray, authorization);
    QFETCH(QList<QByteArray>, lines);
    QFETCH(QList<QByteArray>, proxyLines);
    const HttpRequest::Request r =
        HttpRequest::build(url, QStringLiteral("post"), headers, viaProxy, authorization, 3);
    QCOMPARE(r.verb, QByteArray("POST"));
    QCOMPARE(HttpRequest::wireLines(r.headers, r.suppressed), lines);
    QCOMPARE(HttpRequest::wireLines(r.proxyHeaders), proxyLines);
}

QTEST_GUILESS_MAIN(tst_ProxyRoute)
#include "tst_proxyroute.moc"
