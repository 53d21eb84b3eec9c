// SPDX-License-Identifier: GPL-3.0-or-later
#include "FilingWatch.h"

#include <QLocale>

namespace {
QString timeOf(const QDateTime& at)
{
    return QLocale::system().toString(at.time(), QLocale::ShortFormat);
}
} // namespace

QString FilingWatch::newsOf(const PassReport& pass)
{
    // Refused before, and the page has filed others since: it is up, and the
    // desktop heard of this document then. A pass ending on it again is no
    // news, or an office with one document the page never takes would hear
    // "stopped" and "resumed" by turns all day. While each pass that ended on
    // it filed others, the desktop has heard nothing of it yet.
    const auto again = [this](const PassReport::Refusal& r) {
        const auto before = m_refused.constFind(r.entry);
        return before != m_refused.cend() && before->stamp == r.stamp && before->told &&
               before->filedBefore < m_filed + quint64(r.filedBefore);
    };
    if (pass.stoppedOnRefusal && !pass.refused.isEmpty())
        return again(pass.refused.back()) ? QString() : pass.stopped;
    if (!pass.stopped.isEmpty())
        return pass.stopped;
    for (auto r = pass.refused.crbegin(); r != pass.refused.crend(); ++r) {
        if (!again(*r))
            return r->answer;
    }
    return {}; // nothing to send, or nothing new refused, is no news
}

void FilingWatch::remember(const PassReport& pass)
{
    for (const PassReport::Refusal& r : pass.refused) {
        auto known = m_refused.find(r.entry);
        if (known == m_refused.end() || known->stamp != r.stamp)
            known = m_refused.insert(r.entry, {r.stamp, m_filed + quint64(r.filedBefore), false});
        // A pass that filed nothing has ended on it: the desktop hears of it now.
        if (pass.filed == 0)
            known->told = true;
    }
    m_filed += quint64(pass.filed);
}

std::optional<FilingWatch::Notice> FilingWatch::passEnded(const PassReport& pass, const QDateTime& now)
{
    const QString failure = pass.filed > 0 ? QString() : newsOf(pass);
    remember(pass);
    if (pass.filed > 0) {
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
        return std::nullopt;
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
