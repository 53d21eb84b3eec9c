// SPDX-License-Identifier: GPL-3.0-or-later
// What the transfer remembers between documents and passes: the refused
// documents' order, the answers in doubt, the filed documents waiting for
// their row on the disk, and the record of the request in flight.
#include "AnswerLedger.h"
#include "FiledDeletes.h"
#include "FolderListing.h"
#include "RefusalQueue.h"
#include "SendRecord.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <iterator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class tst_TransferRecords : public QObject
{
    Q_OBJECT
private slots:
    void refusedGoLast_data();
    void refusedGoLast();
    void refusalRecordSaysWhetherItKept();
    void answersInDoubt_data();
    void answersInDoubt();
    void filedWaitForTheirRows_data();
    void filedWaitForTheirRows();
    void journalLimits_data();
    void journalLimits();
};

void tst_TransferRecords::refusedGoLast_data()
{
    // Refusals in the order they came ("x!": refused for itself); then the
    // listing, with "changed" rewritten since and "dropped" missing from a
    // complete listing in between.
    QTest::addColumn<QStringList>("refusals");
    QTest::addColumn<QString>("changed");
    QTest::addColumn<QString>("dropped");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("none refused") << QStringList() << QString() << QString()
                                  << QStringList{"/a", "/b", "/c", "/d"};
    QTest::newRow("refused longest ago first")
        << QStringList{"/c", "/a"} << QString() << QString() << QStringList{"/b", "/d", "/c", "/a"};
    QTest::newRow("refused for itself alike")
        << QStringList{"/d!", "/b!"} << QString() << QString() << QStringList{"/a", "/c", "/d", "/b"};
    QTest::newRow("both kinds, by age")
        << QStringList{"/d", "/a!", "/c"} << QString() << QString() << QStringList{"/b", "/d", "/a", "/c"};
    QTest::newRow("refused again goes behind")
        << QStringList{"/a", "/b", "/a"} << QString() << QString() << QStringList{"/c", "/d", "/b", "/a"};
    QTest::newRow("changed since its refusal is a new document")
        << QStringList{"/b", "/a"} << "/a" << QString() << QStringList{"/a", "/c", "/d", "/b"};
    QTest::newRow("changed since its refusal for itself")
        << QStringList{"/b!", "/a!"} << "/a" << QString() << QStringList{"/a", "/c", "/d", "/b"};
    QTest::newRow("gone from a complete listing is forgotten")
        << QStringList{"/b", "/a"} << QString() << "/a" << QStringList{"/a", "/c", "/d", "/b"};
}

void tst_TransferRecords::refusedGoLast()
{
    QFETCH(QStringList, refusals);
    QFETCH(QString, changed);
    QFETCH(QString, dropped);
    QFETCH(QStringList, order);
    std::vector<ListedFile> listing;
    quint64 inode = 10;
    for (const char* entry : {"/a", "/b", "/c", "/d"})
        listing.push_back({QString::fromLatin1(entry), {1, ++inode, 100, 5}});
    RefusalQueue queue;
    qint64 now = 1'700'000'000'000;
    for (const QString& r : refusals) {
        const QString entry = r.chopped(r.endsWith(u'!') ? 1 : 0);
        const auto listed = std::find_if(listing.begin(), listing.end(),
                                         [&](const ListedFile& f) { return f.entry == entry; });
        if (r.endsWith(u'!'))
            queue.refusedItself(entry, listed->stamp, QStringLiteral("http://127.0.0.1/p"), now += 1000);
        else
            queue.refused(entry, listed->stamp);
    }
    if (!dropped.isEmpty()) {
        std::vector<ListedFile> without;
        std::copy_if(listing.begin(), listing.end(), std::back_inserter(without),
                     [&](const ListedFile& f) { return f.entry != dropped; });
        queue.order(without, true);
    }
    for (ListedFile& f : listing) {
        if (f.entry == changed)
            f.stamp.mtimeNs += 1;
    }
    QCOMPARE(queue.order(listing), order);
    for (const QString& entry : order) {
        const bool refused = refusals.contains(entry) || refusals.contains(entry + u'!');
        QCOMPARE(queue.isRefused(entry), refused && entry != changed && entry != dropped);
    }
}

// A wait the record could not keep is the caller's to say: after a restart the
// document would go at once.
void tst_TransferRecords::refusalRecordSaysWhetherItKept()
{
    QTemporaryDir dir;
    QVERIFY(TestSupport::writeFile(dir.filePath("file"), "a file where the folder should be"));
    const FileStamp stamp{1, 2, 100, 5};
    for (const bool kept : {true, false}) {
        RefusalQueue queue;
        const QString record = kept ? dir.filePath("refused.txt") : dir.filePath("file/refused.txt");
        QVERIFY(queue.useRecord(record));
        const RefusalQueue::Wait wait =
            queue.refusedItself("/a", stamp, QStringLiteral("http://127.0.0.1/p"), 1'700'000'000'000);
        QCOMPARE(wait.dueMs, 1'700'000'000'000 + RefusalQueue::waitAfter(1));
        QCOMPARE(wait.recorded.ok(), kept);
        QCOMPARE(QFileInfo::exists(record), kept);
    }
}

void tst_TransferRecords::answersInDoubt_data()
{
    // Answers oldest first ("+": it said "OK"), then how many are in doubt.
    QTest::addColumn<QString>("answers");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("deleted");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<int>("unnamed");
    const QString four = QStringLiteral("a+ b- c+ d-");
    QTest::newRow("the last two") << four << 2 << QStringList{"c"} << QStringList{"d"} << 0;
    QTest::newRow("all four") << four << 4 << QStringList{"a", "c"} << QStringList{"b", "d"} << 0;
    QTest::newRow("more than were answered")
        << four << 6 << QStringList{"a", "c"} << QStringList{"b", "d"} << 2;
    QTest::newRow("none") << four << 0 << QStringList() << QStringList() << 0;
    QTest::newRow("only kept ones") << "a- b-" << 2 << QStringList() << QStringList{"a", "b"} << 0;
    QStringList many, named;
    for (int i = 0; i < int(AnswerLedger::MaxNamed) + 3; ++i) {
        many << QStringLiteral("n%1+").arg(i);
        if (i >= 3)
            named << many.last().chopped(1);
    }
    QTest::newRow("past what is remembered")
        << many.join(u' ') << int(many.size()) << named << QStringList() << 3;
}

void tst_TransferRecords::answersInDoubt()
{
    QFETCH(QString, answers);
    QFETCH(int, count);
    QFETCH(QStringList, deleted);
    QFETCH(QStringList, kept);
    QFETCH(int, unnamed);
    AnswerLedger ledger;
    for (const QString& a : answers.split(u' '))
        ledger.answered(a.chopped(1), a.endsWith(u'+'));
    const AnswerLedger::InDoubt doubt = ledger.takeInDoubt(count);
    QCOMPARE(doubt.deleted, deleted);
    QCOMPARE(doubt.kept, kept);
    QCOMPARE(doubt.unnamed, unnamed);
    // The answers after them belong to a new connection.
    QCOMPARE(ledger.takeInDoubt(1).unnamed, 1);
}

void tst_TransferRecords::filedWaitForTheirRows_data()
{
    QTest::addColumn<int>("documents");
    QTest::addColumn<bool>("crowded");
    QTest::addColumn<bool>("rowWritten");
    QTest::addColumn<int>("leastDeleted"); // by the time pace returns
    QTest::addColumn<int>("mostDeleted");
    QTest::newRow("a few wait for their rows") << 4 << false << true << 0 << 0;
    QTest::newRow("one too many: the oldest goes") << 5 << false << true << 1 << 5;
    QTest::newRow("many") << 9 << false << true << 5 << 9;
    QTest::newRow("crowded: all go") << 2 << true << true << 2 << 2;
    QTest::newRow("rows not written wait for nothing") << 6 << false << false << 6 << 6;
}

void tst_TransferRecords::filedWaitForTheirRows()
{
    QFETCH(int, documents);
    QFETCH(bool, crowded);
    QFETCH(bool, rowWritten);
    QFETCH(int, leastDeleted);
    QFETCH(int, mostDeleted);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString record = dir.filePath(QStringLiteral("filed.csv"));
    QVERIFY(TestSupport::writeFile(record, "rows\n"));
    const int fd = ::open(QFile::encodeName(record).constData(), O_WRONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    QStringList done, kept, said;
    FiledDeletes filed({[&](const QString& s) { said << s; }, [](const QString&) {},
                        [&](const FileStamp&, const QString& path, const QString&) { kept << path; },
                        [&](const QString& path) { done << path; }, record});
    QStringList paths;
    for (int i = 0; i < documents; ++i) {
        const QString path = dir.filePath(QStringLiteral("doc%1.pdf").arg(i));
        QVERIFY(TestSupport::writeFile(path, "%PDF " + QByteArray::number(i)));
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        filed.add(QStringLiteral("/doc%1.pdf").arg(i), path, FileStamp::of(st),
                  rowWritten ? ::dup(fd) : -1); // closed once synced
        paths << path;
    }
    // The last one is gone before its delete: it is remembered, not sent again.
    QVERIFY(QFile::remove(paths.last()));
    filed.pace([&] { return crowded; });
    QVERIFY2(done.size() >= leastDeleted && done.size() <= mostDeleted, qPrintable(done.join(u' ')));
    QCOMPARE(done, paths.mid(0, done.size())); // in the order filed
    filed.settle();
    QCOMPARE(done, paths);
    QCOMPARE(kept, QStringList{paths.last()});
    QVERIFY2(said.isEmpty(), qPrintable(said.join(u'|')));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"filed.csv"});
    ::close(fd);
}

void tst_TransferRecords::journalLimits_data()
{
    // Files filed and waiting for their delete, each named by a path of length
    // bytes, the last one extra bytes longer; its file in flight after them.
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("extra");
    QTest::addColumn<bool>("crowded");
    QTest::addColumn<bool>("damaged"); // read back at the next start
    QTest::newRow("none waits") << 0 << 0 << 0 << false << false;
    QTest::newRow("well within a page") << 10 << 99 << 0 << false << false;
    QTest::newRow("exactly what fits") << 16 << 127 << 0 << false << false;
    QTest::newRow("one byte past") << 16 << 127 << 1 << true << false;
    QTest::newRow("one long name") << 1 << 4000 << 0 << true << false;
    QTest::newRow("past what is read back") << 200 << 1400 << 0 << true << true;
}

void tst_TransferRecords::journalLimits()
{
    QFETCH(int, files);
    QFETCH(int, length);
    QFETCH(int, extra);
    QFETCH(bool, crowded);
    QFETCH(bool, damaged);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("scans")));
    const QString scans = dir.filePath(QStringLiteral("scans"));
    SendRecord journal(dir.filePath(QStringLiteral("data")));
    QVERIFY(journal.setFolder(scans).ok());
    QStringList waiting;
    for (int i = 0; i < files; ++i) {
        const int size = length + (i == files - 1 ? extra : 0);
        const QString name = QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0'));
        waiting << u'/' + name + QString(size - 1 - name.size(), u'x');
        QVERIFY(journal.beginSend(waiting.last()).ok());
        journal.sendFiled();
    }
    QCOMPARE(journal.crowded(), crowded);
    QVERIFY(journal.beginSend(QStringLiteral("/in flight.pdf")).ok());

    SendRecord next(dir.filePath(QStringLiteral("data")));
    QVERIFY(next.setFolder(scans).ok());
    const SendRecord::Interrupted found = next.takeInterrupted();
    QCOMPARE(found.damaged, damaged);
    QCOMPARE(found.filed, damaged ? QStringList() : waiting);
    QCOMPARE(found.sending, damaged ? QString() : QStringLiteral("/in flight.pdf"));
    // Their deletes done, the record is no longer crowded.
    for (const QString& path : std::as_const(waiting))
        journal.filedDone(path);
    QVERIFY(!journal.crowded());
}

QTEST_GUILESS_MAIN(tst_TransferRecords)
#include "tst_transferrecords.moc"
