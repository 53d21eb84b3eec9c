// SPDX-License-Identifier: GPL-3.0-or-later
// The station's own files, opened only as regular files, and the names it
// shares with its converter.
#include "ConverterFiles.h"
#include "PrivateFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using Failed = PrivateFile::Outcome::Failed;
Q_DECLARE_METATYPE(Failed)

class tst_PrivateFile : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void opensOnlyRegularFiles_data();
    void opensOnlyRegularFiles();
    void readsUpToItsCap_data();
    void readsUpToItsCap();
    void replaceLeavesOneWholeFile_data();
    void replaceLeavesOneWholeFile();
    void writesAndReadsWhole();
    void pdfTemporaries_data();
    void pdfTemporaries();
    void pdfNamesAndTheirBases_data();
    void pdfNamesAndTheirBases();

private:
    QByteArray at(const char* name) const
    {
        return QFile::encodeName(m_dir->filePath(QString::fromLatin1(name)));
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_PrivateFile::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QFile file(m_dir->filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("content") == 7);
    file.close();
    QCOMPARE(::symlink("file", at("link").constData()), 0);
    QCOMPARE(::mkfifo(at("fifo").constData(), 0600), 0);
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("folder")));
}

void tst_PrivateFile::opensOnlyRegularFiles_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("flags");
    QTest::addColumn<bool>("followLinks");
    QTest::addColumn<Failed>("failed");
    QTest::addColumn<int>("error");
    QTest::newRow("regular file") << QByteArray("file") << O_RDONLY << false << Failed::Nothing << 0;
    QTest::newRow("made") << QByteArray("new") << (O_WRONLY | O_CREAT) << false << Failed::Nothing << 0;
    QTest::newRow("missing") << QByteArray("new") << O_RDONLY << false << Failed::Open << ENOENT;
    QTest::newRow("link refused") << QByteArray("link") << O_RDONLY << false << Failed::Open << ELOOP;
    QTest::newRow("link followed") << QByteArray("link") << O_RDONLY << true << Failed::Nothing << 0;
    // A FIFO nobody writes to would hold open() for good.
    QTest::newRow("FIFO") << QByteArray("fifo") << O_RDONLY << false << Failed::NotRegular << 0;
    QTest::newRow("folder") << QByteArray("folder") << O_RDONLY << false << Failed::NotRegular << 0;
    QTest::newRow("device") << QByteArray("/dev/null") << O_WRONLY << true << Failed::NotRegular << 0;
}

void tst_PrivateFile::opensOnlyRegularFiles()
{
    QFETCH(QByteArray, name);
    QFETCH(int, flags);
    QFETCH(bool, followLinks);
    QFETCH(Failed, failed);
    QFETCH(int, error);
    const QByteArray path = name.startsWith('/') ? name : at(name.constData());
    const PrivateFile::Opened opened = PrivateFile::open(
        path.constData(), flags, followLinks ? PrivateFile::Links::Followed : PrivateFile::Links::Refused);
    QCOMPARE(opened.outcome.failed, failed);
    QCOMPARE(opened.outcome.error, error);
    QCOMPARE(opened.outcome.ok(), opened.fd.get() >= 0);
    if (opened.outcome.ok()) {
        QVERIFY(S_ISREG(opened.st.st_mode));
        // Reads and writes after the open block as usual.
        QCOMPARE(::fcntl(opened.fd.get(), F_GETFL) & O_NONBLOCK, 0);
        QVERIFY(::fcntl(opened.fd.get(), F_GETFD) & FD_CLOEXEC);
    }
    if (failed == Failed::NotRegular)
        QCOMPARE(opened.outcome.reason(), std::string("it is not a regular file"));
}

void tst_PrivateFile::readsUpToItsCap_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("cap");
    QTest::addColumn<QByteArray>("read");
    QTest::newRow("shorter than the cap") << QByteArray("abc") << 10 << QByteArray("abc");
    QTest::newRow("exactly the cap") << QByteArray("abc") << 3 << QByteArray("abc");
    QTest::newRow("longer: its first bytes") << QByteArray("abcdef") << 4 << QByteArray("abcd");
    QTest::newRow("empty") << QByteArray() << 10 << QByteArray();
    const QByteArray big(3 * 1024 * 1024 + 5, 'b');
    QTest::newRow("larger than one buffer") << big << int(big.size()) * 2 << big;
    QTest::newRow("larger, capped") << big << 1024 * 1024 + 1 << big.left(1024 * 1024 + 1);
}

void tst_PrivateFile::readsUpToItsCap()
{
    QFETCH(QByteArray, content);
    QFETCH(int, cap);
    QFETCH(QByteArray, read);
    QFile file(m_dir->filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size());
    file.close();
    const std::optional<std::string> got = PrivateFile::read(at("file").constData(), std::size_t(cap));
    QVERIFY(got);
    QCOMPARE(QByteArray::fromStdString(*got), read);
    QVERIFY(!PrivateFile::read(at("link").constData(), 100));
    QCOMPARE(PrivateFile::read(at("link").constData(), 100, PrivateFile::Links::Followed).has_value(), true);
    QVERIFY(!PrivateFile::read(at("fifo").constData(), 100));
}

void tst_PrivateFile::replaceLeavesOneWholeFile_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<Failed>("failed");
    QTest::addColumn<int>("error");
    QTest::newRow("over a file") << QByteArray("file") << Failed::Nothing << 0;
    QTest::newRow("where none was") << QByteArray("new") << Failed::Nothing << 0;
    // The link itself is replaced; where it pointed stays as it was.
    QTest::newRow("over a link") << QByteArray("link") << Failed::Nothing << 0;
    QTest::newRow("in a folder that is not there") << QByteArray("gone/new") << Failed::Open << ENOENT;
    QTest::newRow("over a folder") << QByteArray("folder") << Failed::Rename << EISDIR;
}

void tst_PrivateFile::replaceLeavesOneWholeFile()
{
    QFETCH(QByteArray, name);
    QFETCH(Failed, failed);
    QFETCH(int, error);
    QDir(m_dir->path()).remove(QStringLiteral("fifo"));
    const PrivateFile::Outcome o = PrivateFile::replace(at(name.constData()).constData(), "new content");
    QCOMPARE(o.failed, failed);
    QCOMPARE(o.error, error);
    QStringList expected{"file", "folder", "link"};
    if (name == "new")
        expected << QStringLiteral("new");
    // No temporary is left behind, whether it went or not.
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System), expected);
    const auto content = PrivateFile::read(at(name.constData()).constData(), 100);
    QCOMPARE(QByteArray::fromStdString(content.value_or("not a file")),
             o.ok() ? "new content" : "not a file");
    if (o.ok()) {
        QCOMPARE(o.bytes, std::size_t(11));
        struct stat st;
        QCOMPARE(::lstat(at(name.constData()).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0600));
    }
    QCOMPARE(QByteArray::fromStdString(PrivateFile::read(at("file").constData(), 100).value()),
             name == "file" ? "new content" : "content");
}

void tst_PrivateFile::writesAndReadsWhole()
{
    PrivateFile::Opened file = PrivateFile::open(at("file").constData(), O_RDWR);
    QVERIFY(file.outcome.ok());
    PrivateFile::Outcome o = PrivateFile::writeAll(file.fd.get(), "XY", 2);
    QVERIFY(o.ok());
    QCOMPARE(o.bytes, std::size_t(2));
    char buffer[16] = {};
    o = PrivateFile::readUpTo(file.fd.get(), buffer, sizeof buffer);
    QVERIFY(o.ok());
    QCOMPARE(QByteArray(buffer, int(o.bytes)), QByteArray("coXYent")); // fewer, where the file ends
    const PrivateFile::Opened readOnly = PrivateFile::open(at("file").constData(), O_RDONLY);
    o = PrivateFile::writeAll(readOnly.fd.get(), "Z");
    QCOMPARE(o.failed, Failed::Write);
    QCOMPARE(o.error, EBADF);
    // A file that tells no size is read in growing pieces, up to the cap still.
    QCOMPARE(PrivateFile::read("/proc/self/status", 10).value_or("").size(), std::size_t(10));
    QCOMPARE(PrivateFile::syncFolder(at("gone").constData()).failed, Failed::Open);
    QVERIFY(PrivateFile::syncFolder(at("folder").constData()).ok());
}

void tst_PrivateFile::pdfTemporaries_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("converters");
    QTest::newRow("its own") << QByteArray(".scan.pdf.aZ09xy.part") << true;
    QTest::newRow("shortest") << QByteArray(".s.pdf.aZ09xy.part") << true;
    QTest::newRow("not hidden") << QByteArray("scan.pdf.aZ09xy.part") << false;
    QTest::newRow("five filled in") << QByteArray(".scan.pdf.aZ09x.part") << false;
    QTest::newRow("not letters or digits") << QByteArray(".scan.pdf.aZ-9xy.part") << false;
    QTest::newRow("no PDF") << QByteArray(".scan.tif.aZ09xy.part") << false;
    QTest::newRow("nothing before .pdf") << QByteArray("..pdf.aZ09xy.part") << false;
    QTest::newRow("a page in progress") << QByteArray(".scan.tif.part") << false;
    QTest::newRow("on two lines") << QByteArray(".sc\nan.pdf.aZ09xy.part") << false;
    QTest::newRow("not a part") << QByteArray(".scan.pdf.aZ09xy.parts") << false;
}

void tst_PrivateFile::pdfTemporaries()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, converters);
    QCOMPARE(ConverterFiles::isPdfTemporary(name.toStdString()), converters);
    // What the converter makes of a PDF's name, filled in, is always its own.
    std::string made = ConverterFiles::temporaryTemplate(std::string(300, 'n') + ".pdf");
    QCOMPARE(made.size(), 1 + ConverterFiles::kTemporaryBaseChars + 1 + 6 + 5);
    made = ConverterFiles::temporaryTemplate("scan.pdf");
    QCOMPARE(made, std::string(".scan.pdf.XXXXXX.part"));
    made.replace(made.find("XXXXXX"), 6, "q1W2e3");
    QVERIFY(ConverterFiles::isPdfTemporary(made));
}

void tst_PrivateFile::pdfNamesAndTheirBases_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("bases");
    QTest::newRow("plain") << "scan" << QStringList{"scan"};
    QTest::newRow("numbered") << "scan-2" << QStringList{"scan-2", "scan"};
    QTest::newRow("any number") << "scan-1234" << QStringList{"scan-1234", "scan"};
    QTest::newRow("last dash only") << "a-b-12" << QStringList{"a-b-12", "a-b"};
    QTest::newRow("dash first") << "-2" << QStringList{"-2"};
    QTest::newRow("dash last") << "scan-" << QStringList{"scan-"};
    QTest::newRow("not only digits") << "scan-2a" << QStringList{"scan-2a"};
}

void tst_PrivateFile::pdfNamesAndTheirBases()
{
    QFETCH(QString, name);
    QFETCH(QStringList, bases);
    QStringList got;
    for (const std::string& b : ConverterFiles::basesOf(name.toStdString()))
        got << QString::fromStdString(b);
    QCOMPARE(got, bases);
    // Each base names the PDF again by its number.
    if (bases.size() == 2) {
        const int n = name.section(u'-', -1).toInt();
        QCOMPARE(ConverterFiles::pdfName(bases.last().toStdString(), n), name.toStdString() + ".pdf");
    }
    QCOMPARE(ConverterFiles::pdfName(name.toStdString(), 1), name.toStdString() + ".pdf");
    QCOMPARE(ConverterFiles::sourceLine(1, 2, -3, 40), std::string("%QuillfeedSource 1 2 -3 40\n"));
}

QTEST_GUILESS_MAIN(tst_PrivateFile)
#include "tst_privatefile.moc"
