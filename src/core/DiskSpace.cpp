// SPDX-License-Identifier: GPL-3.0-or-later
#include "DiskSpace.h"

#include <QFile>
#include <QLocale>

#include <cerrno>
#include <cstring>
#include <sys/statvfs.h>

namespace DiskSpace {

std::optional<qint64> freeAt(const QString& path)
{
    struct statvfs s;
    if (::statvfs(QFile::encodeName(path).constData(), &s) != 0)
        return std::nullopt;
    return qint64(s.f_bavail) * qint64(s.f_frsize);
}

bool says(const QString& technical, int error)
{
    return technical.contains(QString::fromLocal8Bit(std::strerror(error)), Qt::CaseInsensitive);
}

bool ranOut(const QString& technical, std::optional<qint64> freeBytes, qint64 needBytes)
{
    if (says(technical, ENOSPC) || says(technical, EDQUOT))
        return true;
    return freeBytes && needBytes > 0 && *freeBytes < needBytes;
}

QString shown(qint64 bytes)
{
    return QLocale::c().formattedDataSize(qMax<qint64>(0, bytes), 1, QLocale::DataSizeTraditionalFormat);
}

QString fullSentence(const QString& folder, std::optional<qint64> freeBytes, const QString& what,
                     qint64 needBytes)
{
    QString sentence = QStringLiteral("The disk holding %1 is full").arg(folder);
    if (freeBytes)
        sentence += QStringLiteral(": %1 free").arg(shown(*freeBytes));
    if (needBytes > 0)
        sentence +=
            QStringLiteral("%1 %2 needs about %3")
                .arg(freeBytes ? QStringLiteral(", and") : QStringLiteral(":"), what, shown(needBytes));
    return sentence + u'.';
}

} // namespace DiskSpace
