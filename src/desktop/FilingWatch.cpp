#include "FilingWatch.h"

#include <QLocale>

namespace {
QString timeOf(const QDateTime& at)
{
    return QLocale::system().toString(at.time(), QLocale::ShortFormat);
}
} // namespace

std::optional<FilingWatch::Notice> FilingWatch::passEnded(int filed, const QString& failure,
                                                          const QDateTime& now)
{
    if (filed > 0) {
        if (!m_down)
            return std::nullopt;
        m_down = false;
        const qint64 minutes = m_downSince.secsTo(now) / 60;
        return Notice{
            QStringLiteral("Quillfeed: documents reach the web page again"),
            QStringLiteral("Filing resumed at %1, after %2 minutes without.").arg(timeOf(now)).arg(minutes),
            false};
    }
    if (failure.isEmpty())
        return std::nullopt; // nothing to send is no news
    // A station that has not filed since it started is as stuck as one that
    // filed and then stopped: both are told.
    if (!m_down) {
        m_down = true;
        m_reminded = false;
        m_downSince = now;
        return Notice{
            QStringLiteral("Quillfeed: documents are not reaching the web page"),
            QStringLiteral("Since %1: %2\nThe documents stay in the folder; Quillfeed tries again every 30 "
                           "seconds.")
                .arg(timeOf(now), failure),
            true};
    }
    if (!m_reminded && m_downSince.secsTo(now) >= ReminderAfterSecs) {
        m_reminded = true;
        return Notice{QStringLiteral("Quillfeed: documents are still not reaching the web page"),
                      QStringLiteral("Since %1; the last attempt: %2\nThe documents stay in the folder.")
                          .arg(timeOf(m_downSince), failure),
                      true};
    }
    return std::nullopt;
}
