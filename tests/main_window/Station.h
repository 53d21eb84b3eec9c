// A test station: a program folder with its settings file, a read-from folder,
// an empty per-user store, and the real main window on the offscreen platform.
#pragma once

#include "Settings.h"
#include "TestSupport.h"
#include "frmMain.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

struct Station
{
    QTemporaryDir tmp;
    QString prog;
    QString scans;

    Station()
    {
        prog = tmp.path() + QStringLiteral("/prog");
        scans = tmp.path() + QStringLiteral("/scans");
        QDir().mkpath(prog);
        QDir().mkpath(scans);
        Settings::setProgramFolder(prog);
        for (QString* v : {&Settings::appTitle, &Settings::uploadToUrl, &Settings::readFromPath,
                           &Settings::proxyAddress, &Settings::proxyUserName, &Settings::proxyPassword})
            v->clear();
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quillStore"));
        store.clear();
        store.sync();
        QFile::remove(frmMain::outFilePath());
    }

    void writeSettings(const QString& url, const QString& folder = {}, const QString& title = QStringLiteral("Test"),
                       const QStringList& proxy = {})
    {
        QByteArray content = title.toLocal8Bit() + "\r\n" + url.toLocal8Bit() + "\r\n" +
                             (folder.isEmpty() ? scans : folder).toLocal8Bit() + "\r\n";
        for (const QString& p : proxy)
            content += p.toLocal8Bit() + "\r\n";
        TestSupport::writeFile(prog + QStringLiteral("/settings.txt"), content);
    }

    std::unique_ptr<frmMain> start()
    {
        auto w = std::make_unique<frmMain>();
        w->Form_Load();
        return w;
    }

    QString file(const QString& rel) const { return scans + rel; }

    /// Writes a file into the read-from folder and dates it back, so it counts as settled.
    bool put(const QString& rel, const QByteArray& content) const
    {
        if (!TestSupport::writeFile(file(rel), content))
            return false;
        QFile f(file(rel));
        if (!f.open(QIODevice::ReadWrite))
            return false;
        return f.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime);
    }
};

/// Waits until cond holds or the time is up (for events of real sockets and processes).
template <typename Cond>
bool waitUntil(Cond cond, int ms = 15000)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms)
            return false;
        QTest::qWait(10);
    }
    return true;
}
