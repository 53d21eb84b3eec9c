// SPDX-License-Identifier: GPL-3.0-or-later
// The decisions and bytes of one upload, without any window: which files are
// sent and as what, the multipart body, the extra header lines, the converter's
// command line.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace UploadRequest {

inline constexpr char Boundary[] = "---------------------------7d023a2ea28";

/// The boundary for a document: the usual one, unless the document holds it,
/// where a parser would end the part early and file the document cut short;
/// then the usual one with a suffix the document does not hold.
QByteArray boundaryFor(QByteArrayView content);
/// The boundaries in the order boundaryFor tries them: 0 is the usual one.
QByteArray numberedBoundary(quint32 n);

enum class Action { Send, Convert, Skip };

struct TypeRule
{
    Action action = Action::Skip;
    QByteArray contentType;
};

/// The rule for a lower-cased extension; anything not in the table is skipped.
TypeRule ruleForExtension(const QString& extension);

struct NameParts
{
    QString fileName;                 ///< the last "/" piece of the entry
    QStringList dotPieces;            ///< the file name split at "."
    std::optional<QString> extension; ///< the second dot piece, lower-cased; none without a dot
};
NameParts splitEntry(const QString& entry);

/// The file name the receiving page expects: the entry with "\" separators
/// (quotes and line breaks percent-encoded, as a browser sends them).
QString wireFileName(const QString& entry);

/// Everything of the body that comes before the file content.
QByteArray bodyPrefix(const QString& entry, const QByteArray& contentType,
                      const QByteArray& boundary = Boundary);
/// Everything of the body that comes after the file content.
QByteArray bodySuffix(const QByteArray& boundary = Boundary);
/// The whole body, for callers that already hold the content (the station
/// itself streams it from the file).
QByteArray buildBody(const QString& entry, const QByteArray& contentType, const QByteArray& content);

/// The extra header lines: the Proxy-Authorization line first where
/// ProxyRoute::credentialsGo puts the credentials in the request, then the
/// Content-Type line.
QString headerText(bool viaProxy, bool https, const QString& user, const QString& password,
                   const QByteArray& boundary = Boundary);

} // namespace UploadRequest
