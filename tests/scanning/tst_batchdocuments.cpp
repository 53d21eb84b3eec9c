// SPDX-License-Identifier: GPL-3.0-or-later
// Separator sheets found by their code: the pages between them become one
// document each, in the read-from folder under the batch's names, and the
// sheets go into no document. (SANE's test backend prints no codes, so the
// verdicts are given here; the pages are real TIFF files.) And what a kill
// leaves in gathering at each step of a document entering the folder.
#include "BatchDocuments.h"
#include "PrivateData.h"
#include "TestSupport.h"
#include "TiffFacts.h"
#include "TiffPageWriter.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

class TestBatchDocuments : public QObject
{
    Q_OBJECT
private slots:
    void codedSheetsSeparate();
    void leftoversOfAKill_data();
    void leftoversOfAKill();
};

/// A small gray page numbered page in folder, as the scanner writes it.
static QString writePage(const QString& folder, const QString& prefix, int page)
{
    TiffPageWriter writer(folder, prefix);
    std::vector<uint8_t> row(8, uint8_t(page * 30));
    bool ok = writer.begin(TiffPageWriter::Kind::Gray, 8, 8, 300, 300, page);
    for (int y = 0; ok && y < 8; ++y)
        ok = writer.writeRow(row.data());
    return ok && writer.commit() ? writer.committedPath() : writer.error();
}

void TestBatchDocuments::codedSheetsSeparate()
{
    QDir(PrivateData::folder()).removeRecursively();
    QTemporaryDir readFrom;
    ScanChoices choices;
    choices.documents = ScanChoices::Documents::Separator;
    BatchDocuments batch(readFrom.path(), "20261209-100000", choices);
    QVERIFY(batch.begin().ok());
    QVERIFY(batch.judgesPages() && batch.readsCodes());
    // Sheet 4 bears the code among others; sheet 3 another code; sheet 5 is blank
    // paper, which separates only where no code is stored.
    const QList<QStringList> codes = {{"PATCHT"}, {}, {"OTHER"}, {"X", "PATCHT"}, {}, {}, {"PATCHT"}};
    const QFileInfo scanTo(batch.scanTemplate());
    QList<BatchDocuments::Outcome> done;
    for (int page = 1; page <= codes.size(); ++page) {
        const QString path = writePage(scanTo.path(), scanTo.fileName(), page);
        QVERIFY2(path.startsWith(scanTo.path()), qPrintable(path));
        PageJudge::Verdict verdict;
        verdict.blank = page == 5;
        verdict.codes = codes[page - 1];
        done << batch.take(page, path, verdict);
    }
    QCOMPARE(batch.finish().pages, QList<int>());
    QCOMPARE(done.size(), 2);
    QCOMPARE(done[0].pages, (QList<int>{2, 3}));
    QCOMPARE(done[1].pages, (QList<int>{5, 6}));
    QCOMPARE(batch.separators(), 3);
    const QStringList names = QDir(readFrom.path()).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(names, (QStringList{"img20261209-100000-0001.tif", "img20261209-100000-0002.tif"}));
    QCOMPARE(done[1].path, readFrom.filePath(names[1]));
    for (const QString& name : names) {
        const TiffFacts facts = readTiff(readFrom.filePath(name));
        QVERIFY2(facts.ok && facts.complaints.isEmpty(), qPrintable(facts.error));
        QCOMPARE(facts.directories, 2);
    }
    QCOMPARE(QDir(BatchDocuments::setAsideFolder()).entryList(QDir::Files).size(), 3);
}

void TestBatchDocuments::leftoversOfAKill_data()
{
    QTest::addColumn<QString>("folder"); // the document's folder in gathering
    QTest::addColumn<bool>("partWhole"); // its hidden TIFF is complete (else a cut file)
    QTest::addColumn<bool>("inPlace");   // the TIFF had already entered the folder
    QTest::newRow("TIFF half-written") << "doc-0003" << false << false;
    QTest::newRow("TIFF whole, not yet renamed") << "done-0003" << true << false;
    QTest::newRow("TIFF whole and renamed") << "done-0003" << true << true;
    // Stopped while the pages of a document in place were deleted: never made again.
    QTest::newRow("TIFF in place, its pages half deleted") << "gone-0003" << true << true;
}

void TestBatchDocuments::leftoversOfAKill()
{
    QFETCH(QString, folder);
    QFETCH(bool, partWhole);
    QFETCH(bool, inPlace);
    QDir(PrivateData::folder()).removeRecursively();
    QTemporaryDir readFrom;
    const QString batchDir = BatchDocuments::gatheringRoot() + "/20261209-100000",
                  doc = batchDir + "/" + folder;
    QVERIFY(QDir().mkpath(doc));
    const QString prefix = "img20261209-100000-";
    TestSupport::writeFile(batchDir + "/batch", (readFrom.path() + "\n" + prefix + "\n2\n").toUtf8());
    const QString part = readFrom.filePath("." + prefix + "0002.tif.part"),
                  done = readFrom.filePath(prefix + "0002.tif");
    TestSupport::writeFile(doc + "/part", (part + "\n2\n").toUtf8());
    for (int page : {3, 4})
        QVERIFY(writePage(doc, "page-", page).startsWith(doc));
    TestSupport::writeFile(readFrom.filePath(prefix + "0001.tif"),
                           "the batch's first document, filed or not");
    if (partWhole) {
        QFile::copy(doc + "/page-0003.tif", inPlace ? done : part);
    } else {
        TestSupport::writeFile(part, "II*\0 cut short");
    }

    const BatchDocuments::Recovery recovered = BatchDocuments::recover();
    // One document of pages 3 and 4, never two, and nothing hidden or gathered left.
    QCOMPARE(QDir(readFrom.path()).entryList(QDir::Files | QDir::Hidden),
             (QStringList{prefix + "0001.tif", prefix + "0002.tif"}));
    QCOMPARE(recovered.published, inPlace ? QStringList() : QStringList{done});
    QCOMPARE(recovered.lines,
             inPlace ? QStringList()
                     : QStringList{"The station stopped during a batch: page 3 and page 4 are kept as " +
                                   prefix + "0002.pdf"});
    if (!partWhole)
        QCOMPARE(readTiff(done).directories, 2);
    QVERIFY(!QFileInfo::exists(BatchDocuments::gatheringRoot() + "/20261209-100000"));
}

QTEST_MAIN(TestBatchDocuments)
#include "tst_batchdocuments.moc"
