// SPDX-License-Identifier: GPL-3.0-or-later
#include "PrivateData.h"

#include "Failure.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cerrno>

#include <sys/stat.h>

namespace PrivateData {

QString folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/quillfeed");
}

QString path(const QString& name)
{
    return folder() + u'/' + name;
}

Outcome ensureFolder(const QString& dir)
{
    if (!QDir().mkpath(dir))
        return Outcome::failed(dir, QStringLiteral("Cannot create the folder %1").arg(dir));
    if (::chmod(QFile::encodeName(dir).constData(), S_IRWXU) != 0) {
        const int error = errno;
        return Outcome::failed(
            dir, QStringLiteral("Cannot make the folder %1 private: %2").arg(dir, systemErrorText(error)),
            error);
    }
    return {};
}

} // namespace PrivateData
