// SPDX-License-Identifier: GPL-3.0-or-later
// The verdict on an answer: filed, refused for the document itself, or the
// pass stopped, and by whose word.
#include "ExchangeJudge.h"

#include <QTest>

using ExchangeJudge::Answerer;
using ExchangeJudge::AnswerVerdict;

Q_DECLARE_METATYPE(Answerer)
Q_DECLARE_METATYPE(AnswerVerdict)

class tst_AnswerVerdict : public QObject
{
    Q_OBJECT
private slots:
    void verdict_data();
    void verdict();
};

void tst_AnswerVerdict::verdict_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("cut");
    QTest::addColumn<Answerer>("who");
    QTest::addColumn<AnswerVerdict>("expected");
    const Answerer page = Answerer::Page;
    const Answerer proxy = Answerer::Proxy;
    QTest::newRow("200 OK") << 200 << QByteArray("OK") << false << page << AnswerVerdict::Filed;
    QTest::newRow("201 OK") << 201 << QByteArray("OK") << false << page << AnswerVerdict::Filed;
    QTest::newRow("299 OK") << 299 << QByteArray("OK") << false << page << AnswerVerdict::Filed;
    QTest::newRow("199 OK") << 199 << QByteArray("OK") << false << page << AnswerVerdict::Stopped;
    QTest::newRow("300 OK") << 300 << QByteArray("OK") << false << page << AnswerVerdict::Stopped;
    QTest::newRow("500 OK") << 500 << QByteArray("OK") << false << page << AnswerVerdict::Stopped;
    QTest::newRow("OK cut") << 200 << QByteArray("OK") << true << page << AnswerVerdict::Stopped;
    QTest::newRow("OK and NUL") << 200 << QByteArray("OK\0", 3) << false << page << AnswerVerdict::Stopped;
    QTest::newRow("OK and CRLF") << 200 << QByteArray("OK\r\n") << false << page << AnswerVerdict::Stopped;
    QTest::newRow("ok") << 200 << QByteArray("ok") << false << page << AnswerVerdict::Stopped;
    QTest::newRow("empty") << 200 << QByteArray() << false << page << AnswerVerdict::Stopped;
    QTest::newRow("OK of the proxy") << 200 << QByteArray("OK") << false << proxy
                                     << AnswerVerdict::ProxyRefused;
    for (int status : {413, 415, 422}) {
        QTest::addRow("%d page", status)
            << status << QByteArray("no") << false << page << AnswerVerdict::RefusedItself;
        QTest::addRow("%d proxy", status)
            << status << QByteArray() << false << proxy << AnswerVerdict::RefusedItself;
    }
    QTest::newRow("407 page") << 407 << QByteArray() << false << page << AnswerVerdict::ProxyAuth;
    QTest::newRow("407 proxy") << 407 << QByteArray() << false << proxy << AnswerVerdict::ProxyAuth;
    QTest::newRow("401 page") << 401 << QByteArray("login") << false << page << AnswerVerdict::LoginWanted;
    QTest::newRow("401 proxy") << 401 << QByteArray() << false << proxy << AnswerVerdict::ProxyAuth;
    QTest::newRow("403 proxy") << 403 << QByteArray() << false << proxy << AnswerVerdict::ProxyRefused;
    for (int status : {400, 403, 404, 405, 408, 412, 414, 416, 421, 423, 429, 500, 502, 503})
        QTest::addRow("%d page", status)
            << status << QByteArray("OK") << false << page << AnswerVerdict::Stopped;
}

void tst_AnswerVerdict::verdict()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, cut);
    QFETCH(Answerer, who);
    QFETCH(AnswerVerdict, expected);
    QCOMPARE(ExchangeJudge::answerVerdict(status, body, cut, who), expected);
    // What the pass tells apart by the status alone is the same verdict.
    QCOMPARE(ExchangeJudge::refusesTheDocument(status), expected == AnswerVerdict::RefusedItself);
}

QTEST_APPLESS_MAIN(tst_AnswerVerdict)
#include "tst_answerverdict.moc"
