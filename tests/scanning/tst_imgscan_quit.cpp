// SPDX-License-Identifier: GPL-3.0-or-later
// The application quits while a slow batch runs: StartScan's wait ends from
// outside, so the adapter stops the scanner and returns within a few seconds,
// even when the worker is held (as by a lock a cancelled backend reader left
// taken). Alone in its process, since after quit() no event loop of the test
// would run again.
#include "Failure.h"
#include "ImgScan.h"
#include "SaneSession.h"
#include "TiffFacts.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>

namespace {

QAtomicInt s_quitAsked = 0;
QAtomicInt s_held = 0;
QSemaphore* s_release = nullptr;
QtMessageHandler s_previous = nullptr;

/// Once the quit is asked, the worker's next message holds it, for far longer
/// than a quit may take.
void holdTheWorker(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (s_quitAsked.loadAcquire() && QThread::currentThread() != QCoreApplication::instance()->thread()) {
        s_held.storeRelease(1);
        s_release->tryAcquire(1, 20000);
    }
    s_previous(type, context, message);
}

} // namespace

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
    // Every buffer of a page waits 200 ms in the backend's reader.
    scan.setDeviceOption(QStringLiteral("read-delay"), QStringLiteral("yes"));
    scan.setDeviceOption(QStringLiteral("read-delay-duration"), QStringLiteral("200000"));

    s_release = new QSemaphore; // left to the end of the process, as a held worker may wait on it
    s_previous = qInstallMessageHandler(holdTheWorker);
    int pages = 0;
    QElapsedTimer sinceQuit;
    connect(&scan, &ImgScan::PageDone, this, [&](int) {
        if (++pages == 1) {
            sinceQuit.start();
            s_quitAsked.storeRelease(1);
            QCoreApplication::exit(0);
        }
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
    QVERIFY2(sinceQuit.isValid() && sinceQuit.elapsed() < 5000,
             qPrintable(QString::number(sinceQuit.elapsed())));

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
        QVERIFY2(failure.startsWith(QLatin1String("The scan was stopped ")), qPrintable(failure));
        QVERIFY(names.size() < 10);
        QCOMPARE(scanDone, 0);
    }
    // The held worker may still be in the backend: SANE stays up beneath it.
    scan.CloseScanner();
    // A worker that ended on its own before it said anything was never held
    // (a busy machine can deliver the first page late); one that was held is left.
    if (s_held.loadAcquire())
        QVERIFY(ImgScan::batchLeftRunning());
    if (ImgScan::batchLeftRunning())
        QCOMPARE(SaneSession::users(), 1);
    qInstallMessageHandler(s_previous);
    s_release->release(1000);
}

int main(int argc, char* argv[])
{
    // The backend's reader left running may write into the pipe the cancelled
    // batch closed; the program ends right after such a quit, the test goes on
    // to its checks, and a SIGPIPE there stopped it in QtTest's crash handler.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    TestImgScanQuit test;
    const int rc = QTest::qExec(&test, argc, argv);
    // As the program ends after such a quit.
    if (ImgScan::batchLeftRunning()) {
        std::fflush(nullptr);
        std::_Exit(rc);
    }
    return rc;
}
#include "tst_imgscan_quit.moc"
