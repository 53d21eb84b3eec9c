// SPDX-License-Identifier: GPL-3.0-or-later
#include "DesktopBus.h"

namespace {
const QString kStandIn = QStringLiteral("stand-in");
const QString kService = QStringLiteral("org.freedesktop.Notifications");
} // namespace

uint StandInNotifications::Notify(const QString&, uint replacesId, const QString&, const QString& summary,
                                  const QString& body, const QStringList&, const QVariantMap& hints, int)
{
    shown.push_back({replacesId, summary, body, hints.value(QStringLiteral("urgency")).toInt()});
    return replacesId ? replacesId : 40 + uint(shown.size());
}

PrivateSessionBus::~PrivateSessionBus()
{
    withdrawNotifications();
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.kill();
        m_daemon.waitForFinished();
    }
}

QString PrivateSessionBus::start()
{
    m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                   QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted())
        return QStringLiteral("dbus-daemon cannot be started: ") + m_daemon.errorString();
    for (int waited = 0; !m_daemon.canReadLine() && waited < 100; ++waited)
        m_daemon.waitForReadyRead(100);
    m_address = QString::fromLocal8Bit(m_daemon.readLine()).trimmed();
    if (m_address.isEmpty())
        return QStringLiteral("dbus-daemon printed no address");
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toLocal8Bit());
    return {};
}

bool PrivateSessionBus::offerNotifications(StandInNotifications& service)
{
    QDBusConnection bus = QDBusConnection::connectToBus(m_address, kStandIn);
    return bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                              QDBusConnection::ExportAllSlots) &&
           bus.registerService(kService);
}

void PrivateSessionBus::withdrawNotifications()
{
    QDBusConnection bus(kStandIn);
    if (!bus.isConnected())
        return;
    bus.unregisterService(kService);
    bus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    QDBusConnection::disconnectFromBus(kStandIn);
}
