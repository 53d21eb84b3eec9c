// The application quits while a batch runs: StartScan's wait ends from
// outside, so the adapter stops the scanner and returns instead of leaving the
// worker thread behind. Alone in its process, since after quit() no event loop
// of the test would run again.
#include "Failure.h"
#include "ImgScan.h"
#include "SaneSession.h"
#include "TiffFacts.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TestImgScanQuit : public QObject
{
    Q_OBJECT

private slots:
    void quitDuringBatchStopsTheScanner();
};

void TestImgScanQuit::quitDuringBatchStopsTheScanner()
{
    // Only the project's own SANE configuration may be loaded.
    QVERIFY(qgetenv("SANE_CONFIG_DIR").endsWith("tests/sane"));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quillStore"))
        .remove(QStringLiteral("Scanner/device"));

    ImgScan scan;
    scan.OpenScanner();
    scan.setDeviceOption(QStringLiteral("br-x"), QStringLiteral("20"));
    scan.setDeviceOption(QStringLiteral("br-y"), QStringLiteral("20"));
    // Page 1 is small; page 2 is a whole 20 cm square at 1200 dpi, so the quit
    // normally comes while it is being read.
    scan.setDeviceOptionAfterPage(1, QStringLiteral("resolution"), QStringLiteral("1200"));
    scan.setDeviceOptionAfterPage(1, QStringLiteral("br-x"), QStringLiteral("200"));
    scan.setDeviceOptionAfterPage(1, QStringLiteral("br-y"), QStringLiteral("200"));
    scan.SetScanTo(4);
    scan.SetImage(dir.path() + QStringLiteral("/img"));
    scan.SetMultiPage(true);
    scan.SetPageOption(1);
    scan.SetFileType(1);

    int pages = 0;
    connect(&scan, &ImgScan::PageDone, this, [&](int) {
        if (++pages == 1)
            QCoreApplication::exit(0);
    });
    int scanDone = 0;
    connect(&scan, &ImgScan::ScanDone, this, [&] { ++scanDone; });
    QString failure;
    try {
        scan.StartScan();
    } catch (const Failure& f) {
        failure = f.description();
    }
    QVERIFY(!scan.isScanning());

    // Whatever was written is whole; nothing half-written is left.
    const QStringList names = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    for (const QString& name : names) {
        QVERIFY2(!name.startsWith(QLatin1Char('.')), qPrintable(name));
        const TiffFacts page = readTiff(dir.filePath(name));
        QVERIFY2(page.ok, qPrintable(page.error));
    }
    if (failure.isEmpty()) {
        // Only if the whole batch was through before the quit was seen.
        QCOMPARE(names.size(), 10);
        QCOMPARE(scanDone, 1);
    } else {
        // A stopped batch is not reported as complete.
        QVERIFY2(failure.startsWith(QLatin1String("The scan was stopped before page ")), qPrintable(failure));
        QVERIFY(names.size() < 10);
        QCOMPARE(scanDone, 0);
    }
    scan.CloseScanner();
    QCOMPARE(SaneSession::users(), 0);
}

QTEST_MAIN(TestImgScanQuit)
#include "tst_imgscan_quit.moc"
