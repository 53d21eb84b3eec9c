// SPDX-License-Identifier: GPL-3.0-or-later
#include "DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
constexpr int CallTimeoutMs = 10'000;
} // namespace

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent) {}

void DesktopNotifier::notify(const QString& summary, const QString& body, bool trouble)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        emit notShown(QStringLiteral("no session bus"));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    QVariantMap hints;
    // Critical notifications stay on screen until dismissed: nobody may be
    // looking when filing stops.
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(trouble ? 2 : 1)));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("quillfeed"));
    call << QStringLiteral("Quillfeed") << QVariant::fromValue(m_lastId) << QStringLiteral("quillfeed")
         << summary << body << QStringList() << hints << qint32(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError())
            emit notShown(reply.error().message());
        else
            m_lastId = reply.value();
    });
}
