// SPDX-License-Identifier: GPL-3.0-or-later
// A session bus of the test's own, with a stand-in for the desktop's
// notification service: no test ever reaches a real desktop, and what the
// desktop was told can be read back.
#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QVariantMap>

// What a desktop's notification daemon offers, as far as Quillfeed uses it.
class StandInNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Shown
    {
        uint replaces;
        QString summary;
        QString body;
        int urgency;
    };
    QList<Shown> shown;

public slots:
    uint Notify(const QString&, uint replacesId, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap& hints, int);
};

class PrivateSessionBus
{
public:
    ~PrivateSessionBus();
    /// Starts dbus-daemon and points DBUS_SESSION_BUS_ADDRESS at it, before the
    /// process first uses the session bus; an empty string, or why not.
    QString start();
    QString address() const { return m_address; }
    /// Puts the stand-in service on the bus, on a connection of its own.
    bool offerNotifications(StandInNotifications& service);
    void withdrawNotifications();

private:
    QProcess m_daemon;
    QString m_address;
};
