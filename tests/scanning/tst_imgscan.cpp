// SPDX-License-Identifier: GPL-3.0-or-later
// The scanner adapter against SANE's test backend: batches from the feeder,
// page formats, numbering that never overwrites, scanner failures, the options'
// vocabulary, and the choice of scanner.
#include "BatchNames.h"
#include "Failure.h"
#include "ImgScan.h"
#include "SaneOptions.h"
#include "SaneSession.h"
#include "ScanAdvice.h"
#include "ScanChoices.h"
#include "SelectScannerDialog.h"
#include "TestSupport.h"
#include "TiffFacts.h"
#include "TiffPageWriter.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <functional>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QSettings userStore()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quillStore"));
}

void storeDevice(const QString& name)
{
    QSettings s = userStore();
    if (name.isEmpty())
        s.remove(QStringLiteral("Scanner"));
    else
        s.setValue(QStringLiteral("Scanner/device"), name);
    s.sync();
}

QStringList filesIn(const QString& folder)
{
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    names.sort();
    return names;
}

QStringList pageNames(std::initializer_list<int> numbers)
{
    QStringList names;
    for (int n : numbers)
        names << QStringLiteral("img%1.tif").arg(n, 4, 10, QLatin1Char('0'));
    return names;
}

/// Opens the test backend's first device with a 20 mm square scan area, so a
/// page at 300 dpi is small, and sets the batch options.
void openAndPrepare(ImgScan& scan, const QString& folder)
{
    scan.OpenScanner();
    scan.setDeviceOption(QStringLiteral("br-x"), QStringLiteral("20"));
    scan.setDeviceOption(QStringLiteral("br-y"), QStringLiteral("20"));
    scan.SetScanTo(4);
    scan.SetImage(folder + QStringLiteral("/img"));
    scan.SetMultiPage(true);
    scan.SetPageOption(1);
    scan.SetFileType(1);
}

/// What the signals of one batch looked like from the UI thread.
struct Recorder
{
    QList<int> pages;
    int scanDone = 0;
    bool allOnUiThread = true;
    bool allWhileScanning = true;
    bool allWhileStartScanWaits = true;
    bool startScanWaiting = false;
    QStringList pageErrors;
    QString folder;
    QStringList before;

    void attach(ImgScan& scan, const QString& pageFolder)
    {
        folder = pageFolder;
        before = filesIn(folder);
        QObject::connect(&scan, &ImgScan::PageDone, &scan, [this, &scan](int n) {
            pages << n;
            allOnUiThread &= QThread::currentThread() == qApp->thread();
            allWhileScanning &= scan.isScanning();
            allWhileStartScanWaits &= startScanWaiting;
            // Every page reported is complete under its final name, and the
            // pages not yet reported are not under a final name yet.
            QStringList fresh;
            for (const QString& name : filesIn(folder)) {
                if (!before.contains(name) && !name.startsWith(QLatin1Char('.')))
                    fresh << name;
            }
            // (The worker goes on meanwhile, so the next page may be there too.)
            if (fresh.size() < n)
                pageErrors << QStringLiteral("page %1: %2 new files").arg(n).arg(fresh.size());
            for (const QString& name : std::as_const(fresh)) {
                const TiffFacts facts = readTiff(folder + QLatin1Char('/') + name);
                if (!facts.ok)
                    pageErrors << QStringLiteral("page %1: %2").arg(n).arg(facts.error);
            }
        });
        QObject::connect(&scan, &ImgScan::ScanDone, &scan, [this] { ++scanDone; });
    }

    void start(ImgScan& scan)
    {
        startScanWaiting = true;
        auto reset = qScopeGuard([this] { startScanWaiting = false; });
        scan.StartScan();
    }
};

QString failureOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Failure& f) {
        return f.description();
    }
    return {};
}

} // namespace

class TestImgScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    // Batches
    void feederBatchWritesEveryPageInOrder();
    void existingFilesAreNeverOverwritten();
    void flatbedGivesOnePage();
    void feederEmptyAtFirstReadEndsBatch();
    void emptyFeederGivesNoPageButScanDone();
    void eachBatchStartsWithAFullFeeder();
    void pageFormats_data();
    void pageFormats();
    void unsupportedImageFormatIsReported();

    // Failures
    void batchNamesNeverComeTwice();
    void scannerFailureKeepsEarlierPages_data();
    void scannerFailureKeepsEarlierPages();
    void failureOnFirstPageLeavesNothing();
    void scannerOpenedAgainAfterFailure();
    void wrongOptionValuesThrow_data();
    void wrongOptionValuesThrow();
    void startScanNeedsEveryOption();
    void startScanNeedsOpenScanner();
    void missingFolderIsReported();
    void writeFaultsNameTheirCause_data();
    void writeFaultsNameTheirCause();
    void secondStartScanDuringBatchIsRefused();

    // Choice of scanner
    void dialogListsDevicesAndStoresChoice();
    void dialogCancelKeepsChoice();
    void openUsesFirstDeviceWithoutChoice();
    void storedDeviceThatIsGoneFailsAtOpen_data();
    void storedDeviceThatIsGoneFailsAtOpen();
    void saneInitAndExitArePaired();

    // Page writer and option helpers
    void commitSkipsNameTakenDuringPage();
    void unwritableFolderIsReported();
    void nearestResolution_data();
    void nearestResolution();
    void storedChoiceAgainstOffer_data();
    void storedChoiceAgainstOffer();
    void storedChoicesShapePages_data();
    void storedChoicesShapePages();
    void dialogStoresTheChoicesShown();

private:
    QTemporaryDir* m_dir = nullptr;
    QString folder() const { return m_dir->path(); }
};

void TestImgScan::initTestCase()
{
    // Only the project's own SANE configuration may be loaded.
    const QString config = QString::fromLocal8Bit(qgetenv("SANE_CONFIG_DIR"));
    QVERIFY2(config.endsWith(QLatin1String("tests/sane")) ||
                 config.endsWith(QLatin1String("/sane-one-device")),
             qPrintable(config));
    QStringList backends;
    for (const QString& line :
         QString::fromLocal8Bit(TestSupport::readFile(config + QStringLiteral("/dll.conf")))
             .split(QLatin1Char('\n'))) {
        if (!line.trimmed().isEmpty() && !line.trimmed().startsWith(QLatin1Char('#')))
            backends << line.trimmed();
    }
    QCOMPARE(backends, QStringList{QStringLiteral("test")});
}

void TestImgScan::init()
{
    storeDevice({});
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
}

void TestImgScan::cleanup()
{
    delete m_dir;
    m_dir = nullptr;
    QCOMPARE(SaneSession::users(), 0);
}

// ---------------------------------------------------------------- Batches

void TestImgScan::feederBatchWritesEveryPageInOrder()
{
    ImgScan scan;
    openAndPrepare(scan, folder());
    QCOMPARE(scan.deviceName(), QStringLiteral("test:0"));
    QCOMPARE(SaneSession::users(), 1);
    Recorder rec;
    rec.attach(scan, folder());
    rec.start(scan);

    // The test backend's feeder holds 10 sheets, then reports it is empty.
    QCOMPARE(rec.pages, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    QVERIFY(rec.allOnUiThread);
    QVERIFY(rec.allWhileScanning);
    QVERIFY(rec.allWhileStartScanWaits);
    QVERIFY2(rec.pageErrors.isEmpty(), qPrintable(rec.pageErrors.join(QLatin1Char('\n'))));
    QCOMPARE(rec.scanDone, 1);
    QVERIFY(!scan.isScanning());
    QCOMPARE(filesIn(folder()), pageNames({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

    const TiffFacts page = readTiff(folder() + QStringLiteral("/img0010.tif"));
    QVERIFY2(page.ok, qPrintable(page.error));
    QCOMPARE(page.directories, 1);
    QCOMPARE(page.width, 236u); // 20 mm at 300 dpi
    QCOMPARE(page.height, 236u);
    QCOMPARE(page.resolutionUnit, uint16_t(RESUNIT_INCH));
    QCOMPARE(page.xResolution, 300.0f);
    QCOMPARE(page.yResolution, 300.0f);

    scan.CloseScanner();
    QCOMPARE(scan.deviceName(), QString());
    QCOMPARE(SaneSession::users(), 0);
}

void TestImgScan::existingFilesAreNeverOverwritten()
{
    QVERIFY(TestSupport::writeFile(folder() + QStringLiteral("/img0001.tif"), "first, waiting for upload"));
    QVERIFY(TestSupport::writeFile(folder() + QStringLiteral("/img0003.tif"), "third, waiting for upload"));
    // A page already converted for upload keeps its number too.
    QVERIFY(TestSupport::writeFile(folder() + QStringLiteral("/img0006.pdf"), "sixth, converted"));

    ImgScan scan;
    openAndPrepare(scan, folder());
    Recorder rec;
    rec.attach(scan, folder());
    rec.start(scan);
    scan.CloseScanner();

    QCOMPARE(rec.pages.size(), 10);
    QVERIFY2(rec.pageErrors.isEmpty(), qPrintable(rec.pageErrors.join(QLatin1Char('\n'))));
    QCOMPARE(TestSupport::readFile(folder() + QStringLiteral("/img0001.tif")),
             QByteArray("first, waiting for upload"));
    QCOMPARE(TestSupport::readFile(folder() + QStringLiteral("/img0003.tif")),
             QByteArray("third, waiting for upload"));
    QCOMPARE(TestSupport::readFile(folder() + QStringLiteral("/img0006.pdf")),
             QByteArray("sixth, converted"));
    QStringList expected = pageNames({1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13});
    expected << QStringLiteral("img0006.pdf");
    expected.sort();
    QCOMPARE(filesIn(folder()), expected);
    for (int n : {2, 4, 5, 7, 13}) {
        const TiffFacts page =
            readTiff(folder() + QStringLiteral("/img%1.tif").arg(n, 4, 10, QLatin1Char('0')));
        QVERIFY2(page.ok, qPrintable(page.error));
    }
}

void TestImgScan::flatbedGivesOnePage()
{
    ImgScan scan;
    openAndPrepare(scan, folder());
    scan.setDeviceOption(QStringLiteral("source"), QStringLiteral("Flatbed"));
    Recorder rec;
    rec.attach(scan, folder());
    rec.start(scan);
    scan.CloseScanner();
    QCOMPARE(rec.pages, QList<int>{1});
    QCOMPARE(rec.scanDone, 1);
    QCOMPARE(filesIn(folder()), pageNames({1}));
}

void TestImgScan::feederEmptyAtFirstReadEndsBatch()
{
    // A backend that reports the empty feeder at the first read of a page
    // (not at its start) ends the batch just as normally.
    ImgScan scan;
    openAndPrepare(scan, folder());
    scan.setDeviceOptionAfterPage(3, QStringLiteral("read-return-value"),
                                  QStringLiteral("SANE_STATUS_NO_DOCS"));
    Recorder rec;
    rec.attach(scan, folder());
    rec.start(scan);
    scan.CloseScanner();
    QCOMPARE(rec.pages, (QList<int>{1, 2, 3}));
    QCOMPARE(rec.scanDone, 1);
    QCOMPARE(filesIn(folder()), pageNames({1, 2, 3}));
}

void TestImgScan::emptyFeederGivesNoPageButScanDone()
{
    ImgScan scan;
    openAndPrepare(scan, folder());
    scan.setDeviceOption(QStringLiteral("read-return-value"), QStringLiteral("SANE_STATUS_NO_DOCS"));
    Recorder rec;
    rec.attach(scan, folder());
    rec.start(scan);
    scan.CloseScanner();
    QVERIFY(rec.pages.isEmpty());
    QCOMPARE(rec.scanDone, 1);
    QCOMPARE(filesIn(folder()), QStringList());
}

void TestImgScan::eachBatchStartsWithAFullFeeder()
{
    // The batch ends the scan on the device, so the next one takes the
    // feeder's pages again, numbered after the first batch's.
    ImgScan scan;
    openAndPrepare(scan, folder());
    Recorder first;
    first.attach(scan, folder());
    first.start(scan);
    QCOMPARE(first.pages.size(), 10);
    QObject::disconnect(&scan, nullptr, &scan, nullptr);
    Recorder second;
    second.attach(scan, folder());
    second.start(scan);
    scan.CloseScanner();
    QCOMPARE(second.pages.size(), 10);
    QCOMPARE(second.scanDone, 1);
    QCOMPARE(filesIn(folder()).size(), 20);
    QVERIFY(QFileInfo::exists(folder() + QStringLiteral("/img0020.tif")));
}

void TestImgScan::pageFormats_data()
{
    QTest::addColumn<QStringList>("options"); // name=value pairs for the test device
    QTest::addColumn<int>("compression");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("samples");
    QTest::addColumn<int>("photometric");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("black");

    // SANE's 1-bit pixels are 1 for black: a black sheet must come out black
    // and a white one white, whatever the reader.
    QTest::newRow("lineart black") << QStringList{"depth=1"} << int(COMPRESSION_CCITTFAX4) << 1 << 1
                                   << int(PHOTOMETRIC_MINISWHITE) << 236 << 236 << true;
    QTest::newRow("lineart white") << QStringList{"depth=1", "test-picture=Solid white"}
                                   << int(COMPRESSION_CCITTFAX4) << 1 << 1 << int(PHOTOMETRIC_MINISWHITE)
                                   << 236 << 236 << false;
    QTest::newRow("gray black") << QStringList{"depth=8"} << int(COMPRESSION_ADOBE_DEFLATE) << 8 << 1
                                << int(PHOTOMETRIC_MINISBLACK) << 236 << 236 << true;
    QTest::newRow("gray white") << QStringList{"depth=8", "test-picture=Solid white"}
                                << int(COMPRESSION_ADOBE_DEFLATE) << 8 << 1 << int(PHOTOMETRIC_MINISBLACK)
                                << 236 << 236 << false;
    QTest::newRow("gray 16 bit") << QStringList{"depth=16", "test-picture=Solid white"}
                                 << int(COMPRESSION_ADOBE_DEFLATE) << 8 << 1 << int(PHOTOMETRIC_MINISBLACK)
                                 << 236 << 236 << false;
    QTest::newRow("colour") << QStringList{"mode=Color", "depth=8", "test-picture=Solid white"}
                            << int(COMPRESSION_ADOBE_DEFLATE) << 8 << 3 << int(PHOTOMETRIC_RGB) << 236 << 236
                            << false;
    QTest::newRow("colour 16 bit") << QStringList{"mode=Color", "depth=16"} << int(COMPRESSION_ADOBE_DEFLATE)
                                   << 8 << 3 << int(PHOTOMETRIC_RGB) << 236 << 236 << true;
    QTest::newRow("colour in three passes")
        << QStringList{"mode=Color", "depth=8", "three-pass=yes", "test-picture=Solid white"}
        << int(COMPRESSION_ADOBE_DEFLATE) << 8 << 3 << int(PHOTOMETRIC_RGB) << 236 << 236 << false;
    // Lines padded beyond the image's pixels.
    QTest::newRow("padded lines") << QStringList{"depth=8", "ppl-loss=3"} << int(COMPRESSION_ADOBE_DEFLATE)
                                  << 8 << 1 << int(PHOTOMETRIC_MINISBLACK) << 233 << 236 << true;
    // A hand scanner does not know the height of the page before its end
    // (the test device then has a fixed width of 11 cm and its own length).
    QTest::newRow("height unknown, lineart")
        << QStringList{"depth=1", "hand-scanner=yes"} << int(COMPRESSION_CCITTFAX4) << 1 << 1
        << int(PHOTOMETRIC_MINISWHITE) << 1299 << -1 << true;
    QTest::newRow("height unknown, gray")
        << QStringList{"depth=8", "hand-scanner=yes"} << int(COMPRESSION_ADOBE_DEFLATE) << 8 << 1
        << int(PHOTOMETRIC_MINISBLACK) << 1299 << -1 << true;
}

void TestImgScan::pageFormats()
{
    QFETCH(QStringList, options);
    QFETCH(int, compression);
    QFETCH(int, bits);
    QFETCH(int, samples);
    QFETCH(int, photometric);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, black);

    ImgScan scan;
    openAndPrepare(scan, folder());
    scan.setDeviceOption(QStringLiteral("source"), QStringLiteral("Flatbed"));
    for (const QString& option : std::as_const(options)) {
        const qsizetype eq = option.indexOf(QLatin1Char('='));
        scan.setDeviceOption(option.left(eq), option.mid(eq + 1));
    }
    Recorder rec;
    rec.attach(scan, folder());
    rec.start(scan);
    scan.CloseScanner();
    QCOMPARE(rec.pages, QList<int>{1});
    QCOMPARE(filesIn(folder()), pageNames({1}));

    const TiffFacts page = readTiff(folder() + QStringLiteral("/img0001.tif"));
    QVERIFY2(page.ok, qPrintable(page.error));
    QCOMPARE(int(page.compression), compression);
    QCOMPARE(int(page.bitsPerSample), bits);
    QCOMPARE(int(page.samplesPerPixel), samples);
    QCOMPARE(int(page.photometric), photometric);
    if (compression == COMPRESSION_ADOBE_DEFLATE)
        QCOMPARE(int(page.predictor), int(PREDICTOR_HORIZONTAL));
    QCOMPARE(int(page.width), width);
    if (height > 0)
        QCOMPARE(int(page.height), height);
    else
        QVERIFY(page.height > 100);
    QCOMPARE(page.xResolution, 300.0f);
    QCOMPARE(page.yResolution, 300.0f);
    if (black)
        QVERIFY2(page.blackShare > 0.99, qPrintable(QString::number(page.blackShare)));
    else
        QVERIFY2(page.blackShare < 0.01, qPrintable(QString::number(page.blackShare)));

    // Every row decoded, and libtiff has nothing to complain of.
    QVERIFY2(page.complaints.isEmpty(), qPrintable(page.complaints.join(u'\n')));
}

void TestImgScan::unsupportedImageFormatIsReported()
{
    // One-bit colour has no agreed layout among backends; it is refused
    // plainly rather than stored wrongly.
    ImgScan scan;
    openAndPrepare(scan, folder());
    scan.setDeviceOption(QStringLiteral("mode"), QStringLiteral("Color"));
    scan.setDeviceOption(QStringLiteral("depth"), QStringLiteral("1"));
    Recorder rec;
    rec.attach(scan, folder());
    QCOMPARE(
        failureOf([&] { rec.start(scan); }),
        QStringLiteral("Page 1 could not be scanned: the scanner delivers images this program cannot store "
                       "(colour at depth 1)"));
    QVERIFY(rec.pages.isEmpty());
    QCOMPARE(filesIn(folder()), QStringList());
    scan.CloseScanner();
}

// ---------------------------------------------------------------- Failures

void TestImgScan::batchNamesNeverComeTwice()
{
    QSettings store = userStore();
    store.remove(QStringLiteral("Scanner/lastBatch"));
    const QDateTime at(QDate(2026, 12, 9), QTime(9, 15, 2));
    QCOMPARE(BatchNames::nextStamp(at, store), QStringLiteral("20261209-091502"));
    QCOMPARE(BatchNames::nextStamp(at, store), QStringLiteral("20261209-091503")); // the same second
    QCOMPARE(BatchNames::nextStamp(at.addSecs(-3600), store), QStringLiteral("20261209-091504")); // set back
    QCOMPARE(BatchNames::nextStamp(at.addDays(1), store), QStringLiteral("20261210-091502"));
    QCOMPARE(BatchNames::batchTemplate(QStringLiteral("/s"), QStringLiteral("20261209-091502")),
             QStringLiteral("/s/img20261209-091502-"));
}

void TestImgScan::scannerFailureKeepsEarlierPages_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("text");   // SANE's own words
    QTest::addColumn<QString>("advice"); // what the status box tells the operator first
    QTest::newRow("jam") << "SANE_STATUS_JAMMED"
                         << "Document feeder jammed"
                         << "The feeder jammed after page 3: clear it and press Scan All again";
    QTest::newRow("input/output error") << "SANE_STATUS_IO_ERROR"
                                        << "Error during device I/O"
                                        << "The scanner stopped answering after page 3: check that it is on "
                                           "and connected, then press Scan All again";
    QTest::newRow("cover open")
        << "SANE_STATUS_COVER_OPEN"
        << "Scanner cover is open"
        << "The scanner's cover is open after page 3: close it and press Scan All again";
    QTest::newRow("busy")
        << "SANE_STATUS_DEVICE_BUSY"
        << "Device busy"
        << "The scanner is busy (another program may be using it): wait until it is free and "
           "press Scan All again";
}

void TestImgScan::scannerFailureKeepsEarlierPages()
{
    QFETCH(QString, status);
    QFETCH(QString, text);
    QFETCH(QString, advice);
    ImgScan scan;
    openAndPrepare(scan, folder());
    scan.setDeviceOptionAfterPage(3, QStringLiteral("read-return-value"), status);
    Recorder rec;
    rec.attach(scan, folder());
    const QString failure = failureOf([&] { rec.start(scan); });
    QVERIFY2(failure.contains(text), qPrintable(failure));
    QVERIFY2(failure.contains(QLatin1String("Page 4")), qPrintable(failure));
    QCOMPARE(ScanAdvice::faultLine(scan.lastFault(), true, 3, failure),
             advice + QStringLiteral("; the 3 pages scanned are kept and will be filed (") + failure +
                 QStringLiteral(")."));
    QCOMPARE(rec.pages, (QList<int>{1, 2, 3}));
    QCOMPARE(rec.scanDone, 0);
    QVERIFY(!scan.isScanning());
    // The pages before the failure stay; the page being read leaves nothing.
    QCOMPARE(filesIn(folder()), pageNames({1, 2, 3}));
    scan.CloseScanner();
}

void TestImgScan::failureOnFirstPageLeavesNothing()
{
    ImgScan scan;
    openAndPrepare(scan, folder());
    scan.setDeviceOption(QStringLiteral("read-return-value"), QStringLiteral("SANE_STATUS_JAMMED"));
    Recorder rec;
    rec.attach(scan, folder());
    const QString failure = failureOf([&] { rec.start(scan); });
    QCOMPARE(failure, QStringLiteral("Page 1 could not be scanned: Document feeder jammed"));
    QVERIFY(rec.pages.isEmpty());
    QCOMPARE(rec.scanDone, 0);
    QCOMPARE(filesIn(folder()), QStringList());
    scan.CloseScanner();
}

void TestImgScan::scannerOpenedAgainAfterFailure()
{
    // After a failure the main window leaves the scanner open and the next
    // Scan All opens it again.
    ImgScan scan;
    openAndPrepare(scan, folder());
    scan.setDeviceOptionAfterPage(2, QStringLiteral("read-return-value"),
                                  QStringLiteral("SANE_STATUS_JAMMED"));
    QVERIFY(!failureOf([&] { scan.StartScan(); }).isEmpty());
    QCOMPARE(SaneSession::users(), 1);
    openAndPrepare(scan, folder());
    QCOMPARE(SaneSession::users(), 1);
    Recorder rec;
    rec.attach(scan, folder());
    rec.start(scan);
    scan.CloseScanner();
    QCOMPARE(rec.pages.size(), 10);
    QCOMPARE(filesIn(folder()).size(), 12);
    QVERIFY(QFileInfo::exists(folder() + QStringLiteral("/img0012.tif")));
}

void TestImgScan::wrongOptionValuesThrow_data()
{
    QTest::addColumn<int>("which");
    QTest::addColumn<int>("value");
    QTest::newRow("scan to 0") << 0 << 0;
    QTest::newRow("scan to 3") << 0 << 3;
    QTest::newRow("multi-page false") << 1 << 0;
    QTest::newRow("page option 0") << 2 << 0;
    QTest::newRow("page option 2") << 2 << 2;
    QTest::newRow("file type 0") << 3 << 0;
    QTest::newRow("file type 2") << 3 << 2;
    QTest::newRow("empty template") << 4 << 0;
}

void TestImgScan::wrongOptionValuesThrow()
{
    QFETCH(int, which);
    QFETCH(int, value);
    ImgScan scan;
    openAndPrepare(scan, folder());
    const QString failure = failureOf([&] {
        switch (which) {
        case 0:
            scan.SetScanTo(value);
            break;
        case 1:
            scan.SetMultiPage(value != 0);
            break;
        case 2:
            scan.SetPageOption(qint16(value));
            break;
        case 3:
            scan.SetFileType(value);
            break;
        default:
            scan.SetImage(QString());
        }
    });
    QVERIFY(!failure.isEmpty());
    // A refused value is not left behind as if it had been taken: the batch
    // does not start.
    QVERIFY(!failureOf([&] { scan.StartScan(); }).isEmpty());
    QCOMPARE(filesIn(folder()), QStringList());
    scan.CloseScanner();
}

void TestImgScan::startScanNeedsEveryOption()
{
    ImgScan scan;
    scan.OpenScanner();
    scan.SetScanTo(4);
    scan.SetImage(folder() + QStringLiteral("/img"));
    scan.SetMultiPage(true);
    scan.SetPageOption(1);
    const QString failure = failureOf([&] { scan.StartScan(); });
    QCOMPARE(failure, QStringLiteral("The scan options are not set: file type."));
    QCOMPARE(filesIn(folder()), QStringList());
    scan.CloseScanner();
}

void TestImgScan::startScanNeedsOpenScanner()
{
    ImgScan scan;
    scan.SetScanTo(4);
    scan.SetImage(folder() + QStringLiteral("/img"));
    scan.SetMultiPage(true);
    scan.SetPageOption(1);
    scan.SetFileType(1);
    QCOMPARE(failureOf([&] { scan.StartScan(); }), QStringLiteral("The scanner is not open."));
    QCOMPARE(failureOf([&] { scan.setDeviceOption(QStringLiteral("mode"), QStringLiteral("Gray")); }),
             QStringLiteral("The scanner is not open."));
}

void TestImgScan::missingFolderIsReported()
{
    ImgScan scan;
    openAndPrepare(scan, folder() + QStringLiteral("/gone"));
    const QString failure = failureOf([&] { scan.StartScan(); });
    QCOMPARE(failure, QStringLiteral("The folder %1/gone does not exist.").arg(folder()));
    QCOMPARE(filesIn(folder()), QStringList());
    // Not the scanner's fault: the operator is sent to the folder, not to the scanner.
    const QString gone = folder() + QStringLiteral("/gone");
    QCOMPARE(ScanAdvice::writeFaultLine(gone, ScanAdvice::examine(gone, {}), 0, failure),
             QStringLiteral("The read-from folder %1 does not exist: create it, or choose another in Setup, "
                            "then press Scan All again (%2).")
                 .arg(gone, failure));
    scan.CloseScanner();
}

void TestImgScan::writeFaultsNameTheirCause_data()
{
    QTest::addColumn<bool>("writable");
    QTest::addColumn<qint64>("freeBytes");
    QTest::addColumn<QString>("technical");
    QTest::addColumn<QString>("line");
    const QString noSpace =
        QStringLiteral("The page file /s/.img-0004.tif.part could not be written: No space left "
                       "on device");
    const QString kept = QStringLiteral("; the 3 pages scanned are kept and will be filed (%1).");
    QTest::newRow("the system says full")
        << true << qint64(3 << 20) << noSpace
        << QStringLiteral(
               "The disk holding /s is full: 3.0 MB free, and a page needs about 1.0 MB. Free space "
               "on it and press Scan All again") +
               kept.arg(noSpace);
    // libtiff's own words ("Error writing TIFF header") do not say why: the room left does.
    const QString header = QStringLiteral("Error writing TIFF header");
    QTest::newRow("less room than a page")
        << true << qint64(4096) << header
        << QStringLiteral(
               "The disk holding /s is full: 4.0 kB free, and a page needs about 1.0 MB. Free space "
               "on it and press Scan All again") +
               kept.arg(header);
    QTest::newRow("room enough: no reason of the folder's") << true << qint64(5 << 20) << header << QString();
    QTest::newRow("not this account's")
        << false << qint64(5 << 20) << header
        << QStringLiteral(
               "This account may not write into the read-from folder /s: let it, or choose another "
               "folder in Setup, then press Scan All again") +
               kept.arg(header);
}

void TestImgScan::writeFaultsNameTheirCause()
{
    QFETCH(bool, writable);
    QFETCH(qint64, freeBytes);
    QFETCH(QString, technical);
    QFETCH(QString, line);
    ScanAdvice::FolderFacts facts;
    facts.writable = writable;
    facts.freeBytes = freeBytes;
    facts.pageBytes = 1 << 20;
    QCOMPARE(ScanAdvice::writeFaultLine(QStringLiteral("/s"), facts, 3, technical), line);
}

void TestImgScan::secondStartScanDuringBatchIsRefused()
{
    ImgScan scan;
    openAndPrepare(scan, folder());
    QStringList refusals;
    connect(&scan, &ImgScan::PageDone, this, [&](int n) {
        if (n != 2)
            return;
        refusals << failureOf([&] { scan.StartScan(); });
        refusals << failureOf([&] { scan.CloseScanner(); });
        refusals << failureOf([&] { scan.OpenScanner(); });
        refusals << failureOf([&] { showSelectScanner(scan, nullptr); });
    });
    int pages = 0;
    connect(&scan, &ImgScan::PageDone, this, [&] { ++pages; });
    scan.StartScan();
    scan.CloseScanner();
    QCOMPARE(refusals.size(), 4);
    QCOMPARE(refusals.at(0), QStringLiteral("A scan is already in progress."));
    for (const QString& refusal : std::as_const(refusals))
        QVERIFY(!refusal.isEmpty());
    // The batch ran to its end all the same.
    QCOMPARE(pages, 10);
    QCOMPARE(filesIn(folder()).size(), 10);
}

// ---------------------------------------------------------------- Choice of scanner

namespace {

/// Answers the selection dialog once it is up: checks its list, picks a row
/// (or none) and presses OK or Cancel.
struct DialogAnswer
{
    QStringList listed;
    QString title;
    QString preselected;
    bool okEnabled = false;
    bool found = false;

    void schedule(int row, bool accept)
    {
        QTimer::singleShot(0, [this, row, accept] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog || dialog->objectName() != QLatin1String("SelectScannerDialog"))
                return;
            found = true;
            title = dialog->windowTitle();
            auto* list = dialog->findChild<QListWidget*>(QStringLiteral("deviceList"));
            auto* box = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
            if (!list || !box) {
                dialog->close();
                return;
            }
            for (int i = 0; i < list->count(); ++i)
                listed << list->item(i)->text();
            if (list->currentItem())
                preselected = list->currentItem()->text();
            if (row >= 0)
                list->setCurrentRow(row);
            okEnabled = box->button(QDialogButtonBox::Ok)->isEnabled();
            box->button(accept ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
        });
    }
};

} // namespace

void TestImgScan::dialogListsDevicesAndStoresChoice()
{
    ImgScan scan;
    DialogAnswer answer;
    answer.schedule(1, true);
    showSelectScanner(scan, nullptr);
    QVERIFY(answer.found);
    QCOMPARE(answer.title, QStringLiteral("Select Scanner"));
    QCOMPARE(answer.listed, (QStringList{QStringLiteral("Noname frontend-tester (test:0)"),
                                         QStringLiteral("Noname frontend-tester (test:1)")}));
    QVERIFY(answer.okEnabled);
    QCOMPARE(SaneSession::users(), 0);

    // Remembered for the user, where the next start finds it.
    QCOMPARE(ImgScan::storedDevice(), QStringLiteral("test:1"));
    QSettings store = userStore();
    QCOMPARE(store.value(QStringLiteral("Scanner/device")).toString(), QStringLiteral("test:1"));
    QCOMPARE(store.value(QStringLiteral("Scanner/vendor")).toString(), QStringLiteral("Noname"));
    QCOMPARE(store.value(QStringLiteral("Scanner/model")).toString(), QStringLiteral("frontend-tester"));
    QVERIFY2(store.fileName().endsWith(QLatin1String("/quillStore.conf")), qPrintable(store.fileName()));

    ImgScan next;
    next.OpenScanner();
    QCOMPARE(next.deviceName(), QStringLiteral("test:1"));
    next.CloseScanner();

    // Shown again, the dialog starts on the remembered scanner.
    DialogAnswer again;
    again.schedule(-1, false);
    showSelectScanner(scan, nullptr);
    QCOMPARE(again.preselected, QStringLiteral("Noname frontend-tester (test:1)"));
}

void TestImgScan::dialogCancelKeepsChoice()
{
    storeDevice(QStringLiteral("test:0"));
    ImgScan scan;
    DialogAnswer answer;
    answer.schedule(1, false);
    showSelectScanner(scan, nullptr);
    QVERIFY(answer.found);
    QCOMPARE(ImgScan::storedDevice(), QStringLiteral("test:0"));
}

void TestImgScan::openUsesFirstDeviceWithoutChoice()
{
    QCOMPARE(ImgScan::storedDevice(), QString());
    ImgScan scan;
    scan.OpenScanner();
    QCOMPARE(scan.deviceName(), QStringLiteral("test:0"));
    scan.CloseScanner();
}

void TestImgScan::storedDeviceThatIsGoneFailsAtOpen_data()
{
    // The chosen scanner's name is gone (a USB scanner on another port); what
    // else is present decides. Every present test device is "Noname frontend-tester".
    QTest::addColumn<QString>("storedModel");
    QTest::addColumn<int>("devices");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("opened");
    const QString gone = QStringLiteral("Scanner test:7 could not be opened: Invalid argument");
    QTest::newRow("its kind unknown: reported") << QString() << 2 << gone << QString();
    QTest::newRow("none of its kind: reported") << QStringLiteral("Acme") << 2 << gone << QString();
    QTest::newRow("two of its kind: never swapped")
        << QStringLiteral("frontend-tester") << 2
        << QStringLiteral(
               "Scanner test:7 (Noname frontend-tester) was not found, and 2 scanners of that kind are "
               "present: test:0, test:1. Choose one with Select Scanner.")
        << QString();
    QTest::newRow("one of its kind: found there")
        << QStringLiteral("frontend-tester") << 1 << QString() << QStringLiteral("test:0");
}

void TestImgScan::storedDeviceThatIsGoneFailsAtOpen()
{
    QFETCH(QString, storedModel);
    QFETCH(int, devices);
    QFETCH(QString, failure);
    QFETCH(QString, opened);
    // The test backend makes as many devices as its configuration says, read
    // once per process: the rows for one device run in tst_imgscan_one_device.
    const bool oneDevice = qgetenv("SANE_CONFIG_DIR").endsWith("/sane-one-device");
    if ((devices == 1) != oneDevice)
        QSKIP("runs with the other configuration of the test backend");
    storeDevice(QStringLiteral("test:7"));
    if (!storedModel.isEmpty()) {
        QSettings s = userStore();
        s.setValue(QStringLiteral("Scanner/vendor"), QStringLiteral("Noname"));
        s.setValue(QStringLiteral("Scanner/model"), storedModel);
        s.sync();
    }
    ImgScan scan;
    QCOMPARE(failureOf([&] { scan.OpenScanner(); }), failure);
    QCOMPARE(scan.deviceName(), opened);
    if (opened.isEmpty()) {
        QCOMPARE(SaneSession::users(), 0);
        // Never quietly replaced by another scanner.
        QCOMPARE(ImgScan::storedDevice(), QStringLiteral("test:7"));
        QCOMPARE(scan.foundAgain(), QString());
        return;
    }
    QCOMPARE(ImgScan::storedDevice(), opened);
    QCOMPARE(scan.foundAgain(),
             QStringLiteral("The scanner Noname frontend-tester was not found at test:7; it is at "
                            "test:0 now and was opened there."));
    scan.CloseScanner();
}

void TestImgScan::saneInitAndExitArePaired()
{
    ImgScan a;
    ImgScan b;
    QCOMPARE(SaneSession::users(), 0);
    a.OpenScanner();
    QCOMPARE(SaneSession::users(), 1);
    storeDevice(QStringLiteral("test:1")); // a device can be open only once
    b.OpenScanner();
    QCOMPARE(b.deviceName(), QStringLiteral("test:1"));
    QCOMPARE(SaneSession::users(), 2);
    storeDevice(QStringLiteral("test:0"));
    a.OpenScanner(); // opened afresh, not twice
    QCOMPARE(a.deviceName(), QStringLiteral("test:0"));
    QCOMPARE(SaneSession::users(), 2);
    a.CloseScanner();
    QCOMPARE(SaneSession::users(), 1);
    a.CloseScanner(); // closing twice is harmless
    QCOMPARE(SaneSession::users(), 1);
    {
        ImgScan c;
        c.OpenScanner(); // test:0, free again
        QCOMPARE(SaneSession::users(), 2);
    } // the destructor closes what is open
    QCOMPARE(SaneSession::users(), 1);
    b.CloseScanner();
    QCOMPARE(SaneSession::users(), 0);
}

// ---------------------------------------------------------------- Page writer and options

void TestImgScan::commitSkipsNameTakenDuringPage()
{
    // Another program takes the name while the page is being written: the
    // page moves on to the next free number and the other file is untouched.
    TiffPageWriter writer(folder(), QStringLiteral("img"));
    QVERIFY2(writer.begin(TiffPageWriter::Kind::Gray, 16, 4, 300, 300, 1), qPrintable(writer.error()));
    QCOMPARE(writer.temporaryPath(), folder() + QStringLiteral("/.img0001.tif.part"));
    const uint8_t row[16] = {0, 16, 32, 48, 64, 80, 96, 112, 128, 144, 160, 176, 192, 208, 224, 240};
    for (int i = 0; i < 4; ++i)
        QVERIFY(writer.writeRow(row));
    QVERIFY(TestSupport::writeFile(folder() + QStringLiteral("/img0001.tif"), "someone else's"));
    QVERIFY2(writer.commit(), qPrintable(writer.error()));
    QCOMPARE(writer.committedNumber(), 2);
    QCOMPARE(writer.committedPath(), folder() + QStringLiteral("/img0002.tif"));
    QCOMPARE(TestSupport::readFile(folder() + QStringLiteral("/img0001.tif")), QByteArray("someone else's"));
    QCOMPARE(filesIn(folder()), pageNames({1, 2}));
    const TiffFacts page = readTiff(writer.committedPath());
    QVERIFY2(page.ok, qPrintable(page.error));
    QCOMPARE(page.width, 16u);
    QCOMPARE(page.height, 4u);

    // A page that is dropped leaves nothing behind.
    TiffPageWriter dropped(folder(), QStringLiteral("img"));
    QVERIFY(dropped.begin(TiffPageWriter::Kind::Bilevel, 16, 0, 300, 300, 1));
    QCOMPARE(dropped.temporaryPath(), folder() + QStringLiteral("/.img0003.tif.part"));
    QVERIFY(dropped.writeRow(row));
    dropped.discard();
    QCOMPARE(filesIn(folder()), pageNames({1, 2}));

    // An empty page is no page.
    TiffPageWriter empty(folder(), QStringLiteral("img"));
    QVERIFY(empty.begin(TiffPageWriter::Kind::Rgb, 16, 0, 300, 300, 1));
    QVERIFY(!empty.commit());
    QCOMPARE(empty.error(), QStringLiteral("The scanner delivered an empty page"));
    QCOMPARE(filesIn(folder()), pageNames({1, 2}));
}

void TestImgScan::unwritableFolderIsReported()
{
    // A write that fails in the middle of a page (here: a file-size limit,
    // which holds for every user, root included) is reported with the
    // system's words, and the half-written page is removed.
    ImgScan scan;
    openAndPrepare(scan, folder());
    int pages = 0;
    connect(&scan, &ImgScan::PageDone, this, [&] { ++pages; });
    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tiny = saved;
    tiny.rlim_cur = 64;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const QString failure = failureOf([&] { scan.StartScan(); });
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);
    QVERIFY2(failure.contains(QLatin1String("File too large")), qPrintable(failure));
    QVERIFY2(failure.contains(QLatin1String(".img0001.tif.part")), qPrintable(failure));
    QCOMPARE(pages, 0);
    QCOMPARE(filesIn(folder()), QStringList());
    scan.CloseScanner();
}

void TestImgScan::nearestResolution_data()
{
    QTest::addColumn<int>("wanted");
    QTest::addColumn<int>("min");
    QTest::addColumn<int>("max");
    QTest::addColumn<int>("quant");
    QTest::addColumn<int>("expected");
    QTest::newRow("inside, any step") << 300 << 1 << 1200 << 0 << 300;
    QTest::newRow("inside, on a step") << 300 << 100 << 1200 << 100 << 300;
    QTest::newRow("between steps") << 300 << 75 << 1200 << 150 << 375;
    QTest::newRow("nearest step") << 300 << 0 << 1200 << 160 << 320;
    QTest::newRow("below the range") << 300 << 400 << 1200 << 0 << 400;
    QTest::newRow("above the range") << 300 << 50 << 200 << 50 << 200;
    QTest::newRow("step past the top") << 300 << 100 << 310 << 150 << 250;
}

void TestImgScan::nearestResolution()
{
    QFETCH(int, wanted);
    QFETCH(int, min);
    QFETCH(int, max);
    QFETCH(int, quant);
    QFETCH(int, expected);
    QCOMPARE(SaneOptions::nearestInRange(wanted, min, max, quant), expected);
}

void TestImgScan::storedChoiceAgainstOffer_data()
{
    // The device's resolutions: a list, or a range (min, max, step) when the
    // column says so.
    QTest::addColumn<bool>("range");
    QTest::addColumn<QList<int>>("offer");
    QTest::addColumn<int>("stored");
    QTest::addColumn<int>("used");
    QTest::addColumn<QList<int>>("listed");
    const QList<int> list{75, 150, 300, 600};
    const QList<int> usual{150, 200, 300, 400, 600};
    QTest::newRow("between two, the nearer") << false << list << 250 << 300 << list;
    QTest::newRow("past the list") << false << list << 1200 << 600 << list;
    QTest::newRow("nothing stored") << false << list << 0 << 0 << list;
    QTest::newRow("in the range") << true << QList<int>{1, 1200, 1} << 175 << 175 << usual;
    QTest::newRow("off the range's steps") << true << QList<int>{50, 600, 50} << 175 << 200 << usual;
    QTest::newRow("a small range") << true << QList<int>{100, 250, 0} << 300 << 250 << QList<int>{150, 200};
    QTest::newRow("no resolution to choose") << false << QList<int>{} << 300 << 0 << QList<int>{};
}

void TestImgScan::storedChoiceAgainstOffer()
{
    QFETCH(bool, range);
    QFETCH(QList<int>, offer);
    QFETCH(int, stored);
    QFETCH(int, used);
    QFETCH(QList<int>, listed);
    DeviceOffer device;
    if (range) {
        device.hasRange = true;
        device.rangeMin = offer.at(0);
        device.rangeMax = offer.at(1);
        device.rangeStep = offer.at(2);
    } else {
        device.resolutions = offer;
    }
    ScanChoices choices;
    choices.resolution = stored;
    const ResolvedChoices resolved = resolveChoices(choices, device, QStringLiteral("test:0"));
    QCOMPARE(resolved.resolution, used);
    // Said whenever what is used is not what was stored.
    QCOMPARE(resolved.resolutionNote.isEmpty(), used == stored);
    QCOMPARE(device.resolutionChoices(), listed);
}

void TestImgScan::storedChoicesShapePages_data()
{
    // What is stored beside test:0, and the pages it gives. The test device
    // offers "Flatbed" and "Automatic Document Feeder" (10 pages), "Gray" and
    // "Color", and any resolution from 1 to 1200 dpi.
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("resolution");
    QTest::addColumn<int>("pages");
    QTest::addColumn<int>("samples");
    QTest::addColumn<float>("dpi");
    QTest::addColumn<QStringList>("notes");
    QTest::newRow("nothing stored: as always")
        << QString() << QString() << 0 << 10 << 1 << 300.0f << QStringList{};
    QTest::newRow("colour at 150 dpi from the flatbed")
        << "Flatbed"
        << "Color" << 150 << 1 << 3 << 150.0f << QStringList{};
    QTest::newRow("past the range")
        << "Flatbed" << QString() << 2400 << 1 << 1 << 1200.0f
        << QStringList{"Scanner test:0 no longer offers the 2400 dpi chosen for it; 1200 dpi, the nearest it "
                       "offers, is used."};
    QTest::newRow("a mode and a source gone")
        << "ADF Duplex"
        << "Lineart" << 0 << 10 << 1 << 300.0f
        << QStringList{"Scanner test:0 no longer offers the colour mode \"Black and white\" chosen for it; "
                       "its own starting mode is used.",
                       "Scanner test:0 no longer offers the source \"ADF Duplex\" chosen for it; the "
                       "station's own choice (the feeder when there is one) is used."};
}

void TestImgScan::storedChoicesShapePages()
{
    QFETCH(QString, source);
    QFETCH(QString, mode);
    QFETCH(int, resolution);
    QFETCH(int, pages);
    QFETCH(int, samples);
    QFETCH(float, dpi);
    QFETCH(QStringList, notes);
    storeDevice(QStringLiteral("test:0"));
    {
        QSettings store = userStore();
        ScanChoices choices;
        choices.source = source;
        choices.mode = mode;
        choices.resolution = resolution;
        choices.store(store);
    }
    ImgScan scan;
    openAndPrepare(scan, folder());
    QCOMPARE(scan.choiceNotes(), notes);
    Recorder rec;
    rec.attach(scan, folder());
    rec.start(scan);
    scan.CloseScanner();
    QCOMPARE(rec.pages.size(), pages);
    const TiffFacts page = readTiff(folder() + QStringLiteral("/img0001.tif"));
    QVERIFY2(page.ok, qPrintable(page.error));
    QCOMPARE(int(page.samplesPerPixel), samples);
    QCOMPARE(int(page.bitsPerSample), 8);
    QCOMPARE(page.xResolution, dpi);
    QCOMPARE(page.yResolution, dpi);
    // 20 mm at the resolution used.
    QCOMPARE(int(page.width), int(20 / 25.4 * dpi));
}

void TestImgScan::dialogStoresTheChoicesShown()
{
    // Stored beside test:0: 175 dpi, which its range allows though it is not a usual value.
    storeDevice(QStringLiteral("test:0"));
    {
        QSettings store = userStore();
        ScanChoices choices;
        choices.resolution = 175;
        choices.store(store);
    }
    QStringList resolutions, onOtherDevice;
    bool answered = false;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (!dialog || dialog->objectName() != QLatin1String("SelectScannerDialog"))
            return;
        auto* list = dialog->findChild<QListWidget*>(QStringLiteral("deviceList"));
        const auto box = [dialog](const char* name) { return dialog->findChild<QComboBox*>(name); };
        QComboBox* source = box("sourceBox");
        QComboBox* resolution = box("resolutionBox");
        const auto pick = [](QComboBox* combo, const QString& text) {
            combo->setCurrentIndex(combo->findText(text));
        };
        if (QTest::qWaitFor([&] { return source->isEnabled(); }, 10000)) {
            for (int i = 0; i < resolution->count(); ++i)
                resolutions << resolution->itemText(i);
            pick(source, QStringLiteral("Flatbed"));
            pick(box("modeBox"), QStringLiteral("Colour"));
            pick(resolution, QStringLiteral("150 dpi"));
            // Another device shows its own offer, from the station's choices;
            // back on the first, what was chosen for it is there again.
            list->setCurrentRow(1);
            if (QTest::qWaitFor([&] { return source->isEnabled(); }, 10000))
                onOtherDevice = QStringList{source->currentText(), resolution->currentText()};
            list->setCurrentRow(0);
            pick(box("documentsBox"), QStringLiteral("One document a Scan All"));
            dialog->findChild<QLineEdit*>(QStringLiteral("separatorCodeEdit"))->clear();
            pick(box("blankPagesBox"), QStringLiteral("Set them aside"));
            answered = true;
            dialog->findChild<QPushButton*>(QStringLiteral("okButton"))->click();
        } else {
            dialog->close();
        }
    });
    ImgScan scan;
    showSelectScanner(scan, nullptr);
    QVERIFY(answered);
    QCOMPARE(resolutions, (QStringList{"Station default (300 dpi)", "150 dpi", "175 dpi", "200 dpi",
                                       "300 dpi", "400 dpi", "600 dpi"}));
    QCOMPARE(onOtherDevice, (QStringList{"Station default (the feeder)", "Station default (300 dpi)"}));
    QSettings store = userStore();
    QCOMPARE(store.value(QStringLiteral("Scanner/device")).toString(), QStringLiteral("test:0"));
    QCOMPARE(store.value(QStringLiteral("Scanner/source")).toString(), QStringLiteral("Flatbed"));
    QCOMPARE(store.value(QStringLiteral("Scanner/mode")).toString(), QStringLiteral("Color"));
    QCOMPARE(store.value(QStringLiteral("Scanner/resolution")).toInt(), 150);
    QCOMPARE(store.value(QStringLiteral("Scanner/documents")).toString(), QStringLiteral("batch"));
    QCOMPARE(store.value(QStringLiteral("Scanner/separatorCode"), QStringLiteral("absent")).toString(),
             QString());
    QCOMPARE(store.value(QStringLiteral("Scanner/blankPages")).toString(), QStringLiteral("setAside"));
}

QTEST_MAIN(TestImgScan)
#include "tst_imgscan.moc"
