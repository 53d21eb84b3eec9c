// SPDX-License-Identifier: GPL-3.0-or-later
#include "ProgressPane.h"

#include "Design.h"

#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

namespace {
// The bar counts in permille: a file of several GiB does not fit an int of bytes.
constexpr int Steps = 1000;
constexpr qint64 RefreshMs = 100;
} // namespace

ProgressPane::ProgressPane(QWidget* parent) : QWidget(parent)
{
    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("progressText"));
    m_text->setFont(designFont());
    m_text->setWordWrap(true);
    m_text->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    m_text->setGeometry(twipsRect(0, 0, 1710, 630));
    m_bar = new QProgressBar(this);
    m_bar->setObjectName(QStringLiteral("progressBar"));
    m_bar->setFont(designFont());
    m_bar->setGeometry(twipsRect(0, 675, 1710, 255));
    m_bar->setRange(0, Steps);
    m_bar->setTextVisible(true);
    m_bar->setAccessibleName(QStringLiteral("Progress"));
    m_later = new QTimer(this);
    m_later->setSingleShot(true);
    connect(m_later, &QTimer::timeout, this, &ProgressPane::showPending);
    m_waitTick = new QTimer(this);
    m_waitTick->setInterval(1000);
    connect(m_waitTick, &QTimer::timeout, this, &ProgressPane::showWaiting);
    hide();
}

void ProgressPane::showSending(const QString& entry, qint64 sent, qint64 total, int filesLeft)
{
    m_pending = {entry, sent, total, filesLeft};
    if (m_shown.isValid() && m_shown.elapsed() < RefreshMs) {
        if (!m_later->isActive())
            m_later->start(int(RefreshMs - m_shown.elapsed()));
        return;
    }
    showPending();
}

void ProgressPane::setText(const QString& shown, const QString& whole)
{
    if (m_text->text() == shown && m_text->toolTip() == whole)
        return;
    m_text->setText(shown);
    m_text->setToolTip(whole);
    m_text->setAccessibleName(whole);
    m_bar->setAccessibleDescription(whole);
}

void ProgressPane::showPending()
{
    m_shown.start();
    const auto& [entry, sent, total, filesLeft] = m_pending;
    const QString left =
        filesLeft == 1 ? QStringLiteral("1 file left") : QStringLiteral("%1 files left").arg(filesLeft);
    if (total > 0 && sent >= total) {
        // Nothing shows progress any more: the page holds the answer.
        if (!m_waiting.isValid()) {
            m_waiting.start();
            m_waitTick->start();
        }
        showWaiting();
    } else {
        m_waiting.invalidate();
        m_waitTick->stop();
        // A long name loses its middle, never its end: the end tells the
        // documents of one batch apart.
        const QString name = QFontMetrics(m_text->font()).elidedText(entry, Qt::ElideMiddle, m_text->width());
        setText(QStringLiteral("Sending\n%1\n%2").arg(name, left),
                QStringLiteral("Sending %1; %2").arg(entry, left));
    }
    if (m_bar->maximum() != Steps)
        m_bar->setRange(0, Steps);
    const int value = total > 0 ? int(qBound<qint64>(0, sent, total) * Steps / total) : 0;
    if (m_bar->value() != value) // a repaint per callback would cost more than the send
        m_bar->setValue(value);
    show();
}

void ProgressPane::showWaiting()
{
    const QString waited =
        QStringLiteral("Waiting for the web page's answer: %1 s").arg(m_waiting.elapsed() / 1000);
    // Sending it again could file it twice, so Force Transfer does not.
    setText(waited + QStringLiteral("\nForce Transfer waits."),
            waited + QStringLiteral(" to %1, which it has whole. Force Transfer waits for it too: sending it "
                                    "again could file it twice.")
                         .arg(m_pending.entry));
}

void ProgressPane::showScanning(int pages)
{
    const QString text = pages == 1 ? QStringLiteral("Scanning: 1 page so far")
                                    : QStringLiteral("Scanning: %1 pages so far").arg(pages);
    setText(text, text);
    // How many pages the feeder holds is not known: the bar says only that it runs.
    m_bar->setRange(0, 0);
    show();
}

void ProgressPane::finish()
{
    m_later->stop();
    m_waitTick->stop();
    m_waiting.invalidate();
    m_shown.invalidate();
    hide();
    m_bar->setRange(0, Steps);
    m_bar->reset();
    setText(QString(), QString());
}
