// SPDX-License-Identifier: GPL-3.0-or-later
#include "ProxyRoute.h"

#include "Base64.h"
#include "Failure.h"

#include <QRegularExpression>
#include <QStringList>

namespace ProxyRoute {
namespace {

Route fromUrl(const QUrl& url)
{
    const QString scheme = url.scheme();
    // Written out: HTTP libraries differ in the port they assume for a proxy.
    const int port = url.port(scheme == QLatin1String("https")  ? 443
                              : scheme == QLatin1String("http") ? 80
                                                                : 1080);
    QUrl exact(url);
    exact.setPath(QString());
    exact.setQuery(QString());
    exact.setFragment(QString());
    exact.setPort(port);
    return {exact.toEncoded(), url.host() + u':' + QString::number(port)};
}

// no_proxy: names separated by commas (or blanks), each matching the host itself
// or any name under it; "*" matches every host.
bool exempt(const QString& host, const QByteArray& noProxy)
{
    if (noProxy.isEmpty())
        return false;
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    const QString list = QString::fromLocal8Bit(noProxy);
    for (QString entry : list.split(separators, Qt::SkipEmptyParts)) {
        if (entry == QLatin1String("*"))
            return true;
        if (entry.startsWith(u'.'))
            entry.remove(0, 1);
        if (host.compare(entry, Qt::CaseInsensitive) == 0 || host.endsWith(u'.' + entry, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

} // namespace

QByteArray processEnvironment(const char* name)
{
    return qgetenv(name);
}

Route route(Access access, const QString& namedProxy, const QUrl& target, const Environment& environment)
{
    switch (access) {
    case Access::Direct:
        return {};
    case Access::NamedProxy: {
        // Used for every address, loopback ones too: the operator named it.
        const QString text = namedProxy.trimmed();
        if (text.isEmpty())
            throw Failure(QStringLiteral("The named proxy is to be used, but no proxy address is set."));
        const QUrl url(text.contains(QLatin1String("://")) ? text : QStringLiteral("http://") + text,
                       QUrl::StrictMode);
        const bool pathless = url.path().isEmpty() || url.path() == QLatin1String("/");
        if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty() || !pathless ||
            url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty()) {
            throw Failure(QStringLiteral("The proxy address \"%1\" cannot be used: it must be host:port "
                                         "or http://host:port.")
                              .arg(namedProxy));
        }
        return fromUrl(url);
    }
    case Access::SystemProxy: {
        // The system's configuration is the proxy environment variables, as
        // command-line tools and most desktops read them.
        QByteArray noProxy = environment("no_proxy");
        if (noProxy.isEmpty())
            noProxy = environment("NO_PROXY");
        if (exempt(target.host(), noProxy))
            return {};
        QByteArray setting;
        if (target.scheme() == QLatin1String("https")) {
            setting = environment("https_proxy");
            if (setting.isEmpty())
                setting = environment("HTTPS_PROXY");
        } else {
            // Not HTTP_PROXY: a web server's CGI programs find the client's
            // "Proxy:" header there.
            setting = environment("http_proxy");
        }
        if (setting.isEmpty())
            setting = environment("all_proxy");
        if (setting.isEmpty())
            setting = environment("ALL_PROXY");
        if (setting.isEmpty() && target.scheme() == QLatin1String("https"))
            setting = environment("http_proxy");
        setting = setting.trimmed();
        if (setting.isEmpty())
            return {};
        const QString text = QString::fromLocal8Bit(setting);
        const QUrl url(text.contains(QLatin1String("://")) ? text : QStringLiteral("http://") + text,
                       QUrl::TolerantMode);
        if (!url.isValid() || url.host().isEmpty())
            throw Failure(
                QStringLiteral("The proxy setting \"%1\" of the environment cannot be used.").arg(text));
        return fromUrl(url);
    }
    }
    throw Failure(QStringLiteral("The access type %1 is not supported.").arg(int(access)));
}

Credentials credentialsGo(bool viaProxy, bool https)
{
    if (!viaProxy)
        return Credentials::Nowhere;
    return https ? Credentials::OnConnect : Credentials::InRequest;
}

QByteArray authorization(const QString& user, const QString& password)
{
    return "Basic " + Base64::padded(Base64::base64_encode((user + u':' + password).toLocal8Bit()));
}

} // namespace ProxyRoute
