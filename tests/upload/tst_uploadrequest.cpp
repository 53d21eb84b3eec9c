// SPDX-License-Identifier: GPL-3.0-or-later
#include "AnswerText.h"
#include "UploadRequest.h"

#include <QTest>

class tst_UploadRequest : public QObject
{
    Q_OBJECT
private slots:
    // replies
    void boundaryAvoidsTheContent_data();
    void boundaryAvoidsTheContent();
    void ruleForExtension_data();
    void ruleForExtension();
    void htmlAnswerAsText_data();
    void htmlAnswerAsText();
};

// ---------------------------------------------------------------- the decisions, without sockets

void tst_UploadRequest::boundaryAvoidsTheContent_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("boundary");
    const QByteArray usual = UploadRequest::Boundary;
    QTest::newRow("empty") << QByteArray() << usual;
    QTest::newRow("all but its last byte, at the end") << "%PDF " + usual.chopped(1) << usual;
    QTest::newRow("holds it") << "a\r\n--" + usual + "\r\nb" << usual + "00000001";
    QTest::newRow("at the very start") << usual + "x" << usual + "00000001";
    QTest::newRow("holds it and its first longer form") << "x" + usual + "00000001" << usual + "00000002";
}

void tst_UploadRequest::boundaryAvoidsTheContent()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, boundary);
    QCOMPARE(UploadRequest::boundaryFor(content), boundary);
}

void tst_UploadRequest::htmlAnswerAsText_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("text");
    QTest::newRow("heading and text") << QByteArray("<html><body><h1>Internal Server Error</h1>Database "
                                                    "unavailable</body></html>")
                                      << "Internal Server Error - Database unavailable";
    QTest::newRow("title said again by its heading")
        << QByteArray("<!DOCTYPE html>\n<html><head><title>404 Not Found</title><style>h1 {x: y}</style>"
                      "</head><body><center><h1>Not Found</h1></center><hr><center>nginx</center>")
        << "404 Not Found - nginx";
    QTest::newRow("entities, inline markup, comments, scripts")
        << QByteArray("<p>Fehler &amp; <b>Ausfall</b>&#33; &lt;x&gt; &#x263A;<!-- <p>hidden</p> --></p>"
                      "<script>var p = '<p>no</p>';</script>")
        << QString::fromUtf8("Fehler & Ausfall! <x> \u263A");
    QTest::newRow("cut after a sentence")
        << QByteArray("<p>") + QByteArray("The page is down. ").repeated(20) + "</p>"
        << QStringLiteral("The page is down.")
               .repeated(11)
               .replace(QLatin1String(".T"), QLatin1String(". T"));
    QTest::newRow("not HTML") << QByteArray("ERROR: a < b and c > d") << QString();
    QTest::newRow("markup without text") << QByteArray("<html><body><p> </p></body></html>") << QString();
}

void tst_UploadRequest::htmlAnswerAsText()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, text);
    QCOMPARE(AnswerText::fromHtml(body), text);
}

void tst_UploadRequest::ruleForExtension_data()
{
    QTest::addColumn<QString>("extension");
    QTest::addColumn<int>("action");
    QTest::addColumn<QByteArray>("contentType");
    const int send = int(UploadRequest::Action::Send);
    const int skip = int(UploadRequest::Action::Skip);
    QTest::newRow("tif converted to a PDF")
        << "tif" << int(UploadRequest::Action::Convert) << QByteArray("application/pdf");
    QTest::newRow("xtif sent as it is") << "xtif" << send << QByteArray("application/tif");
    QTest::newRow("jpeg") << "jpeg" << send << QByteArray("application/xtype");
    QTest::newRow("jpg is not jpeg") << "jpg" << skip << QByteArray();
    QTest::newRow("tiff is not tif") << "tiff" << skip << QByteArray();
    QTest::newRow("a part of pdf") << "pd" << skip << QByteArray();
    QTest::newRow("no extension") << "" << skip << QByteArray();
}

void tst_UploadRequest::ruleForExtension()
{
    QFETCH(QString, extension);
    QFETCH(int, action);
    QFETCH(QByteArray, contentType);
    const UploadRequest::TypeRule rule = UploadRequest::ruleForExtension(extension);
    QCOMPARE(int(rule.action), action);
    QCOMPARE(rule.contentType, contentType);
}

QTEST_GUILESS_MAIN(tst_UploadRequest)
#include "tst_uploadrequest.moc"
