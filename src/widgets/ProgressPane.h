// SPDX-License-Identifier: GPL-3.0-or-later
// What the station is doing right now, below the buttons of the mode panels:
// the document going out (its name, how much of it the connection has taken,
// the files left in the pass) or the pages a scan run has made so far. Hidden
// while nothing runs, so the designed panels look as they always did.
#pragma once

#include <QElapsedTimer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QTimer;

class ProgressPane : public QWidget
{
    Q_OBJECT
public:
    explicit ProgressPane(QWidget* parent = nullptr);

    /// A document going out: sent of total bytes handed to the connection.
    void showSending(const QString& entry, qint64 sent, qint64 total, int filesLeft);
    /// A scan run: how many pages it has written so far (the feeder's count is unknown).
    void showScanning(int pages);
    /// The pass or the run has ended.
    void finish();

    QLabel* text() const { return m_text; }
    QProgressBar* bar() const { return m_bar; }

private:
    void showPending();
    /// The whole document is out and the page has not answered yet: how long
    /// it has been, counted every second.
    void showWaiting();
    void setText(const QString& shown, const QString& whole);

    QLabel* m_text = nullptr;
    QProgressBar* m_bar = nullptr;
    // Laying out and painting the pane for every file of a fast pass cost twice
    // what sending a small file does: it shows the newest state at most every 100 ms.
    QTimer* m_later = nullptr;
    QElapsedTimer m_shown;
    QTimer* m_waitTick = nullptr;
    QElapsedTimer m_waiting;
    struct
    {
        QString entry;
        qint64 sent = 0;
        qint64 total = 0;
        int filesLeft = 0;
    } m_pending;
};
