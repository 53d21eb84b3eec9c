// SPDX-License-Identifier: GPL-3.0-or-later
#include "FiledDeletes.h"

#include "Failure.h"
#include "FileGate.h"
#include "PassTexts.h"

FiledDeletes::FiledDeletes(Hooks hooks, QObject* parent) : QObject(parent), m_hooks(std::move(hooks)) {}

void FiledDeletes::add(const QString& entry, const QString& path, const FileStamp& stamp, int unsyncedFd)
{
    m_waiting.push_back({entry, path, stamp, unsyncedFd < 0 ? 0 : m_sync.request(unsyncedFd)});
}

void FiledDeletes::pace(const std::function<bool()>& crowded)
{
    while (!m_waiting.empty() && (m_waiting.size() > MaxWaiting || crowded())) {
        m_sync.waitFor(m_waiting.front().ticket);
        deleteSynced();
    }
}

void FiledDeletes::settle()
{
    if (m_waiting.empty())
        return;
    m_sync.waitAll();
    deleteSynced();
}

void FiledDeletes::deleteSynced()
{
    const auto deleteUpTo = [this](quint64 upTo, int error) {
        // In the order filed; one whose row could not be written (ticket 0)
        // waits only for those before it.
        while (!m_waiting.empty() && m_waiting.front().ticket <= upTo) {
            const Waiting filed = std::move(m_waiting.front());
            m_waiting.pop_front();
            if (error && filed.ticket)
                m_hooks.status(
                    PassTexts::cannotRecord(m_hooks.recordPath, systemErrorText(error), filed.entry));
            remove(filed);
        }
    };
    for (const DiskSync::Done& done : m_sync.takeDone()) {
        m_syncedUpTo = done.upTo;
        deleteUpTo(done.upTo, done.error);
    }
    deleteUpTo(m_syncedUpTo, 0);
}

void FiledDeletes::remove(const Waiting& filed)
{
    QString why;
    const FileGate::Removal removal = FileGate::removeIfUnchanged(filed.path, filed.stamp, &why);
    switch (removal) {
    case FileGate::Removal::Removed:
        break;
    case FileGate::Removal::Changed:
        // The version that was filed is gone from the folder already; the one
        // saved over it since has not been sent and waits for a later pass.
        m_hooks.status(PassTexts::changedAfterSent(filed.entry));
        break;
    case FileGate::Removal::Gone:
    case FileGate::Removal::Refused:
        m_hooks.log(QStringLiteral("Error while processing incoming data: ") + why);
        // Filed: sending it again would file it twice, and stopping here would
        // hold back every file behind it. Gone may be the operator's delete, or
        // its folder moved away: should it stand there again as it was, it is
        // deleted then.
        m_hooks.keep(filed.stamp, filed.path, removal == FileGate::Removal::Refused ? why : QString());
        break;
    }
    m_hooks.done(filed.path);
}
