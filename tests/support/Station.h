// SPDX-License-Identifier: GPL-3.0-or-later
// A test station: a program folder with its settings file, a read-from folder,
// an inbox for the receiving page, an empty per-user store, and the real main
// window on the offscreen platform. Header-only: the tests that use it link the
// program's libraries.
#pragma once

#include "SendRecord.h"
#include "Settings.h"
#include "TestSupport.h"
#include "frmMain.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

struct Station
{
    QTemporaryDir tmp;
    QString prog;
    QString scans;
    QString inbox;

    Station()
    {
        prog = tmp.path() + QStringLiteral("/prog");
        scans = tmp.path() + QStringLiteral("/scans");
        inbox = tmp.path() + QStringLiteral("/inbox");
        QDir().mkpath(prog);
        QDir().mkpath(scans);
        // Send records are named by the folder's inode, which may be that of an
        // earlier station's folder, deleted while a request of its was out.
        SendRecord leftover;
        if (leftover.setFolder(scans).ok())
            leftover.takeInterrupted();
        Settings::setProgramFolder(prog);
        for (QString* v : {&Settings::appTitle, &Settings::uploadToUrl, &Settings::readFromPath,
                           &Settings::proxyAddress, &Settings::proxyUserName, &Settings::proxyPassword})
            v->clear();
        QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quillStore"));
        store.clear();
        store.sync();
        QFile::remove(frmMain::outFilePath());
        QFile::remove(Settings::userSettingsFilePath());
    }

    /// settings.txt: title, url, the read-from folder (scans unless given), then the proxy lines.
    void writeSettings(const QString& url, const QStringList& proxy = {}, const QString& folder = {},
                       const QString& title = QStringLiteral("Test")) const
    {
        QByteArray content = title.toLocal8Bit() + "\r\n" + url.toLocal8Bit() + "\r\n" +
                             (folder.isEmpty() ? scans : folder).toLocal8Bit() + "\r\n";
        for (const QString& p : proxy)
            content += p.toLocal8Bit() + "\r\n";
        TestSupport::writeFile(prog + QStringLiteral("/settings.txt"), content);
    }

    std::unique_ptr<frmMain> start() const
    {
        auto w = std::make_unique<frmMain>();
        w->Form_Load();
        return w;
    }

    QString file(const QString& rel) const { return scans + rel; }

    /// Writes a file into the read-from folder, dated a minute back so it counts as settled.
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

/// Waits until cond holds or ms pass, in a real event loop: sockets are served the
/// moment they are ready (QTest::qWait sleeps between rounds of events, which would
/// throttle a large upload to a few MB/s).
template <typename Cond> bool waitUntil(Cond cond, int ms = 30000)
{
    if (cond())
        return true;
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer t;
    t.start();
    bool met = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (cond()) {
            met = true;
            loop.quit();
        } else if (t.elapsed() > ms) {
            loop.quit();
        }
    });
    poll.start(10);
    loop.exec();
    return met;
}
