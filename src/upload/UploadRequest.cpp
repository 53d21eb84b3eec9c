// SPDX-License-Identifier: GPL-3.0-or-later
#include "UploadRequest.h"

#include "ProxyRoute.h"

#include <string.h>

namespace UploadRequest {

TypeRule ruleForExtension(const QString& ext)
{
    struct Row
    {
        const char* extension;
        Action action;
        const char* contentType;
    };
    static const Row table[] = {
        {"pdf", Action::Send, "application/pdf"},    {"doc", Action::Send, "application/msword"},
        {"xtif", Action::Send, "application/tif"},   {"tif", Action::Convert, "application/pdf"},
        {"txt", Action::Send, "text/plain"},         {"htm", Action::Send, "text/html"},
        {"ram", Action::Send, "application/xtype"},  {"gif", Action::Send, "application/xtype"},
        {"jpeg", Action::Send, "application/xtype"}, {"png", Action::Send, "application/xtype"},
        {"bmp", Action::Send, "application/xtype"},
    };
    for (const Row& row : table) {
        if (ext == QLatin1String(row.extension))
            return {row.action, QByteArray(row.contentType)};
    }
    return {};
}

NameParts splitEntry(const QString& entry)
{
    NameParts parts;
    parts.fileName = entry.section(u'/', -1);
    parts.dotPieces = parts.fileName.split(u'.');
    if (parts.dotPieces.size() >= 2)
        parts.extension = parts.dotPieces[1].toLower();
    return parts;
}

QString wireFileName(const QString& entry)
{
    QString name = entry;
    name.replace(u'/', u'\\');
    // A quote or a line break would end the header parameter early; browsers
    // write them percent-encoded, and so does this.
    name.replace(u'"', QStringLiteral("%22"));
    name.replace(u'\r', QStringLiteral("%0D"));
    name.replace(u'\n', QStringLiteral("%0A"));
    return name;
}

QByteArray boundaryFor(QByteArrayView content)
{
    // glibc's memmem, several times faster than QByteArrayView::contains on
    // large scans: the search covers every byte of every document sent.
    const auto holds = [content](const QByteArray& b) {
        // An empty document's view may point nowhere, which memmem must not be given.
        return !content.isEmpty() &&
               ::memmem(content.data(), size_t(content.size()), b.constData(), size_t(b.size())) != nullptr;
    };
    QByteArray boundary = Boundary;
    for (quint32 n = 1; holds(boundary); ++n)
        boundary = numberedBoundary(n);
    return boundary;
}

QByteArray numberedBoundary(quint32 n)
{
    return n == 0 ? QByteArray(Boundary) : Boundary + QByteArray::number(n, 16).rightJustified(8, '0');
}

QByteArray bodyPrefix(const QString& entry, const QByteArray& contentType, const QByteArray& boundary)
{
    QByteArray prefix;
    prefix += "--";
    prefix += boundary;
    prefix += "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"";
    prefix += wireFileName(entry).toLocal8Bit();
    prefix += "\"\r\nContent-Type: ";
    prefix += contentType;
    prefix += "\r\n\r\n";
    return prefix;
}

QByteArray bodySuffix(const QByteArray& boundary)
{
    return QByteArray("\r\n--") + boundary + "--\r\n";
}

QByteArray buildBody(const QString& entry, const QByteArray& contentType, const QByteArray& content)
{
    const QByteArray boundary = boundaryFor(content);
    return bodyPrefix(entry, contentType, boundary) + content + bodySuffix(boundary);
}

QString headerText(bool viaProxy, bool https, const QString& user, const QString& password,
                   const QByteArray& boundary)
{
    QString text;
    if (ProxyRoute::credentialsGo(viaProxy, https) == ProxyRoute::Credentials::InRequest) {
        text += QStringLiteral("Proxy-Authorization: ") +
                QString::fromLatin1(ProxyRoute::authorization(user, password)) + QStringLiteral("\r\n");
    }
    text += QStringLiteral("Content-Type: multipart/form-data; boundary=") + QString::fromLatin1(boundary) +
            QStringLiteral("\r\n");
    return text;
}

} // namespace UploadRequest
