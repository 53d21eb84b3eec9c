// SPDX-License-Identifier: GPL-3.0-or-later
// Other processes in the way: tinyproxy with Basic authentication between the
// station and the page, and a second Quillfeed, the real program in a process of
// its own, serving the same read-from folder.
#include "E2e.h"
#include "StationTest.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <signal.h>
#include <sys/stat.h>

using namespace E2e;
using namespace TestSupport;

namespace {

// True when process pid holds an flock on the folder (as /proc/locks lists it).
bool holdsFolderLock(qint64 pid, const QString& folder)
{
    struct stat st;
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0)
        return false;
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return false;
    const QByteArray inode = ':' + QByteArray::number(qulonglong(st.st_ino)) + ' ';
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        // "1: FLOCK ADVISORY WRITE <pid> <maj>:<min>:<inode> 0 EOF"
        if (f.size() >= 6 && f[1] == "FLOCK" && f[4] == QByteArray::number(pid) &&
            (f[5] + ' ').endsWith(inode))
            return true;
    }
    return false;
}

} // namespace

class TestE2eProcesses : public StationTest
{
    Q_OBJECT
private slots:

    void proxyCredentials_data();
    void proxyCredentials();
    void secondStationWaitsForTheFirst();
    void stationKilledMidway_data();
    void stationKilledMidway();
};

void TestE2eProcesses::proxyCredentials_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("none given") << QString() << QString() << false;
    QTest::newRow("wrong password") << QStringLiteral("quill") << QStringLiteral("wrong") << false;
    QTest::newRow("accepted") << QStringLiteral("quill") << QStringLiteral("s3cret-pw") << true;
}

void TestE2eProcesses::proxyCredentials()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, accepted);
    TinyProxyPeer proxy;
    if (!proxy.start(QStringLiteral("quill"), QStringLiteral("s3cret-pw")))
        QSKIP(qPrintable(QStringLiteral("tinyproxy could not be started: %1").arg(proxy.errorString())));
    QVERIFY2(receiver->start(st->inbox), qPrintable(receiver->errorString()));
    Ledger ledger(*st);
    QVERIFY(ledger.put(QStringLiteral("/p1.pdf"), "%PDF-1.4 through the proxy 1"));
    QVERIFY(ledger.put(QStringLiteral("/2024/p2.txt"), "through the proxy 2"));
    const QString url = receiver->url().toString();
    st->writeSettings(url, {proxy.address(), user, password});
    w = st->start();
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    // Refused, the pass halts at the first file; accepted, it runs to its end.
    QVERIFY2(waitUntil([&] { return accepted ? passEnded(*w) : !w->uploadInFlight(); }),
             qPrintable(w->statusText()));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("proxy, credentials %1").arg(QTest::currentDataTag()), t);
    if (accepted) {
        QCOMPARE(t.filed, 2);
        for (const ReceivedUpload& r : receiver->records())
            QVERIFY2(!r.via.isEmpty(), "the request did not come through the proxy");
    } else {
        QCOMPARE(t.kept, 2);
        QVERIFY(receiver->records().isEmpty()); // the proxy let nothing through
        qInfo().noquote() << "proxy refused" << QTest::currentDataTag() << "->"
                          << w->statusText().section(QStringLiteral("\r\n"), 0, 2).left(300);
        // The operator enters the right credentials; the next pass goes through.
        st->writeSettings(url, {proxy.address(), QStringLiteral("quill"), QStringLiteral("s3cret-pw")});
        w->ApplySettings();
        QVERIFY(answersForceTransfer(*w));
        QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText() + proxy.logText()));
        E2E_CHECK(ledger, *receiver,
                  QStringLiteral("proxy, credentials %1, then the right ones").arg(QTest::currentDataTag()),
                  t);
        QCOMPARE(t.filed, 2);
    }
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eProcesses::secondStationWaitsForTheFirst()
{
    QVERIFY2(receiver->start(st->inbox), qPrintable(receiver->errorString()));
    Ledger ledger(*st);
    for (int i = 0; i < 4; ++i)
        QVERIFY(ledger.put(QStringLiteral("/shared%1.pdf").arg(i),
                           "%PDF-1.4 one station files this " + QByteArray::number(i)));
    const QString url = receiver->url().toString();

    // The first station: the real program, copied into a program folder of its own
    // with its settings file (the program finds settings.txt beside its executable,
    // with links resolved, so a link would not do).
    const QString firstProg = st->tmp.path() + QStringLiteral("/first-station");
    QVERIFY(QDir().mkpath(firstProg));
    QVERIFY(QFile::copy(TestSupport::binDir() + QStringLiteral("/quillfeed"),
                        firstProg + QStringLiteral("/quillfeed")));
    QVERIFY(
        TestSupport::writeFile(firstProg + QStringLiteral("/settings.txt"),
                               "First\r\n" + url.toLocal8Bit() + "\r\n" + st->scans.toLocal8Bit() + "\r\n"));
    QProcess first;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), st->tmp.path() + QStringLiteral("/first-config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), st->tmp.path() + QStringLiteral("/first-data"));
    first.setProcessEnvironment(env);
    first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    first.start(firstProg + QStringLiteral("/quillfeed"), {});
    QVERIFY2(first.waitForStarted(), qPrintable(first.errorString()));
    QVERIFY2(waitUntil([&] {
                 return holdsFolderLock(first.processId(), st->scans) || first.state() != QProcess::Running;
             }),
             "the first station never locked the folder");
    QCOMPARE(first.state(), QProcess::Running);

    // The second station, in this process, on the same folder: it shows the waiting
    // files and sends nothing, and says who holds the folder at every pass.
    st->writeSettings(url);
    w = st->start();
    const QString held = QStringLiteral("Another Quillfeed (process %1").arg(first.processId());
    const auto saysHeld = [&] {
        return w->statusText().startsWith(held) &&
               w->statusText().contains(QStringLiteral("is serving the folder ") + st->scans);
    };
    QVERIFY2(saysHeld(), qPrintable(w->statusText()));
    QCOMPARE(w->fileListEntries().size(), 4);
    QVERIFY(answersForceTransfer(*w));
    QVERIFY2(saysHeld(), qPrintable(w->statusText()));
    w->lblUnattended_Click();
    w->chkAutoRead->setChecked(true);
    for (int tick = 1; tick <= 3; ++tick) {
        const qsizetype before = w->statusText().count(held);
        w->Timer1_Timer();
        QVERIFY2(saysHeld() && w->statusText().count(held) == before + 1, qPrintable(w->statusText()));
    }
    QTest::mouseClick(w->CmdStartTransfer[1], Qt::LeftButton);
    QVERIFY(waitUntil([&] { return !w->uploadInFlight(); }));
    QVERIFY2(saysHeld(), qPrintable(w->statusText()));
    QCOMPARE(w->fileListEntries().size(), 4);
    QVERIFY(receiver->records().isEmpty());
    QCOMPARE(first.state(), QProcess::Running);
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("second station while the first runs"), t);
    QCOMPARE(t.kept, 4);

    // The first station is killed outright: its lock goes with it, and the second serves the folder.
    QVERIFY(::kill(pid_t(first.processId()), SIGKILL) == 0);
    QVERIFY(first.waitForFinished(10000));
    QVERIFY(answersForceTransfer(*w));
    QVERIFY2(waitUntil([&] {
                 return passEnded(*w) && !w->statusText().contains(QStringLiteral("Another Quillfeed"));
             }),
             qPrintable(w->statusText()));
    E2E_CHECK(ledger, *receiver, QStringLiteral("second station after the first was killed"), t);
    QCOMPARE(t.filed, 4);
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eProcesses::stationKilledMidway_data()
{
    // The converter, a script around the real one, writes its pid into MARK at the
    // moment the station is to be killed.
    // otherData: the killed station keeps its records elsewhere (another account
    // serving the same folder).
    QTest::addColumn<QByteArray>("converter");
    QTest::addColumn<QString>("note");
    QTest::addColumn<bool>("otherData");
    QTest::addColumn<QString>("pdfName"); // the name the converter's PDF had taken, if not the first
    const QByteArray during = "echo $$ > \"$MARK\"; sleep 2; exec \"$REAL\" \"$1\" \"$2\"\n";
    const QByteArray after = "\"$REAL\" \"$1\" \"$2\" || exit 1; echo $$ > \"$MARK\"; exec sleep 30\n";
    const QString converted = QStringLiteral("Quillfeed stopped after it had converted ");
    QTest::newRow("while the converter runs") << during << QString() << false << QString();
    QTest::newRow("after the PDF is complete") << after << converted << false << QString();
    QTest::newRow("after the PDF is complete, another account's station")
        << after << converted << true << QString();
    // Fifty names of it were taken: a conversion goes on counting.
    QTest::newRow("after the PDF is complete, under its 51st name")
        << after << converted << false << QStringLiteral("/k1-51.pdf");
    QTest::newRow("while the page has the request")
        << QByteArray("exec \"$REAL\" \"$1\" \"$2\"\n")
        << QStringLiteral("Quillfeed stopped while it was sending ") << false << QString();
}

void TestE2eProcesses::stationKilledMidway()
{
    QFETCH(QByteArray, converter);
    QFETCH(QString, note);
    QFETCH(bool, otherData);
    QFETCH(QString, pdfName);
    const bool duringSend = note.contains(QLatin1String("sending"));
    ReceiverOptions options;
    if (duringSend)
        options.mode = ReceiverMode::hang();
    QVERIFY2(receiver->start(st->inbox, options), qPrintable(receiver->errorString()));
    Ledger ledger(*st);
    const QByteArray page = makeTiff(40, 30, 5);
    QVERIFY(st->put(QStringLiteral("/k1.tif"), page));
    ledger.addTiff(QStringLiteral("/k1.tif"), page);
    const QString url = receiver->url().toString();
    const QString mark = st->tmp.path() + QStringLiteral("/mark");

    // The station to be killed: the real window in a process of its own, pressing
    // Force Transfer, sharing this test's per-user data folder as a restart would.
    const QString firstProg = st->tmp.path() + QStringLiteral("/first-station");
    QVERIFY(QDir().mkpath(firstProg));
    QVERIFY(
        TestSupport::writeFile(firstProg + QStringLiteral("/settings.txt"),
                               "First\r\n" + url.toLocal8Bit() + "\r\n" + st->scans.toLocal8Bit() + "\r\n"));
    installScriptConverter(firstProg, converter);
    QProcess first;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("MARK"), mark);
    env.insert(QStringLiteral("REAL"), TestSupport::binDir() + QStringLiteral("/tiff2pdf"));
    if (otherData)
        env.insert(QStringLiteral("XDG_DATA_HOME"), st->tmp.path() + QStringLiteral("/other-account"));
    first.setProcessEnvironment(env);
    first.setProcessChannelMode(QProcess::ForwardedChannels);
    first.start(TestSupport::binDir() + QStringLiteral("/station_driver"), {firstProg});
    QVERIFY2(first.waitForStarted(), qPrintable(first.errorString()));
    if (duringSend)
        QVERIFY2(waitUntil([&] { return receiver->records().size() == 1; }, 20000),
                 "the page never had the document");
    else
        QVERIFY2(waitUntil([&] { return QFileInfo(mark).size() > 0; }, 20000), "the converter never started");
    QVERIFY(::kill(pid_t(first.processId()), SIGKILL) == 0);
    QVERIFY(first.waitForFinished(10000));

    // The converter goes with the station, and leaves no file behind.
    QFile markFile(mark);
    const pid_t converterPid =
        markFile.open(QIODevice::ReadOnly) ? pid_t(markFile.readAll().trimmed().toInt()) : 0;
    if (converterPid > 0)
        QVERIFY2(waitUntil([&] { return ::kill(converterPid, 0) != 0; }, 5000),
                 "the converter outlived the station");
    QTest::qWait(2500); // a converter left running would have made its PDF by now
    for (const QString& name : QDir(st->scans).entryList(QDir::Files | QDir::Hidden))
        QVERIFY2(name == QLatin1String("k1.tif") || name == QLatin1String("k1.pdf"), qPrintable(name));
    if (!pdfName.isEmpty())
        QVERIFY(QFile::rename(st->scans + QStringLiteral("/k1.pdf"), st->scans + pdfName));

    // The next start finds what the first left: each document filed once.
    QVERIFY(installRealConverter(st->prog));
    receiver->stop();
    QVERIFY2(receiver->start(st->inbox), qPrintable(receiver->errorString()));
    st->writeSettings(receiver->url().toString());
    w = st->start();
    if (!note.isEmpty())
        QVERIFY2(w->statusText().count(note) == 1, qPrintable(w->statusText()));
    QVERIFY2(forceTransferUntilEmpty(*w, *st), qPrintable(w->statusText()));
    QVERIFY2(!w->statusText().contains(QLatin1String("Quillfeed stopped")), qPrintable(w->statusText()));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("station killed %1").arg(QTest::currentDataTag()), t);
    QCOMPARE(t.filed, 1);
}

QTEST_MAIN(TestE2eProcesses)
#include "tst_e2e_processes.moc"
