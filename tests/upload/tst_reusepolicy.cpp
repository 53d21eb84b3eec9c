// SPDX-License-Identifier: GPL-3.0-or-later
#include "ReusePolicy.h"

#include <QTest>

class tst_ReusePolicy : public QObject
{
    Q_OBJECT
private slots:
    // replies
    void reuseDecision_data();
    void reuseDecision();
};

// ---------------------------------------------------------------- the decisions, without sockets

void tst_ReusePolicy::reuseDecision_data()
{
    using H = ReusePolicy::Habit;
    QTest::addColumn<int>("habit");
    QTest::addColumn<QString>("keptPeer");
    QTest::addColumn<qint64>("idleMs");
    QTest::addColumn<qint64>("turnaroundMs");
    QTest::addColumn<bool>("stirred");
    QTest::addColumn<bool>("reuse");
    QTest::addColumn<qint64>("settleMs");
    const QString p = QStringLiteral("http://office:80|");
    QTest::newRow("nothing kept") << int(H::Unknown) << QString() << 0LL << 0LL << false << false << 0LL;
    QTest::newRow("kept for another peer")
        << int(H::Keeps) << "https://office:443|" << 0LL << 0LL << false << false << 0LL;
    QTest::newRow("first reuse waits")
        << int(H::Unknown) << p << 10LL << 1LL << false << true << ReusePolicy::MinSettleMs - 10;
    QTest::newRow("first reuse after a slow answer")
        << int(H::Unknown) << p << 0LL << 5000LL << false << true << ReusePolicy::SettleMs;
    QTest::newRow("trusted peer goes at once") << int(H::Keeps) << p << 0LL << 1LL << false << true << 0LL;
    QTest::newRow("idle too long") << int(H::Keeps) << p << ReusePolicy::DefaultSafeIdleMs << 1LL << false
                                   << false << 0LL;
    QTest::newRow("stray bytes or a close while idle")
        << int(H::Keeps) << p << 0LL << 1LL << true << false << 0LL;
    QTest::newRow("peer that closes") << int(H::Closes) << p << 0LL << 1LL << false << false << 0LL;
    QTest::newRow("page that strays") << int(H::Strays) << p << 0LL << 1LL << false << false << 0LL;
}

void tst_ReusePolicy::reuseDecision()
{
    QFETCH(int, habit);
    QFETCH(QString, keptPeer);
    QFETCH(qint64, idleMs);
    QFETCH(qint64, turnaroundMs);
    QFETCH(bool, stirred);
    QFETCH(bool, reuse);
    QFETCH(qint64, settleMs);
    const ReusePolicy::Decision d =
        ReusePolicy::decide(QStringLiteral("http://office:80|"), static_cast<ReusePolicy::Habit>(habit),
                            {keptPeer, idleMs, turnaroundMs, stirred});
    QCOMPARE(d.reuse, reuse);
    QCOMPARE(d.settleMs, settleMs);
    // A server that said or showed how long it keeps an idle connection; HTTP/2 needs no settling.
    ReusePolicy::Kept said{QStringLiteral("http://office:80|"), 3000, 1, false,
                           ReusePolicy::safeIdleFor(5000)};
    QVERIFY(ReusePolicy::decide(said.peer, ReusePolicy::Habit::Keeps, said).reuse);
    said.safeIdleMs = ReusePolicy::safeIdleFor(2000);
    QVERIFY(!ReusePolicy::decide(said.peer, ReusePolicy::Habit::Keeps, said).reuse);
    said = {QStringLiteral("http://office:80|"), 10, 1, false, ReusePolicy::DefaultSafeIdleMs, true};
    QCOMPARE(ReusePolicy::decide(said.peer, ReusePolicy::Habit::Unknown, said).settleMs, 0LL);
    QCOMPARE(ReusePolicy::safeIdleFor(500), 250LL);

    // What shows on an idle connection: bytes soon after an answer on plain http
    // may be a copied answer; a close soon after is the peer's way; a close, a
    // TLS close notice or a 408 once it has idled is the server's keep-alive time.
    using H = ReusePolicy::Habit;
    using L = ReusePolicy::Lesson;
    QCOMPARE(ReusePolicy::lessonOf({100, true, false, false}), L::Strays);
    QCOMPARE(ReusePolicy::lessonOf({100, true, true, false}), L::Closes);
    QCOMPARE(ReusePolicy::lessonOf({100, false, false, false}), L::Closes);
    QCOMPARE(ReusePolicy::lessonOf({1999, false, false, false}), L::Nothing);
    QCOMPARE(ReusePolicy::lessonOf({1000, true, false, true}), L::Nothing);
    QCOMPARE(ReusePolicy::lessonOf({1000, true, true, false}), L::Nothing);
    QCOMPARE(ReusePolicy::lessonOf({2500, true, false, false}), L::Nothing);
    QCOMPARE(ReusePolicy::learn(H::Unknown, L::Keeps), H::Keeps);
    QCOMPARE(ReusePolicy::learn(H::Keeps, L::Closes), H::Closes);
    QCOMPARE(ReusePolicy::learn(H::Closes, L::Keeps), H::Closes);
    QCOMPARE(ReusePolicy::learn(H::Strays, L::Closes), H::Strays);
}

QTEST_GUILESS_MAIN(tst_ReusePolicy)
#include "tst_reusepolicy.moc"
