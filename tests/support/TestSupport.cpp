// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QWidget>

namespace TestSupport {

QString binDir()
{
    return QString::fromLocal8Bit(qgetenv("QUILLFEED_BIN_DIR"));
}

QString sourceDir()
{
    return QString::fromLocal8Bit(qgetenv("QUILLFEED_SOURCE_DIR"));
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(content) == content.size();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

int closeAndRunUntilQuit(QWidget& mainWindow)
{
    QTimer::singleShot(0, &mainWindow, &QWidget::close);
    QTimer safety;
    safety.setSingleShot(true);
    QObject::connect(&safety, &QTimer::timeout, qApp, [] { QCoreApplication::exit(7); });
    safety.start(5000);
    return QApplication::exec();
}

} // namespace TestSupport
