// SPDX-License-Identifier: GPL-3.0-or-later
#include "ExchangeJudge.h"
#include "ReusePolicy.h"

#include <QTest>

class tst_ExchangeJudge : public QObject
{
    Q_OBJECT
private slots:
    // replies
    void exchangeVerdict_data();
    void exchangeVerdict();
};

// ---------------------------------------------------------------- the decisions, without sockets

void tst_ExchangeJudge::exchangeVerdict_data()
{
    using E = ExchangeFacts::Ending;
    using K = ExchangeJudge::Verdict::Kind;
    using L = ReusePolicy::Lesson;
    QTest::addColumn<int>("ending");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("interim");
    QTest::addColumn<int>("uploaded"); // of 100
    QTest::addColumn<QString>("how");  // n: new connection, 2: HTTP/2, k: left open, c: close announced,
                                       // r: resend refused, R: reuse allowed, t: second attempt,
                                       // b/x/z: bytes, close, reset behind the answer,
                                       // h: the body taken by the library, though none reported sent
    QTest::addColumn<int>("idleMs");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("lesson");
    QTest::addColumn<bool>("doubt");
    QTest::addColumn<QString>("text"); // a piece of the failure's text
    const int C = int(E::Complete);
    const int B = int(E::BrokenOff);
    const int A = int(K::Answer);
    const int F = int(K::Failure);
    QTest::newRow("answer on a new connection")
        << C << 200 << 0 << 100 << "nk" << 0 << A << int(L::Nothing) << false << QString();
    QTest::newRow("first answer on a kept connection")
        << C << 200 << 0 << 100 << "kR" << 60 << A << int(L::Keeps) << false << QString();
    QTest::newRow("kept one found closed right behind its answer")
        << C << 200 << 0 << 100 << "nkR" << 60 << A << int(L::Closes) << false << QString();
    QTest::newRow("kept one found closed once idle")
        << C << 200 << 0 << 100 << "nkR" << 1200 << A << int(L::Nothing) << false << QString();
    QTest::newRow("kept one dead under the request, nothing sent")
        << B << 0 << 0 << 0 << "rR" << 1200 << int(K::Again) << int(L::Nothing) << false << QString();
    // libcurl counts what it sent anew on its second connection: the body it
    // took may have reached the page on the first.
    QTest::newRow("second connection refused, the body taken")
        << B << 0 << 0 << 0 << "rhR" << 1200 << F << int(L::Closes) << false << "closed the kept connection";
    QTest::newRow("reset before anything went")
        << B << 0 << 0 << 0 << "n" << 0 << int(K::Again) << int(L::Nothing) << false << QString();
    QTest::newRow("nothing sent, second attempt")
        << B << 0 << 0 << 0 << "rRt" << 1200 << F << int(L::Closes) << false << "closed the kept connection";
    // An HTTP/2 stream the page refused reads, in libcurl's words, as a dead connection.
    QTest::newRow("kept HTTP/2 connection, the request ended unanswered")
        << B << 0 << 0 << 0 << "rhRm" << 100 << F << int(L::Nothing) << false << "kept HTTP/2 connection";
    QTest::newRow("kept one dead with the body out")
        << B << 0 << 0 << 50 << "rR" << 1200 << F << int(L::Closes) << false << "closed the kept connection";
    QTest::newRow("page down") << int(E::NoConnection) << 0 << 0 << 0 << "" << 0 << F << int(L::Nothing)
                               << false << QString();
    QTest::newRow("not HTTP on the kept connection") << int(E::NotHttp) << 0 << 0 << 100 << "R" << 60 << F
                                                     << int(L::Strays) << true << "may already have it";
    QTest::newRow("HTTP/2 stream failure is no crossing")
        << int(E::Other) << 0 << 0 << 100 << "2R" << 60 << F << int(L::Nothing) << false << QString();
    QTest::newRow("a flood of interim answers")
        << B << 0 << 20000 << 100 << "n" << 0 << F << int(L::Nothing) << false << "20000 interim answers";
    QTest::newRow("header too large") << int(E::HeaderTooLarge) << 0 << 0 << 100 << "n" << 0 << F
                                      << int(L::Nothing) << false << "too large to read";
    QTest::newRow("OK before the whole document")
        << C << 200 << 0 << 50 << "nk" << 0 << F << int(L::Nothing) << false << "before it had the whole";
    QTest::newRow("refusal broken off")
        << B << 413 << 0 << 50 << "n" << 0 << A << int(L::Nothing) << false << QString();
    QTest::newRow("let go with more behind the answer")
        << C << 200 << 0 << 100 << "R" << 60 << F << int(L::Strays) << true << "cannot be told";
    QTest::newRow("let go as announced")
        << C << 200 << 0 << 100 << "cR" << 60 << A << int(L::Keeps) << false << QString();
    QTest::newRow("HTTP/2 let go") << C << 200 << 0 << 100 << "2R" << 60 << A << int(L::Nothing) << false
                                   << QString();
    QTest::newRow("reset behind the answer")
        << C << 200 << 0 << 100 << "nkz" << 0 << F << int(L::Closes) << false << "reset the connection";
    QTest::newRow("bytes behind the answer on a kept connection")
        << C << 200 << 0 << 100 << "kRb" << 60 << F << int(L::Strays) << true << "cannot be told";
    QTest::newRow("close behind the answer on a kept connection")
        << C << 200 << 0 << 100 << "kRx" << 60 << A << int(L::Closes) << false << QString();
}

void tst_ExchangeJudge::exchangeVerdict()
{
    QFETCH(int, ending);
    QFETCH(int, status);
    QFETCH(int, interim);
    QFETCH(int, uploaded);
    QFETCH(QString, how);
    QFETCH(int, idleMs);
    QFETCH(int, kind);
    QFETCH(int, lesson);
    QFETCH(bool, doubt);
    QFETCH(QString, text);
    ExchangeFacts f;
    f.ending = static_cast<ExchangeFacts::Ending>(ending);
    f.status = status;
    f.interim = interim;
    f.reason = ExchangeJudge::standardReason(status);
    f.bodySize = 100;
    f.uploaded = uploaded;
    f.handed = how.contains(u'h') ? 100 : uploaded;
    f.newConnection = how.contains(u'n');
    f.http2 = how.contains(u'2');
    f.keptSocket = how.contains(u'k') ? 7 : -1;
    f.closeAnnounced = how.contains(u'c');
    f.resendRefused = how.contains(u'r');
    f.text = QStringLiteral("what the library said");
    ExchangeJudge::Circumstances c;
    c.reuseAllowed = how.contains(u'R');
    c.multiplexed = how.contains(u'm');
    c.idleMs = idleMs;
    c.retried = how.contains(u't');
    c.bytesBehind = how.contains(u'b');
    c.closeBehind = how.contains(u'x');
    c.resetBehind = how.contains(u'z');
    const ExchangeJudge::Verdict v = ExchangeJudge::judge(f, c);
    QCOMPARE(int(v.kind), kind);
    QCOMPARE(int(v.lesson), lesson);
    QCOMPARE(v.doubt, doubt);
    QVERIFY2(v.text.contains(text), qPrintable(v.text));
    if (v.kind == ExchangeJudge::Verdict::Kind::Failure && uploaded < 100)
        QVERIFY(!v.delivered); // never "may have filed it" for a document the page has not had whole
}

QTEST_GUILESS_MAIN(tst_ExchangeJudge)
#include "tst_exchangejudge.moc"
