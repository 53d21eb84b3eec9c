// SPDX-License-Identifier: GPL-3.0-or-later
// Answers the modal message boxes a test provokes: each box that opens is
// recorded (title and text) and closed with OK, from a timer, as an operator would.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

namespace TestSupport {

struct SeenBox
{
    QString title;
    QString text;
};

class ModalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit ModalWatcher(QObject* parent = nullptr);
    QList<SeenBox> boxes;
    /// Titles and texts as "title: text" lines, for failure messages.
    QString summary() const;
    void clear() { boxes.clear(); }

private:
    void poll();
    QTimer m_timer;
};

} // namespace TestSupport
