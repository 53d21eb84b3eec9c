// What the station is doing right now, below the buttons of the mode panels:
// the document going out (its name, how much of it the connection has taken,
// the files left in the pass) or the pages a scan run has made so far. Hidden
// while nothing runs, so the designed panels look as they always did.
#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;

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
    QLabel* m_text = nullptr;
    QProgressBar* m_bar = nullptr;
};
