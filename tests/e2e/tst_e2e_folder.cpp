// SPDX-License-Identifier: GPL-3.0-or-later
// What can happen to the read-from folder and its files around a transfer: a big
// mixed tree, files that cannot be read, a file still being written, a file
// deleted by someone else, the folder itself removed and made again, out.txt
// that cannot be written, a file of a GiB, links of every kind and files that
// cannot be deleted once they are done with.
#include "E2e.h"
#include "StationTest.h"

#include "Failure.h"
#include "FileGate.h"
#include "FolderListing.h"
#include "InetControl.h"
#include "UndeletableFiles.h"
#include "frmDiag.h"

#include <QCheckBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace E2e;
using namespace TestSupport;

class TestE2eFolder : public StationTest
{
    Q_OBJECT
private slots:

    void twoHundredMixedFilesInOnePass();
    void unreadableFilesArePassedOver();
    void growingFileIsNeverSentTruncated();
    void fileDeletedBeforeItsOkArrives();
    void fileChangedBeforeItsOkArrives_data();
    void fileChangedBeforeItsOkArrives();
    void linksAreNeverFollowed();
    void undeletableFilesGoOnce();
    void nameThatIsNotUtf8();
    void readFromFolderRemovedAndMadeAgain();
    void outFileUnwritable_data();
    void outFileUnwritable();
    void ownTemporariesAreNeverSent();
    void oneGibFile();
};

void TestE2eFolder::twoHundredMixedFilesInOnePass()
{
    QVERIFY(installRealConverter(st->prog));
    Ledger ledger(*st);
    // Types that go as they are, TIFFs that are converted, and types that are skipped.
    const QStringList sent = {"pdf", "txt", "png", "doc", "htm", "xtif", "gif", "bmp"};
    const QStringList skipped = {"jpg", "docx", ""};
    int expectSkipped = 0;
    for (int i = 0; i < 200; ++i) {
        const QString folder = i % 4 == 0   ? QString()
                               : i % 4 == 1 ? QStringLiteral("/2024")
                               : i % 4 == 2 ? QStringLiteral("/2024/%1").arg(i % 7)
                                            : QStringLiteral("/deep/a/b/c%1").arg(i % 3);
        if (i % 20 == 5) {
            const QString rel = folder + QStringLiteral("/page%1.tif").arg(i);
            const QByteArray tiff = makeTiff(40, 30, i);
            QVERIFY(!tiff.isEmpty());
            QVERIFY(st->put(rel, tiff));
            ledger.addTiff(rel, tiff);
        } else if (i % 10 == 3) {
            const QString ext = skipped[(i / 10) % skipped.size()];
            const QString rel =
                folder + QStringLiteral("/kept%1").arg(i) + (ext.isEmpty() ? QString() : u'.' + ext);
            QVERIFY(ledger.put(rel, "a type that stays " + QByteArray::number(i)));
            ++expectSkipped;
        } else {
            const QString rel = folder + QStringLiteral("/doc%1.").arg(i) + sent[i % sent.size()];
            QVERIFY(ledger.put(rel, "document " + QByteArray::number(i) +
                                        QByteArray(i * 37 % 5000, char('a' + i % 26))));
        }
    }
    QCOMPARE(ledger.size(), 200);
    QVERIFY(startAll());
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY2(waitUntil([&] { return passEnded(*w); }, 120000), qPrintable(w->statusText().left(3000)));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("200 mixed files in nested folders, one pass"), t);
    QCOMPARE(t.kept, expectSkipped);
    QCOMPARE(t.filed, 200 - expectSkipped);
    QCOMPARE(w->pagesFiled, 200 - expectSkipped);
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eFolder::unreadableFilesArePassedOver()
{
    Ledger ledger(*st);
    QVERIFY(ledger.put(QStringLiteral("/before.pdf"), "%PDF-1.4 readable, before"));
    QVERIFY(ledger.put(QStringLiteral("/zz/after.txt"), "readable, after"));
    // A name with a document's extension that is a link to a folder.
    QDir().mkpath(st->tmp.path() + QStringLiteral("/elsewhere"));
    QVERIFY(
        QFile::link(st->tmp.path() + QStringLiteral("/elsewhere"), st->file(QStringLiteral("/linked.pdf"))));
    ledger.allowExtra(QStringLiteral("/linked.pdf"));
    // A FIFO: opening it for reading the ordinary way would wait for a writer forever.
    const QByteArray fifo = QFile::encodeName(st->file(QStringLiteral("/pipe.txt")));
    QCOMPARE(::mkfifo(fifo.constData(), 0644), 0);
    ledger.allowExtra(QStringLiteral("/pipe.txt"));
    // Without root, a file its owner may not read.
    const bool root = ::geteuid() == 0;
    if (!root) {
        QVERIFY(ledger.put(QStringLiteral("/locked.pdf"), "%PDF-1.4 locked"));
        QVERIFY(QFile::setPermissions(st->file(QStringLiteral("/locked.pdf")), {}));
    }

    // Should the window block on the FIFO after all, a writer comes by later and lets it
    // go, so the suite reports the fault instead of hanging.
    std::atomic<bool> done{false};
    std::atomic<bool> rescued{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 200 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (done)
            return;
        const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            rescued = true;
            ::close(fd);
        }
    });
    QVERIFY(startAll());
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    const bool ended = waitUntil([&] { return passEnded(*w); });
    done = true;
    watchdog.join();
    QVERIFY2(!rescued, "the window waited on a FIFO until a writer came");
    QVERIFY2(ended, qPrintable(w->statusText()));

    if (!root)
        QFile::setPermissions(st->file(QStringLiteral("/locked.pdf")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    Tally t;
    E2E_CHECK(ledger, *receiver,
              QStringLiteral("unreadable files (link to a folder, FIFO%1)").arg(root ? "" : ", mode 000"), t);
    QCOMPARE(t.filed, 2);
    QVERIFY(QFileInfo(st->file(QStringLiteral("/linked.pdf"))).isSymLink());
    QVERIFY(QFileInfo::exists(st->file(QStringLiteral("/pipe.txt"))));
    QVERIFY2(w->statusText().contains(QStringLiteral("Reading: ") + st->file(QStringLiteral("/pipe.txt"))),
             qPrintable(w->statusText()));
    QVERIFY2(w->statusText().contains(QStringLiteral("Left alone /linked.pdf: it is a symbolic link")),
             qPrintable(w->statusText()));
    if (!root)
        QCOMPARE(t.kept, 1);
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eFolder::growingFileIsNeverSentTruncated()
{
    Ledger ledger(*st);
    QVERIFY(ledger.put(QStringLiteral("/steady.pdf"), "%PDF-1.4 steady"));
    const QString rel = QStringLiteral("/growing.txt");
    QFile growing(st->file(rel));
    QVERIFY(growing.open(QIODevice::WriteOnly));
    QByteArray content = "first line\n";
    growing.write(content);
    growing.flush();
    ledger.add(rel, content);
    QTimer writer;
    int appends = 0;
    connect(&writer, &QTimer::timeout, [&] {
        ++appends;
        const QByteArray more = "another line " + QByteArray::number(content.size()) + "\n";
        content += more;
        growing.write(more);
        growing.flush();
    });
    writer.start(250);
    QVERIFY(startAll());

    // Passes run while the writer appends.
    for (int pass = 0; pass < 6; ++pass) {
        QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
        QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
        QVERIFY2(w->statusText().contains(QStringLiteral("Held back ") + rel), qPrintable(w->statusText()));
        const int before = appends; // the writer appends again before the next pass
        QVERIFY(waitUntil([&] { return appends > before; }));
    }
    writer.stop();
    growing.close();
    ledger.update(rel, content);
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("file growing while passes run"), t);
    QCOMPARE(t.filed, 1);
    QCOMPARE(t.kept, 1);

    // Once the writer has stopped and the file has settled, it goes whole.
    QVERIFY2(waitUntil(
                 [&] {
                     if (!w->uploadInFlight())
                         QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
                     return waitUntil([&] { return passEnded(*w); }, 10000) &&
                            !QFileInfo::exists(st->file(rel));
                 },
                 30000),
             qPrintable(w->statusText()));
    E2E_CHECK(ledger, *receiver, QStringLiteral("growing file, after its writer stopped"), t);
    QCOMPARE(t.filed, 2);
    QVERIFY(answersForceTransfer(*w));

    // Another user's file, still open for writing: no lease can be had on it,
    // which must not pass for "nobody writes it".
    if (::geteuid() != 0)
        return; // only root can play both users
    QTemporaryDir shared;
    QVERIFY(::chmod(QFile::encodeName(shared.path()).constData(), 0755) == 0);
    const QString other = shared.path() + QStringLiteral("/other.pdf");
    QFile writerOfOther(other);
    QVERIFY(writerOfOther.open(QIODevice::WriteOnly));
    QVERIFY(writerOfOther.write(QByteArray(100000, 'x')) == 100000 && writerOfOther.flush());
    // Quiet for a minute, far beyond the quiet time of a file whose writers a lease can tell.
    QVERIFY(writerOfOther.setFileTime(QDateTime::currentDateTime().addSecs(-60),
                                      QFileDevice::FileModificationTime));
    auto probe = [&] {
        QProcess p;
        p.start(TestSupport::binDir() + QStringLiteral("/gate_probe"), {other});
        return p.waitForFinished(10000) && p.exitCode() == 0
                   ? QString::fromLocal8Bit(p.readAllStandardOutput())
                   : QStringLiteral("probe failed: ") + p.errorString();
    };
    const QString open = probe();
    QVERIFY2(open.startsWith(QString::number(int(FileGate::Verdict::BeingWritten))) &&
                 open.contains(QLatin1String("cannot be told")),
             qPrintable(open));
    // Written long ago and closed, it is taken.
    writerOfOther.close();
    QFile aged(other);
    QVERIFY(aged.open(QIODevice::ReadWrite) &&
            aged.setFileTime(
                QDateTime::currentDateTime().addSecs(-(FileGate::UnknownWriterQuietNs / 1000000000 + 60)),
                QFileDevice::FileModificationTime));
    aged.close();
    const QString settled = probe();
    QVERIFY2(settled.startsWith(QString::number(int(FileGate::Verdict::Ready))), qPrintable(settled));
}

void TestE2eFolder::fileDeletedBeforeItsOkArrives()
{
    ReceiverOptions options;
    options.mode = ReceiverMode::slow("OK", 600).times(1);
    Ledger ledger(*st);
    QVERIFY(ledger.put(QStringLiteral("/first.pdf"), "%PDF-1.4 deleted by someone else meanwhile"));
    QVERIFY(ledger.put(QStringLiteral("/second.pdf"), "%PDF-1.4 the next one"));
    QVERIFY(startAll(options));
    const QString first = w->fileListEntries().value(0);
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY(receiver->waitForRecords(1));
    QVERIFY(w->uploadInFlight());
    QVERIFY(QFile::remove(st->file(first))); // someone else deletes it while the "OK" is on its way
    // The page filed it, so the pass goes on with the next file.
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    QVERIFY2(w->diagWindow->text().contains(
                 QStringLiteral("Error while processing incoming data: File not found")),
             qPrintable(w->diagWindow->text()));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("file deleted by someone else before its OK"), t);
    QCOMPARE(t.filed, 2);
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eFolder::fileChangedBeforeItsOkArrives_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::newRow("saved beside and renamed over") << false;
    QTest::newRow("rewritten in place") << true;
}

void TestE2eFolder::fileChangedBeforeItsOkArrives()
{
    QFETCH(bool, inPlace);
    ReceiverOptions options;
    options.mode = ReceiverMode::slow("OK", 1000).times(1);
    const QString rel = QStringLiteral("/report.pdf");
    const QByteArray v1 = "%PDF-1.4 first version";
    const QByteArray v2 = "%PDF-1.4 second version, saved while the first was on its way to the office";
    Ledger ledger(*st);
    QVERIFY(ledger.put(rel, v1));
    QVERIFY(ledger.put(QStringLiteral("/zz-other.txt"), "another document"));
    QVERIFY(startAll(options));
    QCOMPARE(w->fileListEntries().value(0), rel);
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY(receiver->waitForRecords(1));
    QVERIFY(w->uploadInFlight());
    // The author saves a new version while the "OK" for the first is on its way.
    if (inPlace) {
        QFile f(st->file(rel));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(v2), v2.size());
    } else {
        QVERIFY(TestSupport::writeFile(st->file(rel) + QStringLiteral(".new"), v2));
        QCOMPARE(::rename(QFile::encodeName(st->file(rel) + QStringLiteral(".new")).constData(),
                          QFile::encodeName(st->file(rel)).constData()),
                 0);
    }
    ledger.addFiledVersion(rel, v1);
    ledger.update(rel, v2);
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    Tally t;
    // The first version is filed; the second, never sent, is kept.
    E2E_CHECK(ledger, *receiver,
              QStringLiteral("file changed (%1) before its OK").arg(QTest::currentDataTag()), t);
    QCOMPARE(t.kept, 1);
    QCOMPARE(t.filed, 1);
    QVERIFY2(w->statusText().contains(rel + QStringLiteral(" changed after it was sent")),
             qPrintable(w->statusText()));
    // It goes in a later pass, once it has settled.
    QVERIFY2(waitUntil(
                 [&] {
                     QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
                     return waitUntil([&] { return passEnded(*w); }) && !QFileInfo::exists(st->file(rel));
                 },
                 30000),
             qPrintable(w->statusText()));
    E2E_CHECK(
        ledger, *receiver,
        QStringLiteral("file changed (%1) before its OK, then Force Transfer").arg(QTest::currentDataTag()),
        t);
    QCOMPARE(t.filed, 2);
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eFolder::linksAreNeverFollowed()
{
    Ledger ledger(*st);
    QVERIFY(ledger.put(QStringLiteral("/sub/real.pdf"), "%PDF-1.4 the only document"));
    // Links to the folder itself and to its parent: a walk that followed them would never end.
    QVERIFY(QFile::link(st->scans, st->file(QStringLiteral("/loop"))));
    QVERIFY(QFile::link(QStringLiteral(".."), st->file(QStringLiteral("/sub/up"))));
    // Links to files: the system's, one outside the folder, the station's own settings
    // (with the proxy password), and a second name for a document in the folder.
    QVERIFY(TestSupport::writeFile(st->tmp.path() + QStringLiteral("/outside.pdf"),
                                   "%PDF-1.4 not in the folder"));
    const QStringList links = {QStringLiteral("/loop"),         QStringLiteral("/sub/up"),
                               QStringLiteral("/passwd.txt"),   QStringLiteral("/outside.pdf"),
                               QStringLiteral("/settings.txt"), QStringLiteral("/alias.pdf")};
    QVERIFY(QFile::link(QStringLiteral("/etc/passwd"), st->file(links[2])));
    QVERIFY(QFile::link(st->tmp.path() + QStringLiteral("/outside.pdf"), st->file(links[3])));
    QVERIFY(QFile::link(st->prog + QStringLiteral("/settings.txt"), st->file(links[4])));
    QVERIFY(QFile::link(st->file(QStringLiteral("/sub/real.pdf")), st->file(links[5])));
    for (const QString& l : links)
        ledger.allowExtra(l);
    QVERIFY(startAll());
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    Tally t;
    E2E_CHECK(ledger, *receiver,
              QStringLiteral("links in the folder, to the folder and to files in and out of it"), t);
    QCOMPARE(t.filed, 1);
    QCOMPARE(receiver->records().size(), 1);
    for (const QString& l : links)
        QVERIFY2(QFileInfo(st->file(l)).isSymLink(), qPrintable(l));
    for (const QString& l : links.mid(2))
        QVERIFY2(w->statusText().contains(QStringLiteral("Left alone %1: it is a symbolic link").arg(l)),
                 qPrintable(w->statusText()));
    QVERIFY(answersForceTransfer(*w));

    // A NUL would cut the path back to the folder itself, so that every subfolder
    // opened the folder again: such a path is refused, not walked.
    std::vector<ListedFile> found;
    QVERIFY_THROWS_EXCEPTION(Failure, listFolderTree(st->scans + QChar(0) + QStringLiteral("/x"), found));

    // A deep tree is walked with a few handles, not one held open per level.
    QString deep = st->file(QStringLiteral("/deep"));
    for (int i = 0; i < 300; ++i)
        deep += QStringLiteral("/d");
    QVERIFY(QDir().mkpath(deep));
    QVERIFY(TestSupport::writeFile(deep + QStringLiteral("/leaf.pdf"), "leaf"));
    rlimit before{};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit few = before;
    few.rlim_cur = rlim_t(QDir(QStringLiteral("/proc/self/fd")).count() + 50);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &few), 0);
    found.clear();
    QString failure;
    try {
        listFolderTree(st->scans, found);
    } catch (const Failure& f) {
        failure = f.description();
    }
    ::setrlimit(RLIMIT_NOFILE, &before);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    QVERIFY(std::any_of(found.begin(), found.end(),
                        [](const ListedFile& f) { return f.entry.endsWith(QLatin1String("/d/leaf.pdf")); }));
}

namespace {

// An undeletable file: immutable for root (whom permissions do not stop), a
// folder without write permission for anyone else.
bool setUndeletable(const QStringList& files, const QString& folder, bool on)
{
    if (::geteuid() != 0)
        return ::chmod(QFile::encodeName(folder).constData(), on ? 0555 : 0755) == 0;
    for (const QString& path : files) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        const bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                        (flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL,
                         ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        if (fd >= 0)
            ::close(fd);
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

void TestE2eFolder::undeletableFilesGoOnce()
{
    QVERIFY(installRealConverter(st->prog));
    Ledger ledger(*st);
    QVERIFY(ledger.put(QStringLiteral("/sub/locked.pdf"), "%PDF-1.4 filed, then it cannot be deleted"));
    const QByteArray tiff = makeTiff(40, 30, 7);
    QVERIFY(st->put(QStringLiteral("/sub/scan.tif"), tiff));
    ledger.addTiff(QStringLiteral("/sub/scan.tif"), tiff);
    ledger.mayStay(QStringLiteral("/sub/locked.pdf"));
    ledger.mayStay(QStringLiteral("/sub/scan.tif"));
    QVERIFY(ledger.put(QStringLiteral("/other.pdf"), "%PDF-1.4 an ordinary document"));
    const QStringList locked = {st->file(QStringLiteral("/sub/locked.pdf")),
                                st->file(QStringLiteral("/sub/scan.tif"))};
    if (!setUndeletable(locked, st->file(QStringLiteral("/sub")), true))
        QSKIP("no file can be made undeletable here");
    auto unlock = qScopeGuard([&] {
        setUndeletable(locked, st->file(QStringLiteral("/sub")), false);
        QFile::remove(UndeletableFiles::defaultStorePath());
    });
    QVERIFY(startAll());
    // Pass after pass, and after a restart of the program, each goes once.
    for (int round = 0; round < 3; ++round) {
        if (round == 2) {
            w.reset();
            w = st->start();
        }
        QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
        QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
        Tally t;
        E2E_CHECK(ledger, *receiver, QStringLiteral("undeletable files, round %1").arg(round + 1), t);
        QCOMPARE(t.filed, 3);
        QCOMPARE(receiver->records().size(), 3);
        if (round == 0) {
            QVERIFY2(w->statusText().contains(locked[0] + QStringLiteral(" was filed but cannot be deleted")),
                     qPrintable(w->statusText()));
            QVERIFY2(
                w->statusText().contains(locked[1] + QStringLiteral(" was converted but cannot be deleted")),
                qPrintable(w->statusText()));
        } else {
            for (const QString& path : locked)
                QVERIFY2(w->statusText().contains(QStringLiteral("Left alone ") + path),
                         qPrintable(w->statusText()));
        }
    }
}

void TestE2eFolder::nameThatIsNotUtf8()
{
    // A name in Latin-1, as a copy from an old share can bring: "café.pdf" with é as one byte.
    Ledger ledger(*st);
    QVERIFY(ledger.put(QStringLiteral("/plain.pdf"), "%PDF-1.4 plain name"));
    const QByteArray rawName = QFile::encodeName(st->scans) + "/caf\xe9.pdf";
    const QByteArray content = "%PDF-1.4 a Latin-1 name";
    {
        const int fd = ::open(rawName.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, content.constData(), size_t(content.size())), ssize_t(content.size()));
        const struct timespec old[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 60, 0}};
        QCOMPARE(::futimens(fd, old), 0);
        ::close(fd);
    }
    // Qt cannot name the file once its name was turned into text, so QTemporaryDir would leave it.
    const auto removeRaw = qScopeGuard([&] { ::unlink(rawName.constData()); });
    QVERIFY(startAll());
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));

    // Nothing of it went out, and it is still there, untouched; the operator is told to rename it.
    for (const ReceivedUpload& r : receiver->records())
        QVERIFY2(r.sha256 != E2e::sha(content), "the Latin-1 document was sent");
    QFile left;
    const int fd = ::open(rawName.constData(), O_RDONLY);
    QVERIFY2(fd >= 0, "the Latin-1 document is gone");
    QVERIFY(left.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle));
    QCOMPARE(left.readAll(), content);
    left.close();
    QVERIFY2(w->statusText().contains(
                 QStringLiteral("its name is not valid text (UTF-8); rename the file to send it.")),
             qPrintable(w->statusText()));
    Tally t;
    ledger.allowExtra(QFile::decodeName(rawName).mid(st->scans.size()));
    E2E_CHECK(ledger, *receiver, QStringLiteral("name that is not UTF-8 (kept, operator told to rename)"), t);
    QCOMPARE(t.filed, 1);

    // Renamed, it goes with the next pass.
    QCOMPARE(
        ::rename(rawName.constData(), QFile::encodeName(st->file(QStringLiteral("/cafe.pdf"))).constData()),
        0);
    ledger.add(QStringLiteral("/cafe.pdf"), content);
    QVERIFY(answersForceTransfer(*w));
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    E2E_CHECK(ledger, *receiver, QStringLiteral("name that is not UTF-8, renamed by the operator"), t);
    QCOMPARE(t.filed, 2);
}

void TestE2eFolder::readFromFolderRemovedAndMadeAgain()
{
    Ledger ledger(*st);
    QVERIFY(ledger.put(QStringLiteral("/early.pdf"), "%PDF-1.4 before the folder goes"));
    QVERIFY(startAll());
    w->lblUnattended_Click();
    w->Timer1->stop(); // the test ticks itself
    w->chkAutoRead->setChecked(true);
    w->Timer1_Timer();
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));

    // Two documents arrive and are listed by the next tick; then the folder is removed
    // (its documents put aside) before they go.
    QVERIFY(ledger.put(QStringLiteral("/r1.pdf"), "%PDF-1.4 r1"));
    QVERIFY(ledger.put(QStringLiteral("/in/r2.txt"), "r2"));
    w->Timer1_Timer();
    QCOMPARE(w->fileListEntries().size(), 2);
    const QString aside = st->tmp.path() + QStringLiteral("/aside");
    QVERIFY(QDir().rename(st->scans, aside));
    for (int tick = 0; tick < 4; ++tick) {
        w->Timer1_Timer();
        QVERIFY(waitUntil([&] { return !w->uploadInFlight(); }));
    }
    QVERIFY(receiver->records().size() == 1);
    QVERIFY2(w->statusText().contains(QStringLiteral("Error @ ")), qPrintable(w->statusText()));
    QTRY_COMPARE(desktop.shown.size(), 1);
    QCOMPARE(desktop.shown[0].summary, QStringLiteral("Quillfeed: documents are not reaching the web page"));

    // The folder is made again and the documents come back.
    QVERIFY(QDir().mkpath(st->scans));
    QVERIFY(QDir().mkpath(st->scans + QStringLiteral("/in")));
    QVERIFY(QFile::rename(aside + QStringLiteral("/r1.pdf"), st->file(QStringLiteral("/r1.pdf"))));
    QVERIFY(QFile::rename(aside + QStringLiteral("/in/r2.txt"), st->file(QStringLiteral("/in/r2.txt"))));
    QVERIFY2(waitUntil(
                 [&] {
                     w->Timer1_Timer();
                     return waitUntil([&] { return !w->uploadInFlight(); }) &&
                            QDir(st->scans).entryList(QDir::Files).isEmpty() &&
                            !QFileInfo::exists(st->file(QStringLiteral("/in/r2.txt")));
                 },
                 30000),
             qPrintable(w->statusText()));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("read-from folder removed and made again while ticking"), t);
    QCOMPARE(t.filed, 3);
    QTRY_COMPARE(desktop.shown.size(), 2);
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eFolder::outFileUnwritable_data()
{
    QTest::addColumn<bool>("fifo");
    // The folder out.txt goes in is a regular file: no user, root included, can create it.
    QTest::newRow("its folder is a file") << false;
    // Nothing reads the FIFO: an open that waited for a reader would hold the window.
    QTest::newRow("it is a FIFO") << true;
}

void TestE2eFolder::outFileUnwritable()
{
    QFETCH(bool, fifo);
    const QString outFolder = QFileInfo(frmMain::outFilePath()).absolutePath();
    QDir(outFolder).removeRecursively();
    if (fifo) {
        QVERIFY(QDir().mkpath(outFolder));
        QVERIFY(::mkfifo(QFile::encodeName(frmMain::outFilePath()).constData(), 0600) == 0);
    } else {
        QVERIFY(TestSupport::writeFile(outFolder, "a file where the folder should be"));
    }
    const auto restore = qScopeGuard([&] {
        QFile::remove(frmMain::outFilePath());
        QFile::remove(outFolder);
    });
    Ledger ledger(*st);
    QVERIFY(ledger.put(QStringLiteral("/o1.pdf"), "%PDF-1.4 o1"));
    QVERIFY(ledger.put(QStringLiteral("/o2.txt"), "o2"));
    QVERIFY(startAll());
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    // Said when the copy, made after the answer, fails.
    QTRY_VERIFY2(w->statusText().contains(outFolder), qPrintable(w->statusText()));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("out.txt unwritable: %1").arg(QTest::currentDataTag()), t);
    QCOMPARE(t.filed, 2);
    QVERIFY(answersForceTransfer(*w));
}

void TestE2eFolder::ownTemporariesAreNeverSent()
{
    QVERIFY(installRealConverter(st->prog));
    Ledger ledger(*st);
    QVERIFY(ledger.put(QStringLiteral("/doc.txt"), "a document"));
    // A TIFF whose PDF's temporary name would read as type "pdf".
    const QByteArray page = makeTiff(40, 30, 9);
    QVERIFY(st->put(QStringLiteral("/pdf.tif"), page));
    ledger.addTiff(QStringLiteral("/pdf.tif"), page);
    // A page the scanner is writing, and half a PDF a killed converter left where
    // the file system could not hold a file without a name; below the top
    // nothing of the converter's is ever made, so nothing there is swept.
    const QStringList kept = {QStringLiteral("/.img0001.tif.part"),
                              QStringLiteral("/sub/.x.pdf.Zz99Yy.part")};
    const QString leftover = QStringLiteral("/.pdf.pdf.Ab12Cd.part");
    for (const QString& rel : kept + QStringList{leftover}) {
        QVERIFY(st->put(rel, "%PDF-1.4 half a"));
    }
    for (const QString& rel : kept)
        ledger.allowExtra(rel);
    QVERIFY(startAll());
    QVERIFY(!QFileInfo::exists(st->file(leftover)));
    for (const QString& entry : w->fileListEntries())
        QVERIFY2(!entry.endsWith(QLatin1String(".part")), qPrintable(entry));
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY2(waitUntil([&] { return passEnded(*w); }), qPrintable(w->statusText()));
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("own temporaries beside documents"), t);
    QCOMPARE(t.filed, 2);
    for (const QString& rel : kept)
        QVERIFY2(QFileInfo::exists(st->file(rel)), qPrintable(rel));
    QVERIFY2(!w->statusText().contains(QLatin1String(".part")), qPrintable(w->statusText()));
}

void TestE2eFolder::oneGibFile()
{
    constexpr qint64 kSize = qint64(1) << 30;
    const QStorageInfo disk(st->tmp.path());
    if (disk.bytesAvailable() < 4 * kSize)
        QSKIP(qPrintable(
            QStringLiteral("a 1 GiB document needs 4 GiB free on %1 (the inbox, out.txt); %2 MiB free")
                .arg(disk.rootPath())
                .arg(disk.bytesAvailable() >> 20)));
    // The window holds the body and the receiver parses it in memory: a few GiB of RAM.
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    qint64 availableKiB = -1;
    if (meminfo.open(QIODevice::ReadOnly))
        for (const QByteArray& line : meminfo.readAll().split('\n'))
            if (line.startsWith("MemAvailable:"))
                availableKiB = line.simplified().split(' ').value(1).toLongLong();
    if (availableKiB >= 0 && availableKiB < 6 * 1024 * 1024)
        QSKIP(qPrintable(QStringLiteral("a 1 GiB document needs 6 GiB of free memory; %1 MiB available")
                             .arg(availableKiB / 1024)));

    // Sparse but not empty: a head, a tail and a marker in the middle.
    const QString rel = QStringLiteral("/big/huge.pdf");
    QDir().mkpath(st->scans + QStringLiteral("/big"));
    {
        QFile f(st->file(rel));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("%PDF-1.4 a GiB\n");
        QVERIFY(f.seek(kSize / 2));
        f.write("the middle");
        QVERIFY(f.resize(kSize));
        QVERIFY(f.seek(kSize - 6));
        f.write("%%EOF\n");
        f.close();
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
    }
    QFile f(st->file(rel));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCryptographicHash h(QCryptographicHash::Sha256);
    QVERIFY(h.addData(&f));
    f.close();
    Ledger ledger(*st);
    ledger.addSha(rel, h.result().toHex());
    QVERIFY(ledger.put(QStringLiteral("/small.txt"), "the small one after it"));

    QVERIFY(startAll());
    QTest::mouseClick(w->CmdStartTransfer[0], Qt::LeftButton);
    QVERIFY2(waitUntil([&] { return passEnded(*w); }, 240000), qPrintable(w->statusText()));
    QFile::remove(frmMain::outFilePath()); // a GiB of copy need not wait for the temporary folder
    Tally t;
    E2E_CHECK(ledger, *receiver, QStringLiteral("1 GiB file"), t);
    QCOMPARE(t.filed, 2);
    QVERIFY(answersForceTransfer(*w));
}

QTEST_MAIN(TestE2eFolder)
#include "tst_e2e_folder.moc"
