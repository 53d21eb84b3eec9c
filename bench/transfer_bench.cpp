// SPDX-License-Identifier: GPL-3.0-or-later
// Transfer pass of the real main window against a local receiving page.
//
//   transfer_bench transfer WORK URL FILES SIZE RUNS [BODIES]
//       (QUILLFEED_BENCH_LATER=1: each timed pass is the window's second, after an
//       untimed one of two files, with the connection it left idle past reuse)
//       RUNS passes of FILES files of SIZE bytes each, one Force Transfer each;
//       prints every pass time and their median. With BODIES, also writes there
//       the same request bodies as files and a curl configuration that sends them
//       as the same POSTs, for the baselines.
//   transfer_bench syncfloor WORK URL FILES SIZE
//       FILES rows appended to the record of filed documents, each synced, as a
//       pass does after every answer: a cost curl does not pay, timed apart so
//       that the baseline can carry it too.
//   transfer_bench memory WORK URL SIZE
//       one pass of one file of SIZE bytes; prints resident memory before and the
//       peak after.
//   transfer_bench backlog WORK URL FILES PAIR SIZE FOLDERS
//       one window: a pass of PAIR files, one of FILES files, one of PAIR files
//       again, each spread over FOLDERS subfolders; prints each pass's time, the
//       backlog's time to its first file filed and to each quarter of it, and its
//       peak resident memory beside what was resident before it.
#include "BenchSupport.h"
#include "FiledLog.h"
#include "InetControl.h"
#include "ReusePolicy.h"
#include "UploadRequest.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSslCertificate>
#include <QTextStream>

#include <memory>

namespace {

QByteArray contentOf(qsizetype size, int index)
{
    QByteArray content(size, Qt::Uninitialized);
    quint32 x = 2463534242u + quint32(index);
    for (qsizetype i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        content[i] = char(x);
    }
    return content;
}

QString entryOf(int index)
{
    return QStringLiteral("/scan%1.pdf").arg(index, 6, 10, QLatin1Char('0'));
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

int fail(const QString& why)
{
    QTextStream(stderr) << "transfer_bench: " << why << Qt::endl;
    return 1;
}

bool writeBodies(const QString& dir, const QString& url, int files, qsizetype size)
{
    QDir().mkpath(dir);
    QFile cfg(dir + QStringLiteral("/curl.cfg"));
    if (!cfg.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QTextStream out(&cfg);
    for (int i = 0; i < files; ++i) {
        const QString body = dir + QStringLiteral("/b%1").arg(i, 6, 10, QLatin1Char('0'));
        if (!writeFile(body, UploadRequest::buildBody(entryOf(i), "application/pdf", contentOf(size, i))))
            return false;
        if (i > 0)
            out << "next\n";
        out << "url = \"" << url << "\"\n"
            << "data-binary = \"@" << body << "\"\n"
            << "header = \"Content-Type: multipart/form-data; boundary=" << UploadRequest::Boundary << "\"\n"
            << "header = \"Expect:\"\n"
            << "output = \"/dev/null\"\n"
            << "write-out = \"%{http_code}\\n\"\n";
    }
    out.flush();
    return cfg.error() == QFileDevice::NoError;
}

int transfer(const QString& work, const QString& url, int files, qsizetype size, int runs,
             const QString& bodies)
{
    Bench::Station station(work, url);
    if (!bodies.isEmpty() && !writeBodies(bodies, url, files, size))
        return fail(QStringLiteral("cannot write the bodies in ") + bodies);

    // QUILLFEED_BENCH_LATER=1: the pass timed is a later one of the window, as
    // every pass after the first of a station that runs all day.
    const bool later = qEnvironmentVariableIntValue("QUILLFEED_BENCH_LATER") != 0;
    auto fill = [&](int count) {
        for (int i = 0; i < count; ++i) {
            const QString path = station.scans + entryOf(i);
            if (!writeFile(path, contentOf(size, i)) || !Bench::dateBack(path))
                return false;
        }
        return true;
    };
    // QUILLFEED_BENCH_GAPS="1,2.5": one window, passes this many seconds apart
    // after an untimed one of two files, as a station that runs all day meets
    // a page whose server drops connections idle past its keep-alive time; with
    // QUILLFEED_BENCH_COUNT, the connections the relay counted in each pass.
    if (const QString gaps = qEnvironmentVariable("QUILLFEED_BENCH_GAPS"); !gaps.isEmpty()) {
        auto w = std::make_unique<frmMain>();
        if (const QString ca = qEnvironmentVariable("QUILLFEED_BENCH_CA"); !ca.isEmpty())
            w->Inet1->addCaCertificates(QSslCertificate::fromPath(ca));
        w->Form_Load();
        const QString countFile = qEnvironmentVariable("QUILLFEED_BENCH_COUNT");
        const auto count = [&] {
            QFile f(countFile);
            return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toInt() : -1;
        };
        QString why;
        if (!fill(2) || Bench::timedPass(*w, 60, &why) < 0)
            return fail(QStringLiteral("the first pass failed: ") + why);
        for (const QString& gap : gaps.split(u',')) {
            if (!fill(files))
                return fail(QStringLiteral("cannot write the files in ") + station.scans);
            QElapsedTimer idle;
            idle.start();
            while (idle.elapsed() < qint64(gap.toDouble() * 1000))
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            const int before = count();
            const double s = Bench::timedPass(*w, 900, &why);
            if (s < 0)
                return fail(QStringLiteral("the pass after %1 s failed: %2").arg(gap, why));
            QTextStream(stdout) << "PASS gap=" << gap << " s=" << s << " connections=" << count() - before
                                << Qt::endl;
        }
        return 0;
    }
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        if (!later && !fill(files))
            return fail(QStringLiteral("cannot write the files in ") + station.scans);
        auto w = std::make_unique<frmMain>();
        // QUILLFEED_BENCH_CA: a certificate file the bench's https page is signed with.
        if (const QString ca = qEnvironmentVariable("QUILLFEED_BENCH_CA"); !ca.isEmpty())
            w->Inet1->addCaCertificates(QSslCertificate::fromPath(ca));
        w->Form_Load();
        QString why;
        if (later) {
            // An untimed pass of two files first: the window meets the page and
            // learns whether it keeps its connections, once per run of the
            // station. The connection it leaves then idles past what the window
            // reuses, so the timed pass opens its own, as curl does.
            if (!fill(2) || Bench::timedPass(*w, 60, &why) < 0)
                return fail(QStringLiteral("the first pass failed: ") + why);
            QElapsedTimer idle;
            idle.start();
            if (!fill(files))
                return fail(QStringLiteral("cannot write the files in ") + station.scans);
            while (idle.elapsed() < ReusePolicy::DefaultSafeIdleMs + 200)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        const double s = Bench::timedPass(*w, 900, &why);
        if (s < 0)
            return fail(why);
        const qsizetype left = Bench::countFiles(station.scans);
        if (left != 0)
            return fail(QStringLiteral("%1 files were left in the folder after the pass").arg(left));
        times.push_back(s);
        QTextStream(stdout) << "run " << run + 1 << ": " << s << " s" << Qt::endl;
    }
    QTextStream(stdout) << "RESULT transfer files=" << files << " size=" << size
                        << " median_s=" << Bench::median(times) << " runs=" << runs << Qt::endl;
    return 0;
}

int memory(const QString& work, const QString& url, qint64 size)
{
    Bench::Station station(work, url);
    const QString path = station.scans + QStringLiteral("/big.pdf");
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return fail(QStringLiteral("cannot write ") + path);
        const QByteArray chunk = contentOf(8 << 20, 1);
        for (qint64 done = 0; done < size;) {
            const qint64 n = qMin<qint64>(chunk.size(), size - done);
            if (f.write(chunk.constData(), n) != n)
                return fail(QStringLiteral("cannot write ") + path + QStringLiteral(": ") + f.errorString());
            done += n;
        }
    }
    if (!Bench::dateBack(path))
        return fail(QStringLiteral("cannot date back ") + path);

    auto w = std::make_unique<frmMain>();
    w->Form_Load();
    QCoreApplication::processEvents();
    const long rssBefore = Bench::procStatusKb("VmRSS");
    const long hwmBefore = Bench::procStatusKb("VmHWM");
    QString why;
    const double s = Bench::timedPass(*w, 900, &why);
    const long hwmAfter = Bench::procStatusKb("VmHWM");
    // The copy of the body that the window keeps is not ours to leave on the disk.
    QFile::remove(frmMain::outFilePath());
    if (s < 0)
        return fail(why);
    if (Bench::countFiles(station.scans) != 0)
        return fail(QStringLiteral("the file was left in the folder after the pass"));
    QTextStream(stdout) << "RESULT memory size=" << size << " rss_before_kb=" << rssBefore
                        << " hwm_before_kb=" << hwmBefore << " hwm_after_kb=" << hwmAfter << " pass_s=" << s
                        << Qt::endl;
    return 0;
}

int backlog(const QString& work, const QString& url, int files, int pair, qint64 size, int folders)
{
    Bench::Station station(work, url);
    const QByteArray content = contentOf(size, 0);
    auto fill = [&](int count) {
        for (int f = 0; f < folders; ++f)
            if (!QDir().mkpath(station.scans + QStringLiteral("/f%1").arg(f, 3, 10, QLatin1Char('0'))))
                return false;
        for (int i = 0; i < count; ++i) {
            const QString path =
                station.scans + QStringLiteral("/f%1").arg(i % folders, 3, 10, QLatin1Char('0')) + entryOf(i);
            if (!writeFile(path, content) || !Bench::dateBack(path))
                return false;
        }
        return true;
    };
    auto w = std::make_unique<frmMain>();
    w->Form_Load();
    QString why;
    // The window meets the page once a run, on a pass of its own.
    if (!fill(2) || Bench::timedPass(*w, 60, &why) < 0)
        return fail(QStringLiteral("the first pass failed: ") + why);
    auto pass = [&](int count, const char* name, const std::function<void(double)>& onRound = {}) {
        if (!fill(count)) {
            fail(QStringLiteral("cannot write the files in ") + station.scans);
            return -1.0;
        }
        const double s = Bench::timedPass(*w, 3600, &why, onRound);
        if (s < 0) {
            fail(QStringLiteral("the %1 pass failed: %2").arg(QLatin1String(name), why));
            return -1.0;
        }
        if (const qsizetype left = Bench::countFiles(station.scans); left != 0) {
            fail(QStringLiteral("%1 files were left in the folder after the %2 pass").arg(left).arg(name));
            return -1.0;
        }
        return s;
    };
    const double before = pass(pair, "first");
    if (before < 0)
        return 1;
    // Every file filed adds a row of about the same length to filed.csv: its
    // size tells how far the pass has come without listing the folder.
    const QString record = FiledLog::defaultPath();
    const qint64 recordBefore = QFileInfo(record).size();
    std::vector<std::pair<double, qint64>> progress;
    const auto watch = [&](double s) {
        const qint64 now = QFileInfo(record).size() - recordBefore;
        if (progress.empty() ? now > 0 : now > progress.back().second)
            progress.emplace_back(s, now);
    };
    QCoreApplication::processEvents();
    const long rssBefore = Bench::procStatusKb("VmRSS");
    Bench::resetPeakMemory();
    const double big = pass(files, "backlog", [&](double s) { watch(s); });
    const long hwmAfter = Bench::procStatusKb("VmHWM");
    if (big < 0)
        return 1;
    const double after = pass(pair, "last");
    if (after < 0)
        return 1;
    const qint64 total = progress.empty() ? 0 : progress.back().second;
    QTextStream out(stdout);
    out << "RESULT backlog files=" << files << " pair=" << pair << " before_s=" << before
        << " backlog_s=" << big << " after_s=" << after
        << " first_s=" << (progress.empty() ? -1 : progress.front().first);
    for (int q = 1; q <= 4; ++q) {
        double at = -1;
        for (const auto& [s, bytes] : progress)
            if (bytes * 4 >= total * q) {
                at = s;
                break;
            }
        out << " q" << q << "_s=" << at;
    }
    out << " rss_before_kb=" << rssBefore << " hwm_after_kb=" << hwmAfter << Qt::endl;
    return 0;
}

int syncFloor(const QString& url, int files, qint64 size)
{
    const FiledLog log;
    const QByteArray content = contentOf(size, 0);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < files; ++i) {
        const QString why = log.append(FiledLog::rowFor(entryOf(i), content, url)).failure;
        if (!why.isEmpty())
            return fail(why);
    }
    const double s = double(clock.nsecsElapsed()) / 1e9;
    QTextStream(stdout) << "RESULT syncfloor files=" << files << " median_s=" << s << Qt::endl;
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2)
        return fail(QStringLiteral("usage: transfer_bench transfer|memory WORK URL ..."));
    const QString mode = QString::fromLocal8Bit(argv[1]);
    if (argc < 4)
        return fail(QStringLiteral("usage: transfer_bench transfer|memory WORK URL ..."));
    const QString work = QFile::decodeName(argv[2]);
    Bench::prepareEnvironment(work);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quillfeed"));
    QApplication::setOrganizationName(QString());
    const QString url = QString::fromLocal8Bit(argv[3]);

    if (mode == QLatin1String("transfer") && argc >= 7)
        return transfer(work, url, atoi(argv[4]), atoll(argv[5]), atoi(argv[6]),
                        argc >= 8 ? QFile::decodeName(argv[7]) : QString());
    if (mode == QLatin1String("syncfloor") && argc >= 6)
        return syncFloor(url, atoi(argv[4]), atoll(argv[5]));
    if (mode == QLatin1String("memory") && argc >= 5)
        return memory(work, url, atoll(argv[4]));
    if (mode == QLatin1String("backlog") && argc >= 8)
        return backlog(work, url, atoi(argv[4]), atoi(argv[5]), atoll(argv[6]), atoi(argv[7]));
    return fail(QStringLiteral(
        "usage: transfer_bench transfer WORK URL FILES SIZE RUNS [BODIES] | memory WORK URL SIZE | "
        "backlog WORK URL FILES PAIR SIZE FOLDERS"));
}
