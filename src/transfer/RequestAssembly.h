// SPDX-License-Identifier: GPL-3.0-or-later
// The request a document goes out in, assembled from a pass's settings: where
// it goes, its method, its extra header lines around the document's boundary,
// and the proxy's credentials. The credentials are handed to the transfer
// control once, when the pass begins: over an https tunnel the control sends
// them on the CONNECT, and over plain http they go in the request's own lines.
#pragma once

#include <QByteArray>
#include <QString>

class InetControl;

class RequestAssembly
{
public:
    RequestAssembly() = default;
    RequestAssembly(QString url, const QString& proxyAddress, QString proxyUser, QString proxyPassword);

    /// Gives the control the credentials for the proxy's tunnel.
    void giveCredentials(InetControl& inet) const;
    const QString& url() const { return m_url; }
    static QString verb() { return QStringLiteral("POST"); }
    /// The extra header lines of a body around boundary.
    QString headers(const QByteArray& boundary) const;

private:
    QString m_url;
    bool m_viaProxy = false;
    bool m_https = false;
    QString m_proxyUser;
    QString m_proxyPassword;
};
