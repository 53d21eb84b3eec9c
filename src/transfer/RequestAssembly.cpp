// SPDX-License-Identifier: GPL-3.0-or-later
#include "RequestAssembly.h"

#include "InetControl.h"
#include "UploadRequest.h"

RequestAssembly::RequestAssembly(QString url, const QString& proxyAddress, QString proxyUser,
                                 QString proxyPassword)
    : m_url(std::move(url)), m_viaProxy(!proxyAddress.isEmpty()),
      m_https(m_url.startsWith(QLatin1String("https:"), Qt::CaseInsensitive)),
      m_proxyUser(std::move(proxyUser)), m_proxyPassword(std::move(proxyPassword))
{
}

void RequestAssembly::giveCredentials(InetControl& inet) const
{
    inet.setProxyCredentials(m_proxyUser, m_proxyPassword);
}

QString RequestAssembly::headers(const QByteArray& boundary) const
{
    return UploadRequest::headerText(m_viaProxy, m_https, m_proxyUser, m_proxyPassword, boundary);
}
