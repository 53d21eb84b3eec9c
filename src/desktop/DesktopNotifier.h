// SPDX-License-Identifier: GPL-3.0-or-later
// A word to the desktop through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus). The call is made without
// waiting; without a session bus or a notification service nothing happens but
// a line for the diagnostic window.
#pragma once

#include <QObject>
#include <QString>

class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    explicit DesktopNotifier(QObject* parent = nullptr);

    /// Shows a notification in place of the one shown before, so that the
    /// desktop holds one word of Quillfeed's at a time. Trouble stays until the
    /// operator dismisses it where the desktop allows that.
    void notify(const QString& summary, const QString& body, bool trouble);

    /// The service's number for the notification shown last; 0 before its answer.
    uint lastId() const { return m_lastId; }

signals:
    /// The notification could not be shown, and why.
    void notShown(const QString& why);

private:
    uint m_lastId = 0;
};
