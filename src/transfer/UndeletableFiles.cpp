// SPDX-License-Identifier: GPL-3.0-or-later
#include "UndeletableFiles.h"

#include "PrivateData.h"
#include "PrivateFile.h"
#include "RegularFile.h"
#include "TransferLogging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One record a line: kind, device, inode, size, modification time (ns), path
// percent-encoded so that no name can break the line.
constexpr char kFiled[] = "filed";
constexpr char kConverted[] = "converted";
// Far more than any folder holds of them; a damaged file cannot grow without end.
constexpr qint64 MaxStoreBytes = 4 * 1024 * 1024;
// A record whose file a listing no longer shows is kept all the same: the folder
// may be away, or another made under its name, and come back with the file as
// it was (a file's identity is never another file's). Only once such records of
// one folder take more than this many bytes (some ten thousand of ordinary
// names) do the oldest of them go, so that the store stays within MaxStoreBytes.
constexpr qsizetype MaxMissingBytes = 1024 * 1024;

qsizetype storedBytes(const UndeletableFiles::Record& r)
{
    return 64 + r.path.toUtf8().toPercentEncoding("/").size();
}

} // namespace

UndeletableFiles::UndeletableFiles(QString storePath) : m_storePath(std::move(storePath)) {}

QString UndeletableFiles::defaultStorePath()
{
    return PrivateData::path(QStringLiteral("undeletable.txt"));
}

void UndeletableFiles::load()
{
    if (m_loaded)
        return;
    m_loaded = true;
    m_records = readStore();
}

std::vector<UndeletableFiles::Record> UndeletableFiles::readStore() const
{
    std::vector<Record> records;
    const std::optional<QByteArray> store = RegularFile::read(m_storePath, MaxStoreBytes, false);
    if (!store)
        return records;
    for (const QByteArray& line : store->split('\n')) {
        const QList<QByteArray> f = line.trimmed().split(' ');
        if (f.size() != 6 || (f[0] != kFiled && f[0] != kConverted))
            continue;
        bool ok[4];
        Record r{f[0] == kFiled ? Kind::Filed : Kind::Converted,
                 {f[1].toULongLong(&ok[0]), f[2].toULongLong(&ok[1]), f[3].toLongLong(&ok[2]),
                  f[4].toLongLong(&ok[3])},
                 QString::fromUtf8(QByteArray::fromPercentEncoding(f[5]))};
        if (ok[0] && ok[1] && ok[2] && ok[3])
            records.push_back(std::move(r));
    }
    return records;
}

Outcome UndeletableFiles::commit(const std::function<void(std::vector<Record>&)>& change)
{
    // Names of documents: private, like out.txt beside it.
    const QString folder = QFileInfo(m_storePath).absolutePath();
    const Outcome made = PrivateData::ensureFolder(folder);
    // Stations of one account on other folders share the store: each change is made to what it
    // holds now, theirs included, under a lock on its folder, so that no station writes another's
    // records away. What this one remembers is kept too, whether or not it reached the disk: a
    // record only ever keeps a file that was done with from going again.
    // Held by a station for the moment of a write; never waited for long on the window's thread
    // (a folder that is also a read-from folder is held by that station's lock for good): past
    // a second the change is made unlocked.
    PrivateFile::Locked lock;
    if (made.ok())
        lock = PrivateFile::lockFolder(QFile::encodeName(folder).constData(), 990);
    if (made.ok() && !lock.outcome.ok())
        qCWarning(lcTransfer) << "undeletable files stored without the lock on" << folder << ":"
                              << lock.outcome.reason().c_str();
    std::vector<Record> merged = readStore();
    QSet<FileStamp> stored;
    for (const Record& r : merged)
        stored.insert(r.identity);
    for (Record& r : m_records)
        if (!stored.contains(r.identity))
            merged.push_back(std::move(r));
    change(merged);
    m_records = std::move(merged);
    const Outcome saved = made.ok() ? save() : made;
    m_unsaved = !saved.ok();
    lock.fd.reset();
    if (!saved.ok())
        qCWarning(lcTransfer) << "undeletable files not stored:" << saved.text;
    return saved;
}

Outcome UndeletableFiles::save() const
{
    QByteArray content;
    for (const Record& r : m_records) {
        content += r.kind == Kind::Filed ? kFiled : kConverted;
        content += ' ' + QByteArray::number(r.identity.device) + ' ' + QByteArray::number(r.identity.inode) +
                   ' ' + QByteArray::number(r.identity.size) + ' ' + QByteArray::number(r.identity.mtimeNs) +
                   ' ' + r.path.toUtf8().toPercentEncoding("/") + '\n';
    }
    const PrivateFile::Outcome replaced = PrivateFile::replace(QFile::encodeName(m_storePath).constData(),
                                                               {content.constData(), size_t(content.size())});
    if (!replaced.ok())
        return Outcome::failed(
            m_storePath,
            QStringLiteral("Cannot write %1: %2").arg(m_storePath, QString::fromLocal8Bit(replaced.reason())),
            replaced.error);
    return {};
}

const UndeletableFiles::Record* UndeletableFiles::find(const FileStamp& identity)
{
    load();
    for (const Record& r : m_records)
        if (r.identity == identity)
            return &r;
    return nullptr;
}

bool UndeletableFiles::storeWhatWaits()
{
    // Until it is stored, a restart would send such a file again: each pass
    // tries once more, so that a disk given room again ends that risk.
    if (m_unsaved)
        commit([](std::vector<Record>&) {});
    return !m_unsaved;
}

bool UndeletableFiles::isEmpty()
{
    load();
    return m_records.empty();
}

Outcome UndeletableFiles::add(Kind kind, const FileStamp& identity, const QString& path)
{
    load();
    return commit([&](std::vector<Record>& records) {
        if (std::none_of(records.begin(), records.end(),
                         [&](const Record& r) { return r.identity == identity; }))
            records.push_back({kind, identity, path});
    });
}

void UndeletableFiles::keepOnly(const QString& root, const QSet<FileStamp>& present)
{
    load();
    const QString prefix = root.endsWith(u'/') ? root : root + u'/';
    const auto missing = [&](const Record& r) {
        return r.path.startsWith(prefix) && !present.contains(r.identity);
    };
    const auto missingBytes = [&](const std::vector<Record>& records) {
        qsizetype bytes = 0;
        for (const Record& r : records)
            if (missing(r))
                bytes += storedBytes(r);
        return bytes;
    };
    if (missingBytes(m_records) <= MaxMissingBytes)
        return;
    // Not said to the operator: a store that cannot be written is said by the
    // add that meets it, and records that stay on disk only keep out files that
    // are gone.
    (void)commit([&](std::vector<Record>& records) {
        // Oldest first: records are added at the end.
        qsizetype excess = missingBytes(records) - MaxMissingBytes;
        std::vector<Record> kept;
        kept.reserve(records.size());
        for (Record& r : records) {
            if (excess > 0 && missing(r))
                excess -= storedBytes(r);
            else
                kept.push_back(std::move(r));
        }
        records = std::move(kept);
    });
}
