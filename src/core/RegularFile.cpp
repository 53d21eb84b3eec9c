// SPDX-License-Identifier: GPL-3.0-or-later
#include "RegularFile.h"

#include "PrivateFile.h"

#include <QFile>

#include <fcntl.h>

namespace RegularFile {

namespace {

PrivateFile::Links links(bool follow)
{
    return follow ? PrivateFile::Links::Followed : PrivateFile::Links::Refused;
}

} // namespace

bool open(QFile& file, const QString& path, bool followLinks)
{
    file.setFileName(path);
    PrivateFile::Opened opened =
        PrivateFile::open(QFile::encodeName(path).constData(), O_RDONLY, links(followLinks));
    if (!opened.outcome.ok() ||
        !file.open(opened.fd.get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return false;
    opened.fd.release();
    return true;
}

std::optional<QByteArray> read(const QString& path, qint64 maxBytes, bool followLinks)
{
    const std::optional<std::string> text = PrivateFile::read(
        QFile::encodeName(path).constData(), std::size_t(qMax<qint64>(0, maxBytes)), links(followLinks));
    if (!text)
        return std::nullopt;
    return QByteArray(text->data(), qsizetype(text->size()));
}

} // namespace RegularFile
