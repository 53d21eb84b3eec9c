// SPDX-License-Identifier: GPL-3.0-or-later
// The request of the transfer control as data: the method, the address and the
// header lines exactly as they go out, checked before anything is sent. Knows
// no sockets and no HTTP library.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

namespace HttpRequest {

struct Header
{
    QByteArray name;
    QByteArray value;
    bool operator==(const Header&) const = default;
};

struct Request
{
    QByteArray verb;
    QUrl target;
    bool tunnelled = false;     ///< https: through a proxy it goes inside a CONNECT tunnel
    QList<Header> headers;      ///< to the page (and, for plain http, to the proxy on its way)
    QList<Header> proxyHeaders; ///< to the proxy alone, on the CONNECT of an https request
    /// Header names that the HTTP library would add by itself and must not.
    QList<QByteArray> suppressed;
};

/// The caller's header text: lines "Name: value", each ended by CR LF (a bare LF
/// is taken as well). Throws Failure for anything else.
QList<Header> parseHeaderText(const QString& headerText);

/// Checks the address, the method and the header text and builds the request.
/// viaProxy: it goes through a proxy. proxyAuthorization (the Proxy-Authorization
/// value, empty for none) and a Proxy-Authorization line of the caller's each go
/// only where ProxyRoute::credentialsGo puts the credentials. Throws Failure when
/// the request cannot be made.
Request build(const QString& url, const QString& operation, const QString& headerText, bool viaProxy,
              const QByteArray& proxyAuthorization, qint64 bodySize);

/// "Name: value" lines as an HTTP library takes them; a suppressed name as "Name:".
QList<QByteArray> wireLines(const QList<Header>& headers, const QList<QByteArray>& suppressed = {});

} // namespace HttpRequest
