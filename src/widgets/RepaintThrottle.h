// SPDX-License-Identifier: GPL-3.0-or-later
// Keeps a widget that changes with every file of a pass from repainting for
// every file: the first change paints at once, later ones at most every 50 ms.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class RepaintThrottle : public QObject
{
    Q_OBJECT
public:
    explicit RepaintThrottle(QWidget* widget, int intervalMs = 50) : QObject(widget), m_widget(widget)
    {
        m_timer.setSingleShot(true);
        m_timer.setInterval(intervalMs);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (m_held && m_widget) {
                m_held = false;
                m_widget->setUpdatesEnabled(true);
            }
        });
    }

    /// Call after each change of what the widget shows.
    void changed()
    {
        if (!m_timer.isActive()) {
            m_timer.start();
            return;
        }
        if (!m_held && m_widget) {
            m_held = true;
            m_widget->setUpdatesEnabled(false);
        }
    }

private:
    QPointer<QWidget> m_widget;
    QTimer m_timer;
    bool m_held = false;
};
