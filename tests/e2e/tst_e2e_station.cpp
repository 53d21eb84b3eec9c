// SPDX-License-Identifier: GPL-3.0-or-later
// The station's own parts around a transfer: a scan run on SANE's test backend,
// Setup when the settings cannot be saved, a converter that fails in every way,
// and a TIFF name that a shell would take apart.
#include "E2e.h"
#include "StationTest.h"

#include "Dialog.h"
#include "ImgScan.h"
#include "ModalWatcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QtTest>

using namespace E2e;
using namespace TestSupport;

class TestE2eStation : public StationTest
{
    Q_OBJECT
private slots:

    void scanTenPagesAndFileThem();
    void setupCannotSaveTheSettings();
    void failingConverter_data();
    void failingConverter();
    void tiffNameAShellWouldTakeApart();
    void convertedTiffRefused();
};

void TestE2eStation::scanTenPagesAndFileThem()
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quillStore"));
    store.setValue(QStringLiteral("Scanner/device"), QStringLiteral("test:0"));
    store.sync();
    QVERIFY(installRealConverter(st->prog));
    Ledger ledger(*st);
    QVERIFY(ledger.put(QStringLiteral("/waiting.pdf"), "%PDF-1.4 waiting before the scan"));
    QVERIFY(startAll());
    // Each page under the name its batch gave it.
    connect(w->ImgScan1, &ImgScan::PageDone, w.get(),
            [&] { ledger.addScannedTiff(w->ImgScan1->pagesWritten().last().mid(st->scans.size())); });
    // Small pages keep the run quick; the feeder of the test backend holds ten.
    w->afterScannerOpen = [](ImgScan* scanner) {
        scanner->setDeviceOption("br-x", "20");
        scanner->setDeviceOption("br-y", "20");
    };
    ModalWatcher boxes;
    QTest::mouseClick(w->CmdScanAll, Qt::LeftButton);
    QVERIFY2(boxes.boxes.isEmpty(), qPrintable(boxes.summary()));
    QCOMPARE(w->pagesScanned, 10);
    QVERIFY2(waitUntil([&] { return passEnded(*w); }, 90000), qPrintable(w->statusText()));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("scan 10 pages and file them"), t);
    if (t.filed != 11) {
        // Seen once on a loaded machine: a page kept back from the pass that followed the scan.
        // It must then go with the next Force Transfer; say what the operator saw.
        qWarning().noquote() << "the pass after the scan filed" << t.filed
                             << "of 11; folder:" << QDir(st->scans).entryList(QDir::Files).join(u' ')
                             << "; status box:" << w->statusText().left(1500);
        QVERIFY2(forceTransferUntilEmpty(*w, *st), qPrintable(w->statusText()));
        E2E_CHECK(ledger, *receiver, QStringLiteral("scan 10 pages, then a Force Transfer"), t);
    }
    QCOMPARE(t.filed, 11);
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eStation::setupCannotSaveTheSettings()
{
    Ledger ledger(*st);
    QVERIFY(ledger.put(QStringLiteral("/s1.pdf"), "%PDF-1.4 s1"));
    QVERIFY(ledger.put(QStringLiteral("/deeper/s2.txt"), "s2"));
    // A folder the operator is about to choose, with a file that must not go anywhere.
    const QString other = st->tmp.path() + QStringLiteral("/other");
    QVERIFY(TestSupport::writeFile(other + QStringLiteral("/private.pdf"), "not to be sent"));
    QVERIFY(startAll());
    const QByteArray settingsBefore = TestSupport::readFile(st->prog + QStringLiteral("/settings.txt"));
    const QString away = st->tmp.path() + QStringLiteral("/prog-away");

    ModalWatcher boxes; // answers the failure box
    bool acted = false;
    bool stayedOpen = false;
    QTimer operatorHand;
    connect(&operatorHand, &QTimer::timeout, [&] {
        Dialog* d = Dialog::current();
        if (acted || !d || !d->isVisible())
            return;
        acted = true;
        d->readFrom->setText(other);
        // The settings folder cannot take a file now, whoever the user is (root too):
        // a regular file stands where the folder was.
        QDir().rename(st->prog, away);
        TestSupport::writeFile(st->prog, "not a folder");
        d->OKButton->click();
        stayedOpen = Dialog::current() == d && d->isVisible();
        QFile::remove(st->prog);
        QDir().rename(away, st->prog);
        d->CancelButton->click();
    });
    operatorHand.start(20);
    QTest::mouseClick(w->CmdSetup[0], Qt::LeftButton); // returns when the dialog has closed
    operatorHand.stop();
    QVERIFY(acted);
    QVERIFY2(stayedOpen, "the dialog closed although the settings were not saved");
    QCOMPARE(boxes.boxes.size(), 1);
    QVERIFY2(boxes.boxes[0].text.contains(QStringLiteral("settings")), qPrintable(boxes.summary()));
    QCOMPARE(TestSupport::readFile(st->prog + QStringLiteral("/settings.txt")), settingsBefore);
    QCOMPARE(w->readFromFolder, st->scans);

    QVERIFY(answersForceTransfer(*w));
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("settings folder unwritable when OK is pressed in Setup"), t);
    QCOMPARE(t.filed, 2);
    QCOMPARE(TestSupport::readFile(other + QStringLiteral("/private.pdf")), QByteArray("not to be sent"));
}

void TestE2eStation::failingConverter_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("reason"); ///< what the error block must say
    // The operator reads why in the converter's own last line on standard error.
    // (A full disk is said apart, once a pass: see the transfer tests.)
    QTest::newRow("exits 1") << QByteArray(
                                    "echo first line >&2; echo page 1: strip 3 is damaged >&2; exit 1\n")
                             << QStringLiteral("exit code 1: page 1: strip 3 is damaged");
    QTest::newRow("crashes") << QByteArray("printf '%%PDF-1.4 half a' > \"$2\"; kill -SEGV $$\n")
                             << QString();
    QTest::newRow("writes nothing") << QByteArray("exit 0\n") << QString();
    QTest::newRow("writes half a PDF")
        << QByteArray("printf '%%PDF-1.4 half a page' > \"$2\"; exit 0\n") << QString();
}

void TestE2eStation::failingConverter()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, reason);
    installScriptConverter(st->prog, script);
    Ledger ledger(*st);
    const QByteArray p1 = makeTiff(30, 20, 1);
    const QByteArray p2 = makeTiff(30, 20, 2);
    QVERIFY(st->put(QStringLiteral("/t1.tif"), p1));
    QVERIFY(st->put(QStringLiteral("/2024/t2.tif"), p2));
    ledger.addTiff(QStringLiteral("/t1.tif"), p1);
    ledger.addTiff(QStringLiteral("/2024/t2.tif"), p2);
    QVERIFY(ledger.put(QStringLiteral("/plain.pdf"), "%PDF-1.4 goes meanwhile"));
    QVERIFY(startAll());
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("converter %1").arg(QTest::currentDataTag()), t);
    QCOMPARE(t.kept, 2);
    QCOMPARE(t.filed, 1);
    QVERIFY2(w->statusText().contains(QStringLiteral("Reading: ") + st->file(QStringLiteral("/t1.tif"))),
             qPrintable(w->statusText()));
    QVERIFY2(w->statusText().contains(reason), qPrintable(w->statusText()));

    // With a working converter the kept pages go.
    QVERIFY(installRealConverter(st->prog));
    QVERIFY(answersForceTransfer(*w));
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    E2E_CHECK(ledger, *receiver,
              QStringLiteral("converter %1, then a working one").arg(QTest::currentDataTag()), t);
    QCOMPARE(t.filed, 3);
}

void TestE2eStation::tiffNameAShellWouldTakeApart()
{
    QVERIFY(installRealConverter(st->prog));
    Ledger ledger(*st);
    const QString odd = QStringLiteral("/in \"quotes\" $(touch pwned) `touch pwned2` and blanks.tif");
    const QByteArray page = makeTiff(64, 48, 7);
    QVERIFY(st->put(odd, page));
    ledger.addTiff(odd, page);
    QVERIFY(startAll());
    QDir::setCurrent(st->tmp.path());
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("TIFF named with blanks, double quotes and $(...)"), t);
    QCOMPARE(t.filed, 1);
    QVERIFY(!QFileInfo::exists(st->tmp.path() + QStringLiteral("/pwned")));
    QVERIFY(!QFileInfo::exists(st->tmp.path() + QStringLiteral("/pwned2")));
    QVERIFY(!QFileInfo::exists(st->scans + QStringLiteral("/pwned")));
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eStation::convertedTiffRefused()
{
    QVERIFY(installRealConverter(st->prog));
    Ledger ledger(*st);
    const QByteArray p1 = makeTiff(50, 40, 11);
    const QByteArray p2 = makeTiff(50, 40, 12);
    QVERIFY(st->put(QStringLiteral("/r1.tif"), p1));
    QVERIFY(st->put(QStringLiteral("/r2.tif"), p2));
    ledger.addTiff(QStringLiteral("/r1.tif"), p1);
    ledger.addTiff(QStringLiteral("/r2.tif"), p2);
    ReceiverOptions options;
    options.mode = ReceiverMode::reply("Not filed: try later").times(1);
    QVERIFY2(receiver->start(st->inbox, options), qPrintable(receiver->errorString()));
    st->writeSettings(receiver->url().toString());
    w = st->start();
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY(receiver->waitForRecords(1));
    QVERIFY2(waitUntil([&] { return !w->uploadInFlight(); }), qPrintable(w->statusText()));
    Tally t;
    // The first page was converted and refused: it waits as its PDF, the second as its TIFF.
    E2E_CHECK(ledger, *receiver, QStringLiteral("converted TIFF refused by the receiver"), t);
    QCOMPARE(t.kept, 2);

    // Later passes file both (the PDF made in the refused pass may wait out its quiet time).
    QVERIFY2(forceTransferUntilEmpty(*w, *st), qPrintable(w->statusText()));
    E2E_CHECK(ledger, *receiver, QStringLiteral("converted TIFF refused, then Force Transfer"), t);
    QCOMPARE(t.filed, 2);
    QVERIFY(answersForceTransfer(*w));
}

QTEST_MAIN(TestE2eStation)
#include "tst_e2e_station.moc"
