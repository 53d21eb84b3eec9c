// SPDX-License-Identifier: GPL-3.0-or-later
#include "HttpRequest.h"

#include "Failure.h"
#include "ProxyRoute.h"
#include "UploadLogging.h"

namespace HttpRequest {
namespace {

bool isTokenChar(char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (!isTokenChar(c))
            return false;
    }
    return true;
}

bool named(const Header& h, const char* name)
{
    return h.name.compare(name, Qt::CaseInsensitive) == 0;
}

QString describeUrl(const QString& url)
{
    return QStringLiteral("The upload address \"%1\"").arg(url);
}

} // namespace

QList<Header> parseHeaderText(const QString& headerText)
{
    QList<Header> lines;
    const QByteArray text = headerText.toUtf8();
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = colon > 0 ? line.left(colon) : QByteArray();
        if (!isToken(name)) {
            throw Failure(QStringLiteral("The request header line \"%1\" is not of the form Name: value.")
                              .arg(QString::fromUtf8(line)));
        }
        const QByteArray value = line.mid(colon + 1).trimmed();
        for (char c : value) {
            const auto u = static_cast<unsigned char>(c);
            if ((u < 0x20 && c != '\t') || u == 0x7f) {
                throw Failure(QStringLiteral("The request header line \"%1\" holds a control character.")
                                  .arg(QString::fromUtf8(name)));
            }
        }
        lines.append(Header{name, value});
    }
    return lines;
}

Request build(const QString& url, const QString& operation, const QString& headerText, bool viaProxy,
              const QByteArray& proxyAuthorization, qint64 bodySize)
{
    if (url.isEmpty())
        throw Failure(QStringLiteral("No upload address is set."));
    Request r;
    // Tolerant, as a browser's address bar: a blank or bracket in the path is sent
    // percent-encoded; a broken host or port still makes the address invalid.
    r.target = QUrl(url, QUrl::TolerantMode);
    if (!r.target.isValid())
        throw Failure(describeUrl(url) + QStringLiteral(" is not a valid address: ") +
                      r.target.errorString());
    const QString scheme = r.target.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        throw Failure(describeUrl(url) + QStringLiteral(" does not begin with http:// or https://."));
    if (r.target.host().isEmpty())
        throw Failure(describeUrl(url) + QStringLiteral(" names no host."));
    r.verb = operation.trimmed().toUpper().toLatin1();
    if (!isToken(r.verb))
        throw Failure(QStringLiteral("The request method \"%1\" is not valid.").arg(operation));
    r.tunnelled = scheme == QLatin1String("https");
    const ProxyRoute::Credentials credentials = ProxyRoute::credentialsGo(viaProxy, r.tunnelled);

    bool contentTypeGiven = false;
    bool userAgentGiven = false;
    for (const Header& h : parseHeaderText(headerText)) {
        if (named(h, "Content-Length"))
            continue; // the length is always that of the body actually sent
        if (credentials != ProxyRoute::Credentials::InRequest && named(h, "Proxy-Authorization")) {
            // It would hand the proxy password to the web server.
            qCWarning(lcUpload) << "Proxy-Authorization dropped: it would reach the web server";
            continue;
        }
        contentTypeGiven = contentTypeGiven || named(h, "Content-Type");
        userAgentGiven = userAgentGiven || named(h, "User-Agent");
        r.headers.append(h);
    }
    if (!contentTypeGiven && bodySize > 0)
        r.headers.append(Header{"Content-Type", "application/x-www-form-urlencoded"});
    // The page sees a browser's name and nothing else of the client's own,
    // whichever HTTP library carries the request.
    if (!userAgentGiven)
        r.headers.append(Header{"User-Agent", "Mozilla/5.0"});
    // A client that waits for "100 Continue" before the body costs a round trip or
    // a second of every large upload, and a page that never says it stalls.
    r.suppressed = {"Expect", "Accept", "Proxy-Connection"};
    if (credentials == ProxyRoute::Credentials::OnConnect && !proxyAuthorization.isEmpty())
        r.proxyHeaders.append(Header{"Proxy-Authorization", proxyAuthorization});
    return r;
}

QList<QByteArray> wireLines(const QList<Header>& headers, const QList<QByteArray>& suppressed)
{
    QList<QByteArray> lines;
    for (const Header& h : headers) {
        // "Name:" alone would tell the library to leave the header out.
        lines.append(h.value.isEmpty() ? h.name + ';' : h.name + ": " + h.value);
    }
    for (const QByteArray& name : suppressed) {
        bool given = false;
        for (const Header& h : headers)
            given = given || h.name.compare(name, Qt::CaseInsensitive) == 0;
        if (!given)
            lines.append(name + ':');
    }
    return lines;
}

} // namespace HttpRequest
