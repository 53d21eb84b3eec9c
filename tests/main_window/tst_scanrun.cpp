// Scan All on SANE's test backend (document feeder: ten pages, then empty),
// through the real converter to the real receiving page.
#include "ImgScan.h"
#include "ModalWatcher.h"
#include "Peers.h"
#include "ProgressPane.h"
#include "Station.h"
#include "StationTest.h"
#include "frmDiag.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include <tiffio.h>

using namespace TestSupport;

class TestScanRun : public StationTest
{
    Q_OBJECT
private slots:
    void init();
    void tenPagesAreScannedListedAndFiled();
    void jamStopsTheRunAndKeepsThePages();
    void testModeOpensANewWindowEachRun();

private:
    void start();
};

static void smallPages(ImgScan* scanner)
{
    // Small pages keep the run quick; everything else is the adapter's own choice.
    scanner->setDeviceOption("br-x", "20");
    scanner->setDeviceOption("br-y", "20");
}

void TestScanRun::init()
{
    StationTest::init();
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "quillStore");
    store.setValue("Scanner/device", "test:0");
    store.sync();
    QVERIFY(QFile::link(TestSupport::binDir() + "/tiff2pdf", st->prog + "/tiff2pdf"));
}

void TestScanRun::start()
{
    QVERIFY2(receiver->start(st->tmp.path() + "/inbox"), qPrintable(receiver->errorString()));
    st->writeSettings(receiver->url("/upload").toString());
    w = st->start();
    w->afterScannerOpen = smallPages;
}

void TestScanRun::tenPagesAreScannedListedAndFiled()
{
    st->put("/waiting.pdf", "%PDF-1.4 already here");
    // A source chosen once that the device no longer has: the feeder all the same, and said.
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "quillStore");
    store.setValue("Scanner/source", "ADF Duplex");
    store.sync();
    start();
    QList<int> listedAtPage;
    QStringList progressAtPage;
    // Connected after the window's own handler, so it sees the list that handler built.
    connect(w->ImgScan1, &ImgScan::PageDone, w.get(), [&] {
        listedAtPage << int(w->fileListEntries().size());
        if (w->progress->isVisible())
            progressAtPage << w->progress->text()->text();
    });
    ModalWatcher boxes;
    QTest::mouseClick(w->CmdScanAll, Qt::LeftButton);
    QVERIFY2(boxes.boxes.isEmpty(), qPrintable(boxes.summary()));
    QCOMPARE(w->pagesScanned, 10);
    QVERIFY(
        waitUntil([&] { return !w->uploadInFlight() && w->statusText().startsWith("----Finished"); }, 60000));

    // The list grew while the batch ran: each page was listed by the time it was reported.
    QCOMPARE(listedAtPage.size(), 10);
    for (int i = 0; i < 10; ++i)
        QVERIFY2(listedAtPage[i] >= i + 2 && (i == 0 || listedAtPage[i] >= listedAtPage[i - 1]),
                 qPrintable(QString::number(listedAtPage[i])));
    QCOMPARE(listedAtPage.last(), 11);
    // The pages scanned so far were shown while the run went on, and nothing once it ended.
    QCOMPARE(progressAtPage.size(), 10);
    QCOMPARE(progressAtPage.first(), QStringLiteral("Scanning: 1 page so far"));
    QCOMPARE(progressAtPage.last(), QStringLiteral("Scanning: 10 pages so far"));
    QVERIFY(!w->progress->isVisible());
    // Every page went out as a PDF, in the order scanned, named after its batch,
    // the waiting file with them, and the folder is empty.
    QStringList names;
    for (const ReceivedUpload& r : receiver->records())
        names << r.filename;
    QCOMPARE(names.size(), 11);
    QCOMPARE(names.last(), QStringLiteral("\\waiting.pdf"));
    const QRegularExpression page("^\\\\img(\\d{8}-\\d{6})-(\\d{4})\\.pdf$");
    for (int i = 0; i < 10; ++i) {
        const QRegularExpressionMatch m = page.match(names[i]);
        QVERIFY2(m.hasMatch(), qPrintable(names[i]));
        QCOMPARE(m.captured(1), page.match(names[0]).captured(1));
        QCOMPARE(m.captured(2).toInt(), i + 1);
    }
    QVERIFY(QDir(st->scans).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    for (const QString& stored : receiver->storedFiles())
        QVERIFY(TestSupport::readFile(receiver->inboxDir() + "/" + stored).startsWith("%PDF-"));
    const QString text = w->statusText();
    QVERIFY2(
        text.contains("----10 Pages Scanned----\r\nScanner test:0 no longer offers the source \"ADF Duplex\" "
                      "chosen for it; the station's own choice (the feeder when there is one) is "
                      "used.\r\n----Ready----"),
        qPrintable(text));
    QVERIFY(text.contains("----11 Pages Filed----"));
    QVERIFY(w->diagWindow->text().contains("\r\nStarting Scanner"));
    QVERIFY(!w->diagWindow->isVisible());
}

void TestScanRun::jamStopsTheRunAndKeepsThePages()
{
    start();
    w->afterScannerOpen = [](ImgScan* scanner) {
        smallPages(scanner);
        scanner->setDeviceOptionAfterPage(3, "read-return-value", "SANE_STATUS_JAMMED");
    };
    ModalWatcher boxes;
    QTest::mouseClick(w->CmdScanAll, Qt::LeftButton);
    QVERIFY(waitUntil([&] { return !boxes.boxes.isEmpty(); }));
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes[0].title, QStringLiteral("Scan Error"));
    QVERIFY2(boxes.boxes[0].text.contains("jammed", Qt::CaseInsensitive), qPrintable(boxes.summary()));
    QCOMPARE(w->pagesScanned, 3);
    // The three pages are listed (the last relisting may also have caught the
    // hidden file of the page that jammed, which is gone now).
    const QStringList jammed =
        w->fileListEntries().filter(QRegularExpression("^/img\\d{8}-\\d{6}-000[123]\\.tif$"));
    QCOMPARE(jammed.size(), 3);
    // The status box keeps what happened and what to do, after the box is closed.
    QVERIFY2(
        w->statusText().startsWith("The feeder jammed after page 3: clear it and press Scan All again; the 3 "
                                   "pages scanned are kept and will be filed (Page 4 could not be scanned: "),
        qPrintable(w->statusText()));
    QTest::qWait(200);
    QVERIFY(receiver->records().isEmpty()); // no pass after a failed run
    QCOMPARE(QDir(st->scans).entryList(QDir::Files | QDir::Hidden).size(), 3);

    // The scanner was released: the next run opens it again and goes through.
    w->afterScannerOpen = smallPages;
    QTest::mouseClick(w->CmdScanAll, Qt::LeftButton);
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(w->pagesScanned, 10);
    QVERIFY(
        waitUntil([&] { return !w->uploadInFlight() && w->statusText().startsWith("----Finished"); }, 60000));
    // The second batch took no name of the first, and the first went out first.
    QStringList names;
    for (const ReceivedUpload& r : receiver->records())
        names << r.filename;
    QCOMPARE(names.size(), 13);
    QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), 13);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(names[i], QString(jammed[i]).replace('/', '\\').replace(".tif", ".pdf"));
    QStringList sorted = names;
    sorted.sort();
    QCOMPARE(names, sorted);

    // An empty feeder says so.
    w->afterScannerOpen = [](ImgScan* scanner) {
        smallPages(scanner);
        scanner->setDeviceOption("read-return-value", "SANE_STATUS_NO_DOCS");
    };
    QTest::mouseClick(w->CmdScanAll, Qt::LeftButton);
    QCOMPARE(boxes.boxes.size(), 1);
    QVERIFY2(
        w->statusText().contains("Nothing was scanned: the feeder is empty. Put the pages in the feeder and "
                                 "press Scan All again.\r\n----0 Pages Scanned----"),
        qPrintable(w->statusText()));
}

void TestScanRun::testModeOpensANewWindowEachRun()
{
    start();
    w->testMode = true;
    ModalWatcher boxes; // answers the conversion notices
    QTest::mouseClick(w->CmdScanAll, Qt::LeftButton);
    QPointer<frmDiag> first = w->diagWindow;
    QVERIFY(first && first->isVisible());
    QVERIFY(first->text().contains("\r\nStarting Scanner"));
    QVERIFY(
        waitUntil([&] { return !w->uploadInFlight() && w->statusText().startsWith("----Finished"); }, 60000));
    QTest::mouseClick(w->CmdScanAll, Qt::LeftButton);
    QVERIFY(w->diagWindow != first);
    QVERIFY(first && first->isVisible());
    const QString before = first->text();
    QVERIFY(
        waitUntil([&] { return !w->uploadInFlight() && w->statusText().startsWith("----Finished"); }, 60000));
    QCOMPARE(first->text(), before); // only the newest window receives lines
    QVERIFY(w->diagWindow->text().contains("\r\nStarting Scanner"));
}

QTEST_MAIN(TestScanRun)
#include "tst_scanrun.moc"
