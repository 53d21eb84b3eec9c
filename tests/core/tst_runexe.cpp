// SPDX-License-Identifier: GPL-3.0-or-later
// The program runner: command-line splitting and quoting, exit codes, what the
// started program inherits, and the -1 results.
#include "RunExe.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using RunExe::QuoteArgument;
using RunExe::RunAndWait;
using RunExe::SplitCommandLine;

namespace {

QString helper()
{
    return TestSupport::binDir() + QStringLiteral("/argv_echo");
}

QString commandLine(const QString& program, const QStringList& args)
{
    QStringList parts{QuoteArgument(program)};
    for (const QString& a : args)
        parts << QuoteArgument(a);
    return parts.join(u' ');
}

// What the helper's echo mode wrote: working folder, probe variable, arguments.
QStringList readEcho(const QString& file)
{
    QByteArray bytes = TestSupport::readFile(file);
    if (!bytes.endsWith('\0'))
        return {};
    bytes.chop(1);
    QStringList out;
    for (const QByteArray& part : bytes.split('\0'))
        out << QString::fromLocal8Bit(part);
    return out;
}

} // namespace

class tst_RunExe : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void splitRules_data();
    void splitRules();
    void quoteRoundTrip_data();
    void quoteRoundTrip();
    void exitCode_data();
    void exitCode();
    void argumentsArriveIntact_data();
    void argumentsArriveIntact();
    void programPathWithBlanks();
    void programFoundOnPath();
    void inheritsEnvironmentAndDirectory();
    void inheritsStandardOutput();
    void nothingStarted_data();
    void nothingStarted();
    void endedBySignal();
    void signalsStartAtDefault();
    void timeLimit_data();
    void timeLimit();
};

void tst_RunExe::initTestCase()
{
    QVERIFY2(QFileInfo(helper()).isExecutable(), qPrintable(helper()));
}

void tst_RunExe::splitRules_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QStringList>("tokens");
    QTest::newRow("plain") << "prog a b" << true << QStringList{"prog", "a", "b"};
    QTest::newRow("runs of blanks and tabs") << "  prog \t a    b  " << true << QStringList{"prog", "a", "b"};
    QTest::newRow("quoted blanks") << R"("/opt/my prog/x" "in file.tif")" << true
                                   << QStringList{"/opt/my prog/x", "in file.tif"};
    QTest::newRow("empty quoted argument") << R"(prog "" b)" << true << QStringList{"prog", "", "b"};
    QTest::newRow("escaped quote inside")
        << R"(prog "say \"hi\"")" << true << QStringList{"prog", R"(say "hi")"};
    QTest::newRow("escaped backslash inside")
        << R"(prog "a\\b" "end\\")" << true << QStringList{"prog", R"(a\b)", R"(end\)"};
    QTest::newRow("lone backslash inside")
        << R"(prog "C:\dir\x")" << true << QStringList{"prog", R"(C:\dir\x)"};
    QTest::newRow("backslash outside")
        << R"(prog a\b c\\)" << true << QStringList{"prog", R"(a\b)", R"(c\\)"};
    QTest::newRow("quotes join") << R"(prog a"b c"d)" << true << QStringList{"prog", "ab cd"};
    QTest::newRow("shell characters") << "prog $(id) ; `ls` * | > &" << true
                                      << QStringList{"prog", "$(id)", ";", "`ls`", "*", "|", ">", "&"};
    QTest::newRow("empty") << "" << false << QStringList{};
    QTest::newRow("blanks only") << " \t " << false << QStringList{};
    QTest::newRow("unclosed quote") << R"(prog "a b)" << false << QStringList{};
    QTest::newRow("unclosed program") << R"("/opt/prog a)" << false << QStringList{};
    QTest::newRow("escaped closing quote") << R"(prog "dir\")" << false << QStringList{};
    QTest::newRow("empty program") << R"("" a)" << false << QStringList{};
}

void tst_RunExe::splitRules()
{
    QFETCH(QString, line);
    QFETCH(bool, valid);
    QFETCH(QStringList, tokens);
    const std::optional<QStringList> got = SplitCommandLine(line);
    QCOMPARE(got.has_value(), valid);
    if (valid)
        QCOMPARE(*got, tokens);
}

void tst_RunExe::quoteRoundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("plain") << "a.pdf";
    QTest::newRow("blanks") << " two  blanks ";
    QTest::newRow("tab and newline") << "a\tb\nc\r";
    QTest::newRow("quote") << R"(my "best" scan.tif)";
    QTest::newRow("only a quote") << "\"";
    QTest::newRow("trailing backslash") << R"(folder\)";
    QTest::newRow("backslash before quote") << R"(a\"b)";
    QTest::newRow("many backslashes") << R"(\\\\"\\\)";
    QTest::newRow("shell") << "$(rm -rf ~); `id` * ? [a] {b,c} | & > < ' !";
    QTest::newRow("non-ASCII") << QStringLiteral("Überweisung – 文書.tif");
}

void tst_RunExe::quoteRoundTrip()
{
    QFETCH(QString, text);
    const std::optional<QStringList> alone = SplitCommandLine(QStringLiteral("prog ") + QuoteArgument(text));
    QVERIFY(alone);
    QCOMPARE(*alone, (QStringList{"prog", text}));

    const QStringList args{text, QStringLiteral("x"), text + text};
    const std::optional<QStringList> many = SplitCommandLine(commandLine(QStringLiteral("/p q/r"), args));
    QVERIFY(many);
    QCOMPARE(*many, QStringList{QStringLiteral("/p q/r")} + args);
}

void tst_RunExe::exitCode_data()
{
    QTest::addColumn<int>("code");
    QTest::newRow("0") << 0;
    QTest::newRow("3") << 3;
    QTest::newRow("127") << 127;
    QTest::newRow("255") << 255;
}

void tst_RunExe::exitCode()
{
    QFETCH(int, code);
    QCOMPARE(RunAndWait(QuoteArgument(helper()) + QStringLiteral(" exit ") + QString::number(code)), code);
    // Unquoted program path works as well when it has no blanks.
    QCOMPARE(RunAndWait(helper() + QStringLiteral(" exit ") + QString::number(code)), code);
}

void tst_RunExe::argumentsArriveIntact_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("none") << QStringList{};
    QTest::newRow("blanks") << QStringList{"in file.tif", " lead", "trail ", "a  b"};
    QTest::newRow("double quotes") << QStringList{R"(my "best" scan.tif)", "\"", R"(""")"};
    QTest::newRow("backslashes") << QStringList{R"(C:\TAVScans\)", R"(\\server\share)", R"(\")"};
    QTest::newRow("command substitution") << QStringList{"$(touch pwned)", "${HOME}", "$HOME"};
    QTest::newRow("separators") << QStringList{";", "a; touch pwned", "&&", "|", "||", ">pwned"};
    QTest::newRow("backquotes") << QStringList{"`touch pwned`"};
    QTest::newRow("globs") << QStringList{"*", "*.tif", "?", "[a-z]"};
    QTest::newRow("empty") << QStringList{"", "x", ""};
    QTest::newRow("control characters") << QStringList{"tab\there", "new\nline", "cr\r"};
    QTest::newRow("non-ASCII") << QStringList{QStringLiteral("Überweisung – 文書.tif")};
}

void tst_RunExe::argumentsArriveIntact()
{
    QFETCH(QStringList, args);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Files a shell would expand "*" to, and the folder a shell would write to.
    QVERIFY(TestSupport::writeFile(dir.filePath(QStringLiteral("a.tif")), "x"));
    const QString old = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    auto back = qScopeGuard([&] { QDir::setCurrent(old); });

    const QString out = dir.filePath(QStringLiteral("echo.bin"));
    QCOMPARE(RunAndWait(commandLine(helper(), QStringList{"echo", out} + args)), 0);
    const QStringList got = readEcho(out);
    QCOMPARE(got.mid(2), args);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("pwned"))));
    QVERIFY(!QFile::exists(old + QStringLiteral("/pwned")));
}

void tst_RunExe::programPathWithBlanks()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.filePath(QStringLiteral("folder with blanks"));
    QVERIFY(QDir().mkpath(folder));
    const QString program = folder + QStringLiteral("/argv echo");
    QVERIFY(QFile::copy(helper(), program));

    QCOMPARE(RunAndWait(QuoteArgument(program) + QStringLiteral(" exit 5")), 5);

    const QString out = dir.filePath(QStringLiteral("out file.bin"));
    QCOMPARE(RunAndWait(QStringLiteral("\"%1\" echo \"%2\" one \"two three\"").arg(program, out)), 0);
    QCOMPARE(readEcho(out).mid(2), (QStringList{"one", "two three"}));

    // Without quotes the line names the folder's first word, which is no program.
    QCOMPARE(RunAndWait(program + QStringLiteral(" exit 5")), -1);
}

void tst_RunExe::programFoundOnPath()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::copy(helper(), dir.filePath(QStringLiteral("qf-runexe-probe"))));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(dir.path()) + ':' + oldPath);
    auto back = qScopeGuard([&] { qputenv("PATH", oldPath); });
    QCOMPARE(RunAndWait(QStringLiteral("qf-runexe-probe exit 6")), 6);
}

void tst_RunExe::inheritsEnvironmentAndDirectory()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString old = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    auto back = qScopeGuard([&] {
        QDir::setCurrent(old);
        qunsetenv("QF_RUNEXE_PROBE");
    });
    qputenv("QF_RUNEXE_PROBE", "set by the caller; $(not expanded)");

    // A relative output name lands in the caller's current folder.
    QCOMPARE(RunAndWait(QuoteArgument(helper()) + QStringLiteral(" echo rel.bin")), 0);
    const QStringList got = readEcho(dir.filePath(QStringLiteral("rel.bin")));
    QCOMPARE(got.size(), 2);
    QCOMPARE(QFileInfo(got[0]).canonicalFilePath(), QFileInfo(dir.path()).canonicalFilePath());
    QCOMPARE(got[1], QStringLiteral("set by the caller; $(not expanded)"));

    qunsetenv("QF_RUNEXE_PROBE");
    QCOMPARE(RunAndWait(QuoteArgument(helper()) + QStringLiteral(" echo rel2.bin")), 0);
    QCOMPARE(readEcho(dir.filePath(QStringLiteral("rel2.bin"))).value(1), QStringLiteral("(unset)"));
}

void tst_RunExe::inheritsStandardOutput()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray path = QFile::encodeName(dir.filePath(QStringLiteral("std.txt")));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    QVERIFY(fd >= 0);
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = ::dup(1);
    const int savedErr = ::dup(2);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    // Standard error reaches the caller's as it did, and its last line is kept.
    QString last;
    const int rc =
        RunAndWait(QuoteArgument(helper()) + QStringLiteral(" print \"seen\nlast line\n\n\""), &last);
    ::dup2(savedOut, 1);
    ::dup2(savedErr, 2);
    ::close(savedOut);
    ::close(savedErr);
    ::close(fd);
    QCOMPARE(rc, 0);
    QCOMPARE(TestSupport::readFile(dir.filePath(QStringLiteral("std.txt"))),
             QByteArray("seen\nlast line\n\n").repeated(2));
    QCOMPARE(last, QStringLiteral("last line"));
}

void tst_RunExe::nothingStarted_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("missing absolute path") << "/nonexistent/quillfeed/tiff2pdf a.tif";
    QTest::newRow("missing on PATH") << "quillfeed-no-such-program-4711 a";
    QTest::newRow("a folder") << "/tmp";
    QTest::newRow("empty line") << "";
    QTest::newRow("blanks only") << "   ";
    QTest::newRow("unclosed quote") << "\"/bin/true";
    QTest::newRow("empty program") << "\"\" x";
    QTest::newRow("NUL in an argument")
        << QStringLiteral("/bin/true \"a") + QChar(u'\0') + QStringLiteral("b\"");
}

void tst_RunExe::nothingStarted()
{
    QFETCH(QString, line);
    QCOMPARE(RunAndWait(line), -1);
}

void tst_RunExe::endedBySignal()
{
    QCOMPARE(RunAndWait(QuoteArgument(helper()) + QStringLiteral(" kill")), -1);
    // sh is only the program under test here: it kills itself.
    QCOMPARE(RunAndWait(QStringLiteral("/bin/sh -c \"kill -9 $$\"")), -1);

    // A file that is there but cannot be run.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString plain = dir.filePath(QStringLiteral("not-executable"));
    QVERIFY(TestSupport::writeFile(plain, "#!/bin/sh\nexit 0\n"));
    QVERIFY(QFile::setPermissions(plain, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QCOMPARE(RunAndWait(QuoteArgument(plain)), -1);
}

void tst_RunExe::signalsStartAtDefault()
{
    // The caller ignores SIGTERM; the program must not inherit that.
    struct sigaction ignore = {};
    struct sigaction old = {};
    ignore.sa_handler = SIG_IGN;
    QCOMPARE(::sigaction(SIGTERM, &ignore, &old), 0);
    auto back = qScopeGuard([&] { ::sigaction(SIGTERM, &old, nullptr); });
    QCOMPARE(RunAndWait(QuoteArgument(helper()) + QStringLiteral(" term")), -1);
}

void tst_RunExe::timeLimit_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("overran");
    QTest::newRow("ends in time") << "exit 3" << 3 << false;
    QTest::newRow("hangs") << "sleep 30" << -1 << true;
    // Deaf to SIGTERM, and what it started too: both are killed.
    QTest::newRow("ignores SIGTERM, with a child")
        << "trap '' TERM; sleep 30 & echo $! > %1; wait" << -1 << true;
}

void tst_RunExe::timeLimit()
{
    QFETCH(QString, script);
    QFETCH(int, code);
    QFETCH(bool, overran);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pidFile = dir.filePath(QStringLiteral("child"));
    const auto limit = std::chrono::milliseconds(300);
    bool stopped = !overran;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(RunAndWait(commandLine(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script.arg(pidFile)}),
                        nullptr, limit, &stopped),
             code);
    QCOMPARE(stopped, overran);
    // The limit, the grace before SIGKILL, and room for a loaded machine.
    QVERIFY2(clock.elapsed() < 2 * limit.count() + 1500, qPrintable(QString::number(clock.elapsed())));
    if (!QFileInfo::exists(pidFile))
        return;
    const QByteArray child = TestSupport::readFile(pidFile).trimmed();
    QVERIFY(!child.isEmpty());
    // Gone, or a zombie waiting for whoever adopted it.
    QVERIFY(QTest::qWaitFor([&] {
        const QByteArray stat = TestSupport::readFile(QStringLiteral("/proc/") + child + "/stat");
        return stat.isEmpty() || stat.contains(") Z ");
    }));
}

QTEST_GUILESS_MAIN(tst_RunExe)
#include "tst_runexe.moc"
