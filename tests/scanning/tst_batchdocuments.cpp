// Separator sheets found by their code: the pages between them become one
// document each, in the read-from folder under the batch's names, and the
// sheets go into no document. (SANE's test backend prints no codes, so the
// verdicts are given here; the pages are real TIFF files.)
#include "BatchDocuments.h"
#include "PrivateData.h"
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
};

void TestBatchDocuments::codedSheetsSeparate()
{
    QDir(PrivateData::folder()).removeRecursively();
    QTemporaryDir readFrom;
    ScanChoices choices;
    choices.documents = ScanChoices::Documents::Separator;
    BatchDocuments batch(readFrom.path(), "20261209-100000", choices);
    QCOMPARE(batch.begin(), QString());
    QVERIFY(batch.judgesPages() && batch.readsCodes());
    // Sheet 4 bears the code among others; sheet 3 another code; sheet 5 is blank
    // paper, which separates only where no code is stored.
    const QList<QStringList> codes = {{"PATCHT"}, {}, {"OTHER"}, {"X", "PATCHT"}, {}, {}, {"PATCHT"}};
    const QFileInfo scanTo(batch.scanTemplate());
    QList<BatchDocuments::Outcome> done;
    for (int page = 1; page <= codes.size(); ++page) {
        TiffPageWriter writer(scanTo.path(), scanTo.fileName());
        QVERIFY(writer.begin(TiffPageWriter::Kind::Gray, 8, 8, 300, 300, page));
        std::vector<uint8_t> row(8, uint8_t(page * 30));
        for (int y = 0; y < 8; ++y)
            QVERIFY(writer.writeRow(row.data()));
        QVERIFY2(writer.commit(), qPrintable(writer.error()));
        PageJudge::Verdict verdict;
        verdict.blank = page == 5;
        verdict.codes = codes[page - 1];
        done << batch.take(page, writer.committedPath(), verdict);
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

QTEST_MAIN(TestBatchDocuments)
#include "tst_batchdocuments.moc"
