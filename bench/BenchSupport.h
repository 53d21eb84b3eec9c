// SPDX-License-Identifier: GPL-3.0-or-later
// What the bench programs share: a private station (program folder, settings
// file, read-from folder, per-user folders) around the real main window, and the
// few measurements they take.
#pragma once

#include "Settings.h"
#include "StatusBox.h"
#include "frmMain.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace Bench {

inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/// Called before QApplication exists: the window runs offscreen and keeps its
/// per-user files inside the work folder, never in the user's own.
inline void prepareEnvironment(const QString& work)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work + QStringLiteral("/xdg-config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(work + QStringLiteral("/xdg-data")));
}

struct Station
{
    QString prog;
    QString scans;

    Station(const QString& work, const QString& url)
        : prog(work + QStringLiteral("/prog")), scans(work + QStringLiteral("/scans"))
    {
        QDir().mkpath(prog);
        QDir().mkpath(scans);
        Settings::setProgramFolder(prog);
        QFile f(prog + QStringLiteral("/settings.txt"));
        // QUILLFEED_BENCH_PROXY: "host:port user password", the proxy lines of the settings.
        QByteArray proxy;
        for (const QByteArray& field : qgetenv("QUILLFEED_BENCH_PROXY").split(' '))
            if (!field.isEmpty())
                proxy += field + "\r\n";
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write("Bench\r\n" + url.toLocal8Bit() + "\r\n" + scans.toLocal8Bit() + "\r\n" + proxy);
    }
};

/// A file written moments ago is held back as possibly unfinished; the bench
/// files are complete, so they are dated a minute back.
inline bool dateBack(const QString& path)
{
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= 60;
    times[1] = times[0];
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

inline qsizetype countFiles(const QString& dir)
{
    qsizetype n = 0;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++n;
    }
    return n;
}

/// Sets the peak resident memory (VmHWM) back to what is resident now, so that
/// the peak read later is that of what came after.
inline bool resetPeakMemory()
{
    FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (!f)
        return false;
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

/// A value of /proc/self/status in kB ("VmHWM", "VmRSS"), -1 when missing.
inline long procStatusKb(const char* key)
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long value = -1;
    const size_t keyLen = std::strlen(key);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, keyLen) == 0 && line[keyLen] == ':') {
            value = std::atol(line + keyLen + 1);
            break;
        }
    }
    std::fclose(f);
    return value;
}

/// Clicks Force Transfer and runs the event loop until the pass has ended.
/// Returns the wall time in seconds, or a negative value when the pass halted
/// (a refused or failed request) or did not end within timeoutS. onRound, when
/// given, is called with the seconds since the click at every round of the loop.
inline double timedPass(frmMain& w, double timeoutS, QString* why,
                        const std::function<void(double)>& onRound = {})
{
    // Wakes the loop now and then, so a pass that stalls is noticed.
    QTimer wake;
    wake.start(200);
    const QString banner = QStringLiteral("----Finished Processing Scans----");
    QElapsedTimer t;
    t.start();
    w.CmdStartTransfer[0]->click();
    for (;;) {
        if (onRound)
            onRound(double(t.nsecsElapsed()) / 1e9);
        if (!w.uploadInFlight()) {
            // The pass moves on inside the reply handler, so between two rounds of
            // the loop either a request is in flight or the pass is over.
            const double s = double(t.nsecsElapsed()) / 1e9;
            if (w.Text1->head(int(banner.size())) == banner)
                return s;
            if (why)
                *why = QStringLiteral("the pass halted: ") + w.Text1->head(400);
            return -1;
        }
        if (double(t.elapsed()) / 1000 > timeoutS) {
            if (why)
                *why = QStringLiteral("the pass did not end within %1 s").arg(timeoutS);
            return -1;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

} // namespace Bench
