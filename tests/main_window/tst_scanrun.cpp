// SPDX-License-Identifier: GPL-3.0-or-later
// Scan All on SANE's test backend (document feeder: ten pages, then empty),
// through the real converter to the real receiving page.
#include "BatchDocuments.h"
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

#include <signal.h>

using namespace TestSupport;

class TestScanRun : public StationTest
{
    Q_OBJECT
private slots:
    void init();
    void tenPagesAreScannedListedAndFiled();
    void jamStopsTheRunAndKeepsThePages();
    void testModeOpensANewWindowEachRun();
    void pagesBecomeDocuments_data();
    void pagesBecomeDocuments();
    void jamKeepsTheDocumentSoFar();
    void killedBatchBecomesADocumentAtTheNextStart();

private:
    void start();
    void storeChoices(const QString& documents, const QString& blankPages, const QString& code = "PATCHT");
    /// The pages of each PDF the page filed, in the order they came.
    QList<int> filedPageCounts(QStringList* names);
};

static int pdfPages(const QString& path)
{
    QProcess qpdf;
    qpdf.start("qpdf", {"--show-npages", path});
    return qpdf.waitForFinished(20000) ? qpdf.readAllStandardOutput().trimmed().toInt() : -1;
}

static int tiffPages(const QString& path)
{
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tif)
        return -1;
    const int pages = TIFFNumberOfDirectories(tif);
    TIFFClose(tif);
    return pages;
}

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
    QDir(BatchDocuments::gatheringRoot()).removeRecursively();
    QDir(BatchDocuments::setAsideFolder()).removeRecursively();
}

void TestScanRun::storeChoices(const QString& documents, const QString& blankPages, const QString& code)
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, "quillStore");
    store.setValue("Scanner/documents", documents);
    store.setValue("Scanner/blankPages", blankPages);
    store.setValue("Scanner/separatorCode", code);
    store.sync();
}

QList<int> TestScanRun::filedPageCounts(QStringList* names)
{
    QList<int> pages;
    for (const ReceivedUpload& r : receiver->records()) {
        *names << r.filename;
        pages << pdfPages(r.storedPath);
    }
    return pages;
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

void TestScanRun::pagesBecomeDocuments_data()
{
    QTest::addColumn<QString>("documents");
    QTest::addColumn<QString>("blankPages");
    QTest::addColumn<QString>("code");
    // "N:option=value": the test scanner's option from the page after page N on.
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<int>>("filed");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("setAside");
    QTest::newRow("one document a batch")
        << "batch"
        << "keep"
        << "PATCHT" << QStringList{"0:test-picture=Grid", "3:mode=Color", "6:mode=Gray", "6:depth=1"}
        << QList<int>{10} << "10 pages: 1 document (10 pages)" << QString();
    QTest::newRow("only blank pages") << "batch"
                                      << "setAside"
                                      << "PATCHT" << QStringList{"0:test-picture=Solid white"} << QList<int>{}
                                      << "10 pages: no document, 10 blank pages set aside"
                                      << "10 blank pages set aside: pages 1 to 10; they are in ";
    // First and last sheets are separators, and two come in a row: no empty document.
    QTest::newRow("blank sheets separate")
        << "separator"
        << "keep" << QString()
        << QStringList{"0:test-picture=Solid white", "1:test-picture=Grid", "5:test-picture=Solid white",
                       "7:test-picture=Grid", "9:test-picture=Solid white"}
        << QList<int>{4, 2} << "10 pages: 2 documents (4 and 2 pages), 4 separator sheets" << QString();
    QTest::newRow("one document a page, blank set aside")
        << "page"
        << "setAside"
        << "PATCHT"
        << QStringList{"0:test-picture=Color pattern", "3:test-picture=Solid white",
                       "4:test-picture=Color pattern", "7:test-picture=Solid white", "8:test-picture=Grid"}
        << QList<int>(8, 1) << "10 pages: 8 documents (1 page each), 2 blank pages set aside"
        << "2 blank pages set aside: page 4 and page 8; they are in ";
}

void TestScanRun::pagesBecomeDocuments()
{
    QFETCH(QString, documents);
    QFETCH(QString, blankPages);
    QFETCH(QString, code);
    QFETCH(QStringList, options);
    QFETCH(QList<int>, filed);
    storeChoices(documents, blankPages, code);
    start();
    w->afterScannerOpen = [options](ImgScan* scanner) {
        smallPages(scanner);
        for (const QString& o : options) {
            const int after = o.section(':', 0, 0).toInt();
            const QString name = o.section(':', 1).section('=', 0, 0), value = o.section('=', 1);
            if (after == 0)
                scanner->setDeviceOption(name, value);
            else
                scanner->setDeviceOptionAfterPage(after, name, value);
        }
    };
    ModalWatcher boxes;
    QTest::mouseClick(w->CmdScanAll, Qt::LeftButton);
    QVERIFY2(boxes.boxes.isEmpty(), qPrintable(boxes.summary()));
    QVERIFY(
        waitUntil([&] { return !w->uploadInFlight() && w->statusText().contains("----Finished"); }, 60000));
    QStringList names;
    QCOMPARE(filedPageCounts(&names), filed);
    for (int i = 0; i < names.size(); ++i)
        QVERIFY2(names[i].endsWith(QStringLiteral("-%1.pdf").arg(i + 1, 4, 10, QLatin1Char('0'))),
                 qPrintable(names[i]));
    const QString text = w->statusText();
    QFETCH(QString, summary);
    QFETCH(QString, setAside);
    QVERIFY2(text.contains(summary + "\r\n----10 Pages Scanned----"), qPrintable(text));
    QCOMPARE(text.count(" set aside: "), setAside.isEmpty() ? 0 : 1);
    if (!setAside.isEmpty())
        QVERIFY2(text.contains(setAside + BatchDocuments::setAsideShown() + " for 30 days\r\n" + summary),
                 qPrintable(text));
    // Blank pages and separator sheets are kept, not filed.
    const int kept = 10 - int(std::accumulate(filed.begin(), filed.end(), 0));
    QCOMPARE(QDir(BatchDocuments::setAsideFolder()).entryList(QDir::Files).size(), kept);
    QVERIFY(
        QDir(BatchDocuments::gatheringRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

void TestScanRun::jamKeepsTheDocumentSoFar()
{
    storeChoices("batch", "keep");
    start();
    w->afterScannerOpen = [](ImgScan* scanner) {
        smallPages(scanner);
        scanner->setDeviceOptionAfterPage(7, "read-return-value", "SANE_STATUS_JAMMED");
    };
    ModalWatcher boxes;
    QTest::mouseClick(w->CmdScanAll, Qt::LeftButton);
    QVERIFY(waitUntil([&] { return !boxes.boxes.isEmpty(); }));
    const QStringList docs = QDir(st->scans).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(docs.size(), 1);
    QCOMPARE(tiffPages(st->scans + "/" + docs[0]), 7);
    const QString name = QString(docs[0]).replace(".tif", ".pdf");
    QVERIFY2(w->statusText().startsWith("The feeder jammed after page 7: pages 1 to 7 are kept as " + name +
                                        "; clear the jam and press Scan All for the rest (Page 8 "),
             qPrintable(w->statusText()));
    QCOMPARE(w->fileListEntries(), QStringList{"/" + docs[0]});
}

void TestScanRun::killedBatchBecomesADocumentAtTheNextStart()
{
    storeChoices("batch", "keep");
    QVERIFY2(receiver->start(st->tmp.path() + "/inbox"), qPrintable(receiver->errorString()));
    st->writeSettings(receiver->url("/upload").toString());
    // The station to kill: the real window in a process of its own, scanning slowly.
    QProcess station;
    station.setProcessChannelMode(QProcess::ForwardedChannels);
    station.start(TestSupport::binDir() + "/scan_driver", {st->prog});
    QVERIFY2(station.waitForStarted(), qPrintable(station.errorString()));
    const QString gathering = BatchDocuments::gatheringRoot();
    auto gathered = [&] {
        int pages = 0;
        QDirIterator it(gathering, {"page-*.tif"}, QDir::Files, QDirIterator::Subdirectories);
        for (; it.hasNext(); it.next())
            ++pages;
        return pages;
    };
    auto writing = [&] {
        return QDirIterator(gathering, {".page-*.part"}, QDir::Files | QDir::Hidden,
                            QDirIterator::Subdirectories)
            .hasNext();
    };
    QVERIFY2(waitUntil([&] { return gathered() >= 6 && writing(); }, 60000), "the batch never got to page 7");
    QVERIFY(::kill(pid_t(station.processId()), SIGKILL) == 0);
    QVERIFY(station.waitForFinished(10000));
    const int pages = gathered();
    QVERIFY2(pages < 10, "the batch ended before the kill");
    qInfo() << "killed with" << pages << "pages gathered";

    w = st->start();
    const QStringList docs = QDir(st->scans).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(docs.size(), 1);
    QCOMPARE(tiffPages(st->scans + "/" + docs[0]), pages);
    QVERIFY2(w->statusText().startsWith(
                 QStringLiteral("The station stopped during a batch: pages 1 to %1 are kept as %2\r\n")
                     .arg(pages)
                     .arg(QString(docs[0]).replace(".tif", ".pdf"))),
             qPrintable(w->statusText()));
    // Nothing is left in gathering, not even the page the scanner was writing.
    QCOMPARE(QDir(gathering).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY(
        waitUntil([&] { return !w->uploadInFlight() && w->statusText().contains("----Finished"); }, 60000));
    QStringList names;
    QCOMPARE(filedPageCounts(&names), QList<int>{pages});
}

QTEST_MAIN(TestScanRun)
#include "tst_scanrun.moc"
