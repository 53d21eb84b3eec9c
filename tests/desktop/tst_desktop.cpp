// SPDX-License-Identifier: GPL-3.0-or-later
// When the desktop hears that filing stopped, and the notification itself,
// against a stand-in notification service on a private session bus.
#include "DesktopBus.h"
#include "DesktopNotifier.h"
#include "FilingWatch.h"

#include <QSignalSpy>
#include <QtTest>

class TestDesktop : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void watchSpeaksOnceWhileFilingStaysDown_data();
    void watchSpeaksOnceWhileFilingStaysDown();
    void notifierReachesTheServiceAndBearsItsAbsence();

private:
    PrivateSessionBus m_bus;
};

void TestDesktop::initTestCase()
{
    const QString why = m_bus.start();
    QVERIFY2(why.isEmpty(), qPrintable(why));
}

void TestDesktop::watchSpeaksOnceWhileFilingStaysDown_data()
{
    // Each pass: "f" filed something, "x" ended on a failure, "-" neither; "r"
    // ended on the page refusing one document, "R" filed others and then ended
    // on it, "c" ended on it changed since; "d" the page refused that document
    // for itself and the pass went through. A number before it: the minutes
    // since the start. Expected: what the desktop hears after each pass (D
    // down, R reminder, U up again, . nothing).
    QTest::addColumn<QStringList>("passes");
    QTest::addColumn<QString>("heard");
    QTest::newRow("down at the start, once per outage")
        << QStringList{"0x", "1x", "2x", "3f", "4f"} << "D..U.";
    QTest::newRow("filed, then the page goes down") << QStringList{"0f", "1f", "2x", "3x", "30x"} << "..D..";
    QTest::newRow("one reminder after a long while")
        << QStringList{"0x", "119x", "120x", "121x", "500x", "501f"} << "D.R..U";
    QTest::newRow("a pass that files and ends on a refusal is filing")
        << QStringList{"0f", "1x", "2f", "3f"} << ".DU.";
    QTest::newRow("empty folder is no news") << QStringList{"0-", "1-", "2x", "3-", "4f"} << "..D.U";
    QTest::newRow("a second outage is told again") << QStringList{"0x", "1f", "2x", "200f"} << "DUDU";
    // An office with one document the page never takes hears of it once, not
    // "stopped" and "resumed" by turns all day; changed, it is news again.
    QTest::newRow("one document refused every time")
        << QStringList{"0r", "1R", "2r", "3R", "4r", "5c"} << "DU...D";
    QTest::newRow("refused while others were filed, then alone") << QStringList{"0R", "1r", "2r"} << ".D.";
    QTest::newRow("refused for itself") << QStringList{"0d", "1f", "2d", "3d"} << "DU..";
}

void TestDesktop::watchSpeaksOnceWhileFilingStaysDown()
{
    QFETCH(QStringList, passes);
    QFETCH(QString, heard);
    FilingWatch watch;
    const QDateTime start(QDate(2026, 12, 8), QTime(9, 0));
    QString got;
    for (const QString& pass : passes) {
        const int minutes = pass.chopped(1).toInt();
        const QChar kind = pass.back();
        PassReport report;
        report.filed = QStringLiteral("fR").contains(kind) ? 2 : 0;
        if (kind == u'x')
            report.stopped = QStringLiteral("no answer");
        if (QStringLiteral("rRcd").contains(kind)) {
            FileStamp stamp{1, 2, kind == u'c' ? 11 : 10, 3};
            report.refused.push_back({"/big.pdf", stamp, "the web page answered 413", report.filed});
            report.stoppedOnRefusal = kind != u'd';
            if (report.stoppedOnRefusal)
                report.stopped = report.refused.back().answer;
        }
        const auto notice = watch.passEnded(report, start.addSecs(minutes * 60));
        if (!notice)
            got += u'.';
        else if (!notice->trouble)
            got += u'U';
        else
            got += notice->summary.contains(QLatin1String("still")) ? u'R' : u'D';
    }
    QCOMPARE(got, heard);
}

void TestDesktop::notifierReachesTheServiceAndBearsItsAbsence()
{
    DesktopNotifier notifier;
    QSignalSpy notShown(&notifier, &DesktopNotifier::notShown);

    // No notification service on the bus: a line for the log, nothing else.
    notifier.notify(QStringLiteral("down"), QStringLiteral("why"), true);
    QTRY_COMPARE(notShown.count(), 1);

    StandInNotifications service;
    QVERIFY(m_bus.offerNotifications(service));

    notifier.notify(QStringLiteral("Quillfeed: documents are not reaching the web page"),
                    QStringLiteral("why"), true);
    QTRY_COMPARE(service.shown.size(), 1);
    QTRY_COMPARE(notifier.lastId(), 41u); // the service's answer is awaited without blocking
    notifier.notify(QStringLiteral("Quillfeed: documents reach the web page again"), QString(), false);
    QTRY_COMPARE(service.shown.size(), 2);
    QCOMPARE(service.shown[0].urgency, 2);
    QCOMPARE(service.shown[0].replaces, 0u);
    // The word that filing resumed takes the place of the one that it stopped.
    QCOMPARE(service.shown[1].replaces, 41u);
    QCOMPARE(service.shown[1].urgency, 1);
    QCOMPARE(notShown.count(), 1);
    m_bus.withdrawNotifications();
}

QTEST_GUILESS_MAIN(TestDesktop)
#include "tst_desktop.moc"
