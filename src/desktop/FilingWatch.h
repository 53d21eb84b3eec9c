// Decides when the desktop is told that documents stopped reaching the web
// page, and when they reach it again. An unattended station fails every 30
// seconds while the page is down; the desktop hears it once, once more after a
// long while, and once when filing resumes, never once a tick.
#pragma once

#include <QDateTime>
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

    /// The end of a pass: the documents it filed and the failure it ended on
    /// (empty when it ended without one). A pass that filed anything shows the
    /// page takes documents, even if it then ends on one it refused.
    std::optional<Notice> passEnded(int filed, const QString& failure, const QDateTime& now);

    bool down() const { return m_down; }

private:
    bool m_down = false;
    bool m_reminded = false;
    QDateTime m_downSince;
};
