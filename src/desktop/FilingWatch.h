// SPDX-License-Identifier: GPL-3.0-or-later
// Decides when the desktop is told that documents stopped reaching the web
// page, and when they reach it again. An unattended station fails every 30
// seconds while the page is down; the desktop hears it once, once more after a
// long while, and once when filing resumes, never once a tick.
#pragma once

#include "FileStamp.h"
#include "PassReport.h"

#include <QDateTime>
#include <QHash>
#include <QString>

#include <optional>

class FilingWatch
{
public:
    struct Notice
    {
        QString summary;
        QString body;
        bool trouble = false; ///< filing stopped (as opposed to resumed)
    };

    /// How long filing stays down before the desktop is reminded, once.
    static constexpr qint64 ReminderAfterSecs = 2 * 60 * 60;

    /// The end of a pass. A pass that filed anything shows the page takes
    /// documents, even if it then ends on one it refused.
    std::optional<Notice> passEnded(const PassReport& pass, const QDateTime& now);

    bool down() const { return m_down; }

private:
    /// Why the pass filed nothing, when that is news; empty when it is not.
    QString newsOf(const PassReport& pass);
    /// Remembers the pass's refusals, once newsOf has judged them.
    void remember(const PassReport& pass);

    bool m_down = false;
    bool m_reminded = false;
    QDateTime m_downSince;
    /// A document refused as it still is: what the desktop heard of it.
    struct Refused
    {
        FileStamp stamp;
        quint64 filedBefore = 0; ///< documents filed in this run before its first refusal
        bool told = false;       ///< a pass that filed nothing has ended on it
    };
    QHash<QString, Refused> m_refused;
    quint64 m_filed = 0;
};
