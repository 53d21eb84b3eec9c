// SPDX-License-Identifier: GPL-3.0-or-later
// Which proxy, if any, a request goes through: a pure function of the access
// type, the named proxy and (for the system's configuration) the proxy
// environment variables, so that no HTTP library consults them on its own.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>

namespace ProxyRoute {

enum class Access { SystemProxy = 0, Direct = 1, NamedProxy = 2 };

struct Route
{
    QByteArray proxy; ///< the proxy's address for the HTTP library ("http://host:port"), empty: none
    QString shown;    ///< "host:port" of the proxy, for the status box
    bool operator==(const Route&) const = default;
};

/// Reads an environment variable; empty when unset.
using Environment = std::function<QByteArray(const char* name)>;
QByteArray processEnvironment(const char* name);

/// Throws Failure when the named proxy or the access type cannot be used.
Route route(Access access, const QString& namedProxy, const QUrl& target,
            const Environment& environment = processEnvironment);

/// Where the proxy's user name and password travel. A line of an https request
/// would travel inside the tunnel to the web server, so through a proxy they go
/// on its CONNECT; a plain http request carries them in its own
/// Proxy-Authorization line, which the proxy reads. Without a proxy they go
/// nowhere: any line would reach the web server.
enum class Credentials { Nowhere, OnConnect, InRequest };
Credentials credentialsGo(bool viaProxy, bool https);

/// The Proxy-Authorization value: "Basic " and the padded Base64 of
/// "user:password", as proxies that compare the text (tinyproxy among them)
/// accept nothing else.
QByteArray authorization(const QString& user, const QString& password);

} // namespace ProxyRoute
