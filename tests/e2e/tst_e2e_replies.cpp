// SPDX-License-Identifier: GPL-3.0-or-later
// Every way the receiving page can answer, or fail to: the documents are filed
// exactly once or kept, and the next Force Transfer files what was kept.
#include "E2e.h"
#include "StationTest.h"

#include "InetControl.h"
#include "ProgressPane.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

using namespace E2e;
using namespace TestSupport;

Q_DECLARE_METATYPE(TestSupport::ReceiverMode)

namespace {

const QString kRefusal = QStringLiteral("Error filing scan. Please try 'Force Transfer' in 10 minutes.");

void putThree(Ledger& ledger, const QString& tag)
{
    ledger.put(QStringLiteral("/a.pdf"), "%PDF-1.4 document a of " + tag.toUtf8());
    ledger.put(QStringLiteral("/2024/b.txt"), "document b of " + tag.toUtf8());
    ledger.put(QStringLiteral("/2024/x/c.png"), QByteArray("\x89PNG\r\n\x1a\n\0", 9) + tag.toUtf8());
}

} // namespace

class TestE2eReplies : public StationTest
{
    Q_OBJECT
private slots:

    void receiverAnswers_data();
    void receiverAnswers();
    void slowReplyWhileTicksAndClicksArrive();
    void forceTransferWhileTheOkTrickles();
    void forceTransferWhileThePageFiles_data();
    void forceTransferWhileThePageFiles();
    void receiverDownThenUp();
    void refusedDocumentHoldsNothingBack_data();
    void refusedDocumentHoldsNothingBack();
};

void TestE2eReplies::receiverAnswers_data()
{
    QTest::addColumn<ReceiverMode>("mode");
    QTest::addColumn<bool>("answered"); // an HTTP answer came (a refusal), or none (a failure)
    QTest::newRow("files everything") << ReceiverMode::ok() << true;
    // Longer than the time allowed for progress while sending: the request was
    // delivered, so the answer is awaited and the document goes once.
    QTest::newRow("files after a long wait") << ReceiverMode::late(3000).times(1) << true;
    QTest::newRow("OK on a 500 page") << ReceiverMode::reply("OK", 500).times(1) << true;
    QTest::newRow("refuses") << ReceiverMode::reply("Not filed: the office is closed").times(1) << true;
    QTest::newRow("answers ok") << ReceiverMode::reply("ok").times(1) << true;
    QTest::newRow("empty body") << ReceiverMode::reply("").times(1) << true;
    QTest::newRow("500 page") << ReceiverMode::httpStatus(500).times(1) << true;
    QTest::newRow("2 MB HTML error page") << ReceiverMode::bigPage(2 * 1024 * 1024).times(1) << true;
    QTest::newRow("closes before answering") << ReceiverMode::closeAfterHeaders().times(1) << false;
    QTest::newRow("closes after the body") << ReceiverMode::closeAfterBody().times(1) << false;
    QTest::newRow("never answers") << ReceiverMode::hang().times(1) << false;
}

void TestE2eReplies::receiverAnswers()
{
    QFETCH(ReceiverMode, mode);
    QFETCH(bool, answered);
    const bool baseline = mode.name == QLatin1String("ok");
    const bool delivered = mode.name == QLatin1String("close-body") || mode.name == QLatin1String("hang");
    ReceiverOptions options;
    options.mode = mode;
    QVERIFY2(receiver->start(st->inbox, options), qPrintable(receiver->errorString()));
    Ledger ledger(*st);
    putThree(ledger, QString::fromLatin1(QTest::currentDataTag()));
    st->writeSettings(receiver->url(QStringLiteral("/district/saveTAVscan.asp")).toString());
    w = st->start();
    w->Inet1->setRequestTimeoutMs(1500);
    w->Inet1->setReplyTimeoutMs(5000);

    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    Tally t;
    if (baseline) {
        QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
        E2E_CHECK(ledger, *receiver, QStringLiteral("receiver %1").arg(QTest::currentDataTag()), t);
        QCOMPARE(t.filed, 3);
    } else {
        QVERIFY2(receiver->waitForRecords(1), qPrintable(receiver->errorString()));
        if (mode.name == QLatin1String("hang")) {
            // The operator sees the wait counted, and what Force Transfer would do.
            QVERIFY2(waitUntil([&] {
                         return w->progress->text()->text() ==
                                QLatin1String(
                                    "Waiting for the web page's answer: 2 s\nForce Transfer waits.");
                     }),
                     qPrintable(w->progress->text()->text()));
        }
        QVERIFY2(waitUntil([&] { return !w->uploadInFlight(); }), qPrintable(w->statusText()));
        // The pass halts at the file that was not filed; nothing was sent after it.
        QCOMPARE(receiver->records().size(), 1);
        E2E_CHECK(ledger, *receiver, QStringLiteral("receiver %1").arg(QTest::currentDataTag()), t);
        QCOMPARE(t.filed, 0);
        QCOMPARE(t.kept, 3);
        if (answered)
            QVERIFY2(w->statusText().contains(kRefusal), qPrintable(w->statusText().left(2000)));
        else
            QVERIFY2(w->statusText().startsWith(QLatin1String("Transfer failed: ")),
                     qPrintable(w->statusText()));
        // An error page is said in words above the lines that say what it means.
        if (mode.name == QLatin1String("status"))
            QVERIFY2(w->statusText().startsWith(QLatin1String(
                         "The web page says: 500 Error - The page could not file the document.\r\n")),
                     qPrintable(w->statusText().left(2000)));
        // The operator learns that the page may have the document already, once,
        // with what to do, and not also that it simply goes again.
        if (delivered) {
            QVERIFY2(
                w->statusText().contains(QLatin1String("which may already have filed it. Check the page")),
                qPrintable(w->statusText()));
            QVERIFY2(!w->statusText().contains(QLatin1String("goes again with the next pass")),
                     qPrintable(w->statusText()));
        }
    }

    // The window still answers, and the next pass files what was kept.
    QVERIFY(answersForceTransfer(*w));
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    E2E_CHECK(ledger, *receiver,
              QStringLiteral("receiver %1, then a Force Transfer").arg(QTest::currentDataTag()), t);
    QCOMPARE(t.filed, 3);
}

void TestE2eReplies::slowReplyWhileTicksAndClicksArrive()
{
    ReceiverOptions options;
    options.mode = ReceiverMode::slow("OK", 100);
    QVERIFY2(receiver->start(st->inbox, options), qPrintable(receiver->errorString()));
    Ledger ledger(*st);
    for (int i = 0; i < 6; ++i)
        ledger.put(QStringLiteral("/slow%1.pdf").arg(i), "%PDF-1.4 slow " + QByteArray::number(i));
    st->writeSettings(receiver->url().toString());
    w = st->start();
    w->lblUnattended_Click();
    w->chkAutoRead->setChecked(true);

    // Ticks keep arriving all along; Force Transfer is clicked now and then while
    // replies trickle in, one byte every 100 ms. A click must never send a document
    // again that the page has already received.
    QTimer ticks;
    connect(&ticks, &QTimer::timeout, w.get(), &frmMain::Timer1_Timer);
    ticks.start(40);
    int clicks = 0;
    QTimer clicker;
    connect(&clicker, &QTimer::timeout, w.get(), [&] {
        if (++clicks > 4)
            clicker.stop();
        else
            QTest::mouseClick(w->CmdStartTransfer[1], Qt::LeftButton);
    });
    clicker.start(330);
    QTest::mouseClick(w->CmdStartTransfer[1], Qt::LeftButton);
    const bool drained = waitUntil(
        [&] {
            return !clicker.isActive() && !w->uploadInFlight() && w->fileListEntries().isEmpty() &&
                   QDir(st->scans).entryList(QDir::Files).isEmpty();
        },
        90000);
    ticks.stop();
    QVERIFY2(drained, qPrintable(w->statusText().left(3000)));
    QVERIFY(w->lastFired->text().startsWith(QLatin1String("Last Read @ ")));

    Tally t = ledger.check(*receiver);
    qInfo().noquote() << t.line(QStringLiteral("slow reply while ticks and clicks arrive"));
    QCOMPARE(t.duplicates, 0);
    QCOMPARE(t.lost, 0);
    QCOMPARE(t.corrupt, 0);
    QVERIFY2(t.strays.isEmpty() && t.unknownFiled.isEmpty(), qPrintable(t.explain()));
    QCOMPARE(t.filed + t.duplicates, 6);
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eReplies::forceTransferWhileTheOkTrickles()
{
    // The page files the document and answers "OK" slowly; the operator presses
    // Force Transfer in between.
    ReceiverOptions options;
    options.mode = ReceiverMode::slow("OK", 1500).times(1);
    QVERIFY2(receiver->start(st->inbox, options), qPrintable(receiver->errorString()));
    Ledger ledger(*st);
    // Big enough for Qt to report its upload (see forceTransferWhileThePageFiles for a small one).
    ledger.put(QStringLiteral("/once.pdf"), "%PDF-1.4 to be filed once " + QByteArray(64 * 1024, 'o'));
    st->writeSettings(receiver->url().toString());
    w = st->start();
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY(receiver->waitForRecords(1));
    QVERIFY(!receiver->records().first().storedPath.isEmpty()); // the office has filed it
    QVERIFY(w->uploadInFlight());
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    // The request had reached the page: its answer is awaited, not thrown away and sent again.
    QVERIFY2(w->statusText().contains(
                 QStringLiteral("The last request has reached the web page; waiting for its answer.")),
             qPrintable(w->statusText()));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("Force Transfer while the OK trickles in"), t);
    QCOMPARE(t.filed, 1);
    QCOMPARE(receiver->records().size(), 1);
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eReplies::forceTransferWhileThePageFiles_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("small document") << 200;
    QTest::newRow("200 KB document") << 200 * 1024;
}

void TestE2eReplies::forceTransferWhileThePageFiles()
{
    // The page has read the whole request and is still at work (no answer yet, not even
    // its headers) when the operator presses Force Transfer.
    QFETCH(int, size);
    ReceiverOptions options;
    options.mode = ReceiverMode::hang().times(1);
    QVERIFY2(receiver->start(st->inbox, options), qPrintable(receiver->errorString()));
    Ledger ledger(*st);
    ledger.put(QStringLiteral("/busy.pdf"), "%PDF-1.4 " + QByteArray(size, 'b'));
    st->writeSettings(receiver->url().toString());
    w = st->start();
    w->Inet1->setRequestTimeoutMs(3000);
    w->Inet1->setReplyTimeoutMs(3000);
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY(receiver->waitForRecords(1));
    QCOMPARE(receiver->records().first().bodySize > size, true); // the page has all of it
    QVERIFY(waitUntil([&] { return w->uploadInFlight(); }));
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    const QString afterClick = w->statusText();
    QVERIFY2(waitUntil([&] { return !w->uploadInFlight() && !w->Inet1->StillExecuting(); }),
             qPrintable(w->statusText()));
    qInfo().noquote() << "Force Transfer while the page works on a" << QTest::currentDataTag() << "->"
                      << afterClick.section(QStringLiteral("\r\n"), -2, -2);
    // The request had reached the page: it must not be thrown away and sent again.
    QVERIFY2(afterClick.contains(
                 QStringLiteral("The last request has reached the web page; waiting for its answer.")),
             qPrintable(afterClick));
    Tally t;
    E2E_CHECK(ledger, *receiver,
              QStringLiteral("Force Transfer while the page files a %1").arg(QTest::currentDataTag()), t);
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eReplies::receiverDownThenUp()
{
    QVERIFY2(receiver->start(st->inbox), qPrintable(receiver->errorString()));
    Relay address(receiver->port());
    QVERIFY(address.up());
    const quint16 port = address.port();
    address.down();
    Ledger ledger(*st);
    ledger.put(QStringLiteral("/down1.pdf"), "%PDF-1.4 sent when the page is back (1)");
    ledger.put(QStringLiteral("/sub/down2.txt"), "sent when the page is back (2)");
    st->writeSettings(QStringLiteral("http://127.0.0.1:%1/upload").arg(port));
    w = st->start();
    w->lblUnattended_Click();
    w->chkAutoRead->setChecked(true);

    w->Timer1_Timer();
    QVERIFY2(waitUntil([&] { return !w->uploadInFlight(); }), qPrintable(w->statusText()));
    QVERIFY2(w->statusText().startsWith(QLatin1String("Transfer failed: ")), qPrintable(w->statusText()));
    w->Timer1_Timer(); // a second tick while the page is down fails the same way
    QVERIFY2(waitUntil([&] { return !w->uploadInFlight(); }), qPrintable(w->statusText()));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("receiver down"), t);
    QCOMPARE(t.kept, 2);
    QVERIFY(receiver->records().isEmpty());
    // The desktop hears it once, not at every tick.
    QTRY_COMPARE(desktop.shown.size(), 1);
    QCOMPARE(desktop.shown[0].summary, QStringLiteral("Quillfeed: documents are not reaching the web page"));
    QVERIFY2(desktop.shown[0].body.contains(QLatin1String("Couldn't connect")),
             qPrintable(desktop.shown[0].body));
    QCOMPARE(desktop.shown[0].urgency, 2);

    // The page comes back on the same address: the next tick sends, and the pass runs on.
    QVERIFY(address.up());
    QCOMPARE(address.port(), port);
    w->Timer1_Timer();
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    E2E_CHECK(ledger, *receiver, QStringLiteral("receiver down, then up again"), t);
    QCOMPARE(t.filed, 2);
    QTRY_COMPARE(desktop.shown.size(), 2);
    QCOMPARE(desktop.shown[1].summary, QStringLiteral("Quillfeed: documents reach the web page again"));
    QCOMPARE(desktop.shown[1].replaces, 41u);
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eReplies::refusedDocumentHoldsNothingBack_data()
{
    QTest::addColumn<bool>("refusedFirst");
    QTest::addColumn<int>("laterAtTick");
    QTest::addColumn<QStringList>("told");
    // The one that arrived goes ahead of it at the next tick. The pass that
    // refused it filed others, and the ticks after leave it to its wait: no
    // pass ended on it with nothing filed, so the desktop has heard nothing yet.
    QTest::newRow("refused first") << true << 2 << QStringList();
    QTest::newRow("refused last") << false << 1 << QStringList();
}

void TestE2eReplies::refusedDocumentHoldsNothingBack()
{
    // A page with a size cap refuses one document, every time, and files the
    // others.
    QFETCH(bool, refusedFirst);
    QFETCH(int, laterAtTick);
    QFETCH(QStringList, told);
    QVERIFY2(receiver->start(st->inbox), qPrintable(receiver->errorString()));
    Ledger ledger(*st);
    putThree(ledger, QStringLiteral("a page that refuses one"));
    ledger.put(QStringLiteral("/2024/big.pdf"), "%PDF-1.4 refused by the page every time");
    st->writeSettings(receiver->url(QStringLiteral("/upload")).toString());
    w = st->start();
    const QString refused = refusedFirst ? w->fileListEntries().first() : w->fileListEntries().last();
    ReceiverMode mode = ReceiverMode::ok();
    mode.refuse = QStringList{QString(refused).replace(u'/', u'\\')};
    QVERIFY(receiver->setMode(mode));
    w->lblUnattended_Click();
    w->Timer1->stop(); // the test ticks itself

    for (int tick = 1; tick <= 4; ++tick) {
        // One that arrives while the refused one keeps the list from running empty is filed too.
        if (tick == laterAtTick)
            QVERIFY(ledger.put(QStringLiteral("/later.pdf"), "%PDF-1.4 arrived after the first refusal"));
        w->Timer1_Timer();
        QVERIFY2(waitUntil([&] { return !w->uploadInFlight(); }), qPrintable(w->statusText()));
        // Past the first tick only the refused one is left: one that arrived
        // between ticks goes with the next, ahead of it, not a tick later.
        if (tick == laterAtTick && tick > 1)
            QVERIFY2(!QFileInfo::exists(st->file(QStringLiteral("/later.pdf"))), qPrintable(w->statusText()));
        // The first tick's pass refuses it, names it and what it is refused
        // for, and goes on with the others; the page's answer will not change,
        // so the ticks after leave it to its wait.
        QVERIFY2(
            w->statusText().count(QStringLiteral("Not filed: the web page refused %1 as too large for it "
                                                 "(413 ")
                                      .arg(refused)) == 1,
            qPrintable(w->statusText()));
        QVERIFY(!w->statusText().contains(kRefusal));
        QVERIFY2(w->statusText().contains(QLatin1String("Uploading ") + refused),
                 qPrintable(w->statusText()));
    }
    QCOMPARE(receiver->records().size(), 5);
    // When it goes next is said once, not at every tick.
    QCOMPARE(w->statusText().count(refused + QLatin1String(", refused by the web page, waits until ")), 1);
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("one document refused every time, four ticks"), t);
    QCOMPARE(t.filed, 4);
    QCOMPARE(t.kept, 1);
    QCOMPARE(w->fileListEntries(), QStringList{refused});
    QTest::qWait(200);
    QStringList shown;
    for (const auto& n : desktop.shown)
        shown << n.summary;
    QCOMPARE(shown, told);
}

QTEST_MAIN(TestE2eReplies)
#include "tst_e2e_replies.moc"
