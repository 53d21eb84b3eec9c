// SPDX-License-Identifier: GPL-3.0-or-later
#include "FolderSession.h"

#include "PassTexts.h"

#include <QSet>

namespace {

bool wasFiled(UndeletableFiles::Kind kind)
{
    return kind == UndeletableFiles::Kind::Filed;
}

} // namespace

FolderSession::FolderSession(SendRecord& journal, FiledLog& filedLog, Hooks hooks)
    : m_sendRecord(journal), m_filedLog(filedLog), m_hooks(std::move(hooks))
{
}

bool FolderSession::recovered(const QString& folder) const
{
    return m_recoveredFolder == folder && m_recoveredId == m_lock.id();
}

bool FolderSession::open(const QString& folder, bool idle)
{
    m_folder = folder;
    m_recoveryNotes.clear();
    // Another Quillfeed may serve this folder: its files are then listed for the
    // operator to see, and nothing of it is ours to send, change or recover.
    m_ours = m_lock.acquire(folder);
    // Another folder under the same name (the first one moved away, one made in
    // its place) has a stop of its own to look at, once nothing is in flight.
    if (m_ours && (m_recoveredFolder != folder || (!recovered(folder) && idle))) {
        m_recoveredFolder = folder;
        m_recoveredId = m_lock.id();
        Recovery::finishStop(folder, m_sendRecord, m_filedLog, recoveryHooks());
    }
    return m_ours;
}

void FolderSession::list(bool idle,
                         const std::function<void(const std::vector<ListedFile>&, bool complete)>& publish)
{
    m_listed.clear();
    std::vector<ListedFile> found;
    auto keep = [&](bool complete) {
        publish(found, complete);
        m_listed.reserve(qsizetype(found.size()));
        for (ListedFile& f : found)
            m_listed.insert(f.entry, std::move(f));
        // A page that is no longer listed went out or went away; a new file
        // under its name is somebody's, not the scanner's.
        m_trustedPages.removeIf([this](const auto& page) { return !m_listed.contains(page.key()); });
    };
    try {
        listFolderTree(m_folder, found, m_ours);
    } catch (...) {
        keep(false);
        throw;
    }
    if (m_ours && idle)
        Recovery::finishConvertedPairs(m_folder, found, recoveryHooks());
    keep(true);
    if (m_ours)
        m_undeletable.storeWhatWaits();
    // Only a complete listing can tell that a remembered file is gone.
    if (m_ours && !m_undeletable.isEmpty()) {
        QSet<FileStamp> present;
        for (const ListedFile& f : std::as_const(m_listed))
            present.insert(f.stamp);
        m_undeletable.keepOnly(m_folder, present);
    }
}

Recovery::Hooks FolderSession::recoveryHooks()
{
    return {[this](const QString& note) {
                m_hooks.status(note);
                m_recoveryNotes << note;
            },
            m_hooks.log,
            [this](UndeletableFiles::Kind kind, const FileStamp& stamp, const QString& path,
                   const QString& why) { keepLeftover(kind, stamp, path, why); }};
}

void FolderSession::trustScannedPages(const QString& folder, const QStringList& paths)
{
    for (const QString& path : paths) {
        const auto listed = m_listed.constFind(path.mid(folder.size()));
        if (path.startsWith(folder) && listed != m_listed.cend())
            m_trustedPages.insert(listed->entry, listed->stamp);
    }
}

FileGate::Expectation FolderSession::expectationFor(const QString& entry) const
{
    FileGate::Expectation expected;
    const auto listed = m_listed.constFind(entry);
    if (listed != m_listed.cend())
        expected.listed = listed->stamp;
    // A page the scanner completed, still as it was when reported, needs no quiet time.
    const auto page = m_trustedPages.constFind(entry);
    expected.trusted = page != m_trustedPages.cend() && page->size == expected.listed.size &&
                       page->mtimeNs == expected.listed.mtimeNs;
    return expected;
}

bool FolderSession::notToSend(const QString& folder, const QString& entry)
{
    const auto listed = m_listed.constFind(entry);
    if (listed == m_listed.cend())
        return false;
    if (listed->nameNotText) {
        // Left where it is: renamed to valid text, it goes with the next pass.
        m_hooks.status(PassTexts::nameNotText(entry));
        return true;
    }
    if (listed->symbolicLink) {
        // Anyone who can drop a file here could otherwise have the page sent
        // whatever this user can read (settings.txt and its proxy password).
        m_hooks.statusOnce(PassTexts::symbolicLink(entry));
        return true;
    }
    if (const UndeletableFiles::Record* done = m_undeletable.find(listed->stamp)) {
        // Done with before, and still as it was: it goes now if it can (its
        // folder was away when it was to be deleted, or the right to delete has
        // come since), and is never sent or converted again.
        const QString path = folder + entry;
        const bool filed = wasFiled(done->kind);
        QString why;
        if (FileGate::removeIfUnchanged(path, listed->stamp, &why) == FileGate::Removal::Removed)
            m_hooks.status(PassTexts::doneAndDeleted(path, filed));
        else
            m_hooks.statusOnce(PassTexts::doneBefore(path, filed));
        return true;
    }
    return false;
}

void FolderSession::keepLeftover(UndeletableFiles::Kind kind, const FileStamp& identity, const QString& path,
                                 const QString& why)
{
    const auto stored = m_undeletable.add(kind, identity, path);
    if (!why.isEmpty())
        m_hooks.statusOnce(PassTexts::cannotDelete(path, wasFiled(kind), why));
    if (!stored.ok())
        m_hooks.status(PassTexts::leftoverNotStored(stored.text));
}
