// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file: what is written, what is read back, short and odd files,
// the first run without a file, and the file's permissions.
#include "Failure.h"
#include "Settings.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QStringList currentValues()
{
    return {Settings::appTitle,     Settings::uploadToUrl,   Settings::readFromPath,
            Settings::proxyAddress, Settings::proxyUserName, Settings::proxyPassword};
}

void setValues(const QStringList& v)
{
    Settings::appTitle = v.value(0);
    Settings::uploadToUrl = v.value(1);
    Settings::readFromPath = v.value(2);
    Settings::proxyAddress = v.value(3);
    Settings::proxyUserName = v.value(4);
    Settings::proxyPassword = v.value(5);
}

// What the values held before a load, so the test sees which ones it changed.
const QStringList kBefore{"old title", "old url", "old folder", "old proxy", "old user", "old password"};

int fileMode(const QString& path)
{
    struct stat st = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return st.st_mode & 07777;
}

} // namespace

class tst_Settings : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void savedBytes();
    void roundTrip_data();
    void roundTrip();
    void shortFiles_data();
    void shortFiles();
    void lineEnds_data();
    void lineEnds();
    void endlessLineReadNoFurther();
    void extraLinesDroppedAtSave();
    void noFile();
    void folderInsteadOfFile();
    void newFileIsPrivate();
    void existingFileMadePrivate();
    void unwritableFileReported_data();
    void unwritableFileReported();
    void refusingProgramFolderSavesForTheAccount_data();
    void refusingProgramFolderSavesForTheAccount();
    void savedInPlaceWhereTheFolderTakesNoNewFile();
    void defaults();
    void cutSaveFinishedAtStart_data();
    void cutSaveFinishedAtStart();

private:
    QTemporaryDir* m_dir = nullptr;
    int m_requests = 0;
};

void tst_Settings::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    Settings::setProgramFolder(m_dir->path());
    QFile::remove(Settings::userSettingsFilePath());
    m_requests = 0;
    Settings::setShowDialogRequest([this] { ++m_requests; });
    setValues(kBefore);
}

void tst_Settings::cleanup()
{
    Settings::setShowDialogRequest({});
    Settings::setProgramFolder(QString());
    if (m_dir) {
        // A test may have left an unwritable tree behind.
        QFile::setPermissions(m_dir->path(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        delete m_dir;
        m_dir = nullptr;
    }
}

void tst_Settings::savedBytes()
{
    setValues({"Quorvane", "http://h/x.asp", "/srv/scans", "", "user", "pa ss"});
    Settings::SaveSettings();
    QCOMPARE(Settings::settingsFilePath(), m_dir->path() + QStringLiteral("/settings.txt"));
    QCOMPARE(TestSupport::readFile(Settings::settingsFilePath()),
             QByteArray("Quorvane\r\nhttp://h/x.asp\r\n/srv/scans\r\n\r\nuser\r\npa ss\r\n"));
    // Saving again replaces the content, it does not add to it.
    setValues({"T", "", "", "", "", ""});
    Settings::SaveSettings();
    QCOMPARE(TestSupport::readFile(Settings::settingsFilePath()), QByteArray("T\r\n\r\n\r\n\r\n\r\n\r\n"));
    // A value that would end its line early is refused, and the file stays.
    setValues({"T", "a\nb", "", "", "", ""});
    QVERIFY_THROWS_EXCEPTION(Failure, Settings::SaveSettings());
    QCOMPARE(TestSupport::readFile(Settings::settingsFilePath()), QByteArray("T\r\n\r\n\r\n\r\n\r\n\r\n"));
    QCOMPARE(m_requests, 0);
}

void tst_Settings::roundTrip_data()
{
    QTest::addColumn<QStringList>("values");
    QTest::newRow("plain") << QStringList{"Title", "http://a/b.asp", "/home/u/TAVScans", "proxy:3128", "u",
                                          "p"};
    QTest::newRow("all empty") << QStringList{"", "", "", "", "", ""};
    QTest::newRow("some empty") << QStringList{"Title", "", "/x", "", "user", ""};
    QTest::newRow("commas and quotes")
        << QStringList{"a, b", "\"quoted\"", "x,\"y\",z", "'single'", "\"", ","};
    QTest::newRow("colons and slashes") << QStringList{"C:\\TAVScans",    "http://u:p@host:8080/a/b?c=d",
                                                       "//server/share/", "http://proxy:3128/",
                                                       "dom\\user",       "a:b/c"};
    QTest::newRow("spaces kept") << QStringList{"  lead", "trail  ", "  both  ", " ", "\t", " \t "};
    QTest::newRow("non-ASCII") << QStringList{QStringLiteral("Grundbuchamt Zürich"),
                                              QStringLiteral("http://ä.example/ß"),
                                              QStringLiteral("/home/jörg/Scans"),
                                              "",
                                              QStringLiteral("jörg"),
                                              QStringLiteral("pässwörd€")};
}

void tst_Settings::roundTrip()
{
    QFETCH(QStringList, values);
    setValues(values);
    Settings::SaveSettings();
    setValues(kBefore);
    Settings::LoadSettings();
    QCOMPARE(currentValues(), values);
    QCOMPARE(m_requests, 0);
}

void tst_Settings::shortFiles_data()
{
    // Whatever a short file does not hold keeps what was in memory before.
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("0 lines (empty file)") << QByteArray() << kBefore;
    QTest::newRow("1 line") << QByteArray("T\r\n") << QStringList{"T",         "old url",  "old folder",
                                                                  "old proxy", "old user", "old password"};
    QTest::newRow("2 lines") << QByteArray("T\r\nU\r\n")
                             << QStringList{"T", "U", "old folder", "old proxy", "old user", "old password"};
    QTest::newRow("3 lines") << QByteArray("T\r\nU\r\nR\r\n")
                             << QStringList{"T", "U", "R", "old proxy", "old user", "old password"};
    QTest::newRow("4 lines") << QByteArray("T\r\nU\r\nR\r\nP\r\n")
                             << QStringList{"T", "U", "R", "P", "old user", "old password"};
    QTest::newRow("5 lines") << QByteArray("T\r\nU\r\nR\r\nP\r\nN\r\n")
                             << QStringList{"T", "U", "R", "P", "N", "old password"};
    QTest::newRow("6 lines") << QByteArray("T\r\nU\r\nR\r\nP\r\nN\r\nW\r\n")
                             << QStringList{"T", "U", "R", "P", "N", "W"};
    QTest::newRow("3 lines, empty proxy lines present")
        << QByteArray("T\r\nU\r\nR\r\n\r\n\r\n\r\n") << QStringList{"T", "U", "R", "", "", ""};
    QTest::newRow("one empty line") << QByteArray("\r\n")
                                    << QStringList{"",          "old url",  "old folder",
                                                   "old proxy", "old user", "old password"};
}

void tst_Settings::shortFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);
    QVERIFY(TestSupport::writeFile(Settings::settingsFilePath(), content));
    Settings::LoadSettings();
    QCOMPARE(currentValues(), expected);
    QCOMPARE(m_requests, 0); // a short file is a file: no dialog
}

void tst_Settings::lineEnds_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("CR LF") << QByteArray("T\r\nU\r\nR\r\nP\r\nN\r\nW\r\n")
                           << QStringList{"T", "U", "R", "P", "N", "W"};
    QTest::newRow("lone CR") << QByteArray("T\rU\rR\rP\rN\rW\r") << QStringList{"T", "U", "R", "P", "N", "W"};
    QTest::newRow("mixed CR and CR LF")
        << QByteArray("T\rU\r\nR\rP\r\nN\rW") << QStringList{"T", "U", "R", "P", "N", "W"};
    QTest::newRow("last line unterminated")
        << QByteArray("T\r\nU\r\nR\r\nP\r\nN\r\nW") << QStringList{"T", "U", "R", "P", "N", "W"};
    // As a file written by hand here (echo, a heredoc) has them.
    QTest::newRow("LF") << QByteArray("T\nU\nR\nP\nN\nW\n") << QStringList{"T", "U", "R", "P", "N", "W"};
    QTest::newRow("LF CR is two line ends")
        << QByteArray("T\n\rU\r\nR\r\n") << QStringList{"T", "", "U", "R", "old user", "old password"};
    // Six lines are read, each up to the limit: the rest of a huge line is dropped.
    QTest::newRow("over-long line cut")
        << QByteArray("T\r\n" + QByteArray(3 * Settings::MaxLineBytes, 'u') + "\nR\n")
        << QStringList{"T",           QString(Settings::MaxLineBytes, u'u'), "R", "old proxy", "old user",
                       "old password"};
    QTest::newRow("CR CR is an empty line")
        << QByteArray("T\r\rR\r\n") << QStringList{"T", "", "R", "old proxy", "old user", "old password"};
}

void tst_Settings::lineEnds()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);
    QVERIFY(TestSupport::writeFile(Settings::settingsFilePath(), content));
    Settings::LoadSettings();
    QCOMPARE(currentValues(), expected);
}

void tst_Settings::endlessLineReadNoFurther()
{
    // 200 MiB without a line end (a hole: nothing on the disk, nothing in this
    // test's memory), then the lines a reader that went on would take.
    const QString path = Settings::settingsFilePath();
    QVERIFY(TestSupport::writeFile(path, ""));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.resize(200LL * 1024 * 1024));
    QVERIFY(file.seek(file.size()));
    QVERIFY(file.write("\r\nU\r\nR\r\n") == 8);
    file.close();
    Settings::LoadSettings();
    // Read no further than six longest lines: as if the file ended in the first.
    QCOMPARE(currentValues(), (QStringList{QString(Settings::MaxLineBytes, QChar(0)), "old url", "old folder",
                                           "old proxy", "old user", "old password"}));
    QCOMPARE(m_requests, 0);
}

void tst_Settings::extraLinesDroppedAtSave()
{
    QVERIFY(TestSupport::writeFile(Settings::settingsFilePath(),
                                   "T\r\nU\r\nR\r\nP\r\nN\r\nW\r\nextra 7\r\nextra 8\r\n"));
    Settings::LoadSettings();
    QCOMPARE(currentValues(), (QStringList{"T", "U", "R", "P", "N", "W"}));
    Settings::SaveSettings();
    QCOMPARE(TestSupport::readFile(Settings::settingsFilePath()),
             QByteArray("T\r\nU\r\nR\r\nP\r\nN\r\nW\r\n"));
}

void tst_Settings::noFile()
{
    Settings::LoadSettings();
    QCOMPARE(currentValues(),
             (QStringList{"Quorvane", "http://localhost/[district code]/saveTAVscan.asp",
                          QDir::homePath() + "/TAVScans", "old proxy", "old user", "old password"}));
    QCOMPARE(m_requests, 1);
    QVERIFY(!QFileInfo::exists(Settings::settingsFilePath()));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());

    // A program folder that does not exist is the same case.
    Settings::setProgramFolder(m_dir->filePath(QStringLiteral("missing/folder")));
    Settings::LoadSettings();
    QCOMPARE(m_requests, 2);
    QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral("missing"))));

    // Without anyone to ask, the defaults are still set and nothing fails.
    Settings::setShowDialogRequest({});
    Settings::appTitle.clear();
    Settings::LoadSettings();
    QCOMPARE(Settings::appTitle, QStringLiteral("Quorvane"));
}

void tst_Settings::folderInsteadOfFile()
{
    // A settings.txt that cannot be opened for reading counts as no file.
    QVERIFY(QDir().mkpath(Settings::settingsFilePath()));
    Settings::LoadSettings();
    QCOMPARE(Settings::appTitle, QStringLiteral("Quorvane"));
    QCOMPARE(Settings::proxyAddress, QStringLiteral("old proxy"));
    QCOMPARE(m_requests, 1);
}

void tst_Settings::newFileIsPrivate()
{
    const mode_t oldMask = ::umask(0);
    Settings::SaveSettings();
    ::umask(oldMask);
    QCOMPARE(fileMode(Settings::settingsFilePath()), 0600);
}

void tst_Settings::existingFileMadePrivate()
{
    const QString path = Settings::settingsFilePath();
    QVERIFY(TestSupport::writeFile(path, "T\r\nU\r\nR\r\n"));
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);
    QCOMPARE(fileMode(path), 0644);
    Settings::SaveSettings();
    QCOMPARE(fileMode(path), 0600);
    QCOMPARE(TestSupport::readFile(path),
             QByteArray("old title\r\nold url\r\nold folder\r\nold proxy\r\nold user\r\nold password\r\n"));
}

void tst_Settings::unwritableFileReported_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("settings.txt is a folder") << "folder";
    QTest::newRow("program folder under a file") << "under-file";
    QTest::newRow("program folder missing") << "missing";
}

void tst_Settings::unwritableFileReported()
{
    QFETCH(QString, how);
    QString folder = m_dir->path();
    if (how == QStringLiteral("folder")) {
        QVERIFY(QDir().mkpath(Settings::settingsFilePath()));
    } else if (how == QStringLiteral("under-file")) {
        QVERIFY(TestSupport::writeFile(m_dir->filePath(QStringLiteral("plain")), "x"));
        folder = m_dir->filePath(QStringLiteral("plain/sub"));
    } else {
        folder = m_dir->filePath(QStringLiteral("no/such/folder"));
    }
    Settings::setProgramFolder(folder);

    QString description;
    try {
        Settings::SaveSettings();
    } catch (const Failure& f) {
        description = f.description();
    }
    QVERIFY2(description.startsWith(QStringLiteral("Cannot write the settings file ") + folder +
                                    QStringLiteral("/settings.txt")),
             qPrintable(description));
    QVERIFY(!QFileInfo::exists(Settings::userSettingsFilePath()));
    // No stray temporary file is left beside it.
    const QStringList left = QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden);
    for (const QString& name : left)
        QVERIFY2(!name.startsWith(QStringLiteral("settings.txt.")), qPrintable(name));
}

void tst_Settings::refusingProgramFolderSavesForTheAccount_data()
{
    QTest::addColumn<QString>("how");
    // sysfs refuses new files to root as well: the packaged layout, seen by a clerk.
    QTest::newRow("no settings.txt, folder refuses new files") << "sysfs";
    if (::geteuid() != 0)
        QTest::newRow("administrator's read-only settings.txt") << "read-only";
}

void tst_Settings::refusingProgramFolderSavesForTheAccount()
{
    QFETCH(QString, how);
    const QByteArray seed = "Front\r\nhttp://seed/x.asp\r\n/srv/seed\r\n";
    if (how == QStringLiteral("sysfs")) {
        if (!QFileInfo(QStringLiteral("/sys/kernel")).isDir())
            QSKIP("no sysfs");
        Settings::setProgramFolder(QStringLiteral("/sys"));
    } else {
        QVERIFY(TestSupport::writeFile(Settings::settingsFilePath(), seed));
        QVERIFY(::chmod(QFile::encodeName(Settings::settingsFilePath()).constData(), 0400) == 0);
        QVERIFY(::chmod(QFile::encodeName(m_dir->path()).constData(), 0500) == 0);
    }
    const QString own = Settings::userSettingsFilePath();
    const QStringList saved{"Front", "http://clerk/x.asp", "/home/clerk/TAVScans", "", "", ""};
    setValues(saved);
    Settings::SaveSettings();
    QCOMPARE(TestSupport::readFile(own), Settings::formatFile(saved));
    struct stat st;
    QVERIFY(::stat(QFile::encodeName(own).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 0777, 0600u);
    const QString notice = Settings::takeSaveNotice();
    QVERIFY2(notice.contains(own) && notice.contains(Settings::settingsFilePath()), qPrintable(notice));
    QCOMPARE(Settings::takeSaveNotice(), QString()); // said once
    if (how == QStringLiteral("read-only"))
        QCOMPARE(TestSupport::readFile(Settings::settingsFilePath()), seed); // the pre-seed stays

    // The account's file is what the next start reads, and what the next save writes.
    setValues(kBefore);
    QCOMPARE(Settings::readSettingsFilePath(), own);
    Settings::LoadSettings();
    QCOMPARE(currentValues(), saved);
    QCOMPARE(m_requests, 0);
    Settings::proxyAddress = QStringLiteral("p:1");
    Settings::SaveSettings();
    QVERIFY(TestSupport::readFile(own).contains("\r\np:1\r\n"));
    QCOMPARE(Settings::takeSaveNotice(), QString());
    QVERIFY(QFile::remove(own));
}

void tst_Settings::savedInPlaceWhereTheFolderTakesNoNewFile()
{
    // A settings.txt the clerk may write in a folder that takes no new file: the
    // new text goes to a synced copy first, then into the file itself.
    QVERIFY(TestSupport::writeFile(Settings::settingsFilePath(), "Old\r\n"));
    if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), m_dir->path()}) != 0)
        QSKIP("no folder can be made to refuse new files here");
    const QStringList saved{"T", "http://clerk/x.asp", "/srv/scans", "p:1", "u", "pw"};
    setValues(saved);
    QString failure;
    try {
        Settings::SaveSettings();
    } catch (const Failure& f) {
        failure = f.description();
    }
    QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_dir->path()});
    QCOMPARE(failure, QString());
    QCOMPARE(TestSupport::readFile(Settings::settingsFilePath()), Settings::formatFile(saved));
    QVERIFY(!QFileInfo::exists(Settings::savedCopyPath(Settings::settingsFilePath())));
    QVERIFY(!QFileInfo::exists(Settings::userSettingsFilePath()));
}

void tst_Settings::defaults()
{
    QCOMPARE(Settings::defaultAppTitle, QStringLiteral("Quorvane"));
    QCOMPARE(Settings::defaultUploadToUrl(),
             QStringLiteral("http://localhost/[district code]/saveTAVscan.asp"));
    QCOMPARE(Settings::defaultReadFromPath(), QDir::homePath() + QStringLiteral("/TAVScans"));
    // The program folder is the executable's unless a test or launcher sets another.
    Settings::setProgramFolder(QString());
    QCOMPARE(Settings::programFolder(), QCoreApplication::applicationDirPath());
    QCOMPARE(Settings::settingsFilePath(),
             QCoreApplication::applicationDirPath() + QStringLiteral("/settings.txt"));
}

void tst_Settings::cutSaveFinishedAtStart_data()
{
    // settings.txt as a power cut may leave it while Setup rewrote it in place.
    QTest::addColumn<QByteArray>("found");
    QTest::addColumn<bool>("ours"); // false: the copy of another installation's settings file
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("new text cut short") << QByteArray("New\r\nhttp://new/x.asp\r\n/srv/n") << true;
    QTest::newRow("old text half overwritten")
        << QByteArray("New\r\nhttp://old/x.asp\r\n/srv/old\r\nproxy:1\r\nu\r\np\r\n") << true;
    QTest::newRow("rewrite complete")
        << QByteArray("New\r\nhttp://new/x.asp\r\n/srv/new\r\nproxy:8\r\nuser\r\npw\r\n") << true;
    QTest::newRow("another installation's copy")
        << QByteArray("Own\r\nhttp://own/x.asp\r\n/srv/own\r\n") << false;
}

void tst_Settings::cutSaveFinishedAtStart()
{
    QFETCH(QByteArray, found);
    QFETCH(bool, ours);
    const QByteArray saved("New\r\nhttp://new/x.asp\r\n/srv/new\r\nproxy:8\r\nuser\r\npw\r\n");
    const QString copy = Settings::savedCopyPath(ours ? Settings::settingsFilePath()
                                                      : QStringLiteral("/opt/elsewhere/settings.txt"));
    QVERIFY(QDir().mkpath(QFileInfo(copy).absolutePath()));
    QVERIFY(TestSupport::writeFile(copy, saved));
    QVERIFY(TestSupport::writeFile(Settings::settingsFilePath(), found));
    Settings::LoadSettings();
    if (!ours) {
        QCOMPARE(TestSupport::readFile(Settings::settingsFilePath()), found);
        QCOMPARE(currentValues().mid(0, 3), (QStringList{"Own", "http://own/x.asp", "/srv/own"}));
        QVERIFY(QFile::remove(copy));
        return;
    }
    QCOMPARE(currentValues(), (QStringList{"New", "http://new/x.asp", "/srv/new", "proxy:8", "user", "pw"}));
    QCOMPARE(TestSupport::readFile(Settings::settingsFilePath()), saved);
    QVERIFY(!QFileInfo::exists(copy));
    QCOMPARE(m_requests, 0);
}

QTEST_GUILESS_MAIN(tst_Settings)
#include "tst_settings.moc"
