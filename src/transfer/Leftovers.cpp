#include "Leftovers.h"

#include "Logging.h"
#include "PrivateData.h"
#include "PrivateFile.h"
#include "RegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <sys/stat.h>

namespace {

// One record a line: kind, device, inode, size, modification time (ns), path
// percent-encoded so that no name can break the line.
constexpr char kFiled[] = "filed";
constexpr char kConverted[] = "converted";
// Far more than any folder holds of them; a damaged file cannot grow without end.
constexpr qint64 MaxStoreBytes = 4 * 1024 * 1024;
// A record whose file a listing no longer shows is kept all the same: the folder
// may be away, or another made under its name, and come back with the file as
// it was (a file's identity is never another file's). Only past this many do
// such records go, the oldest first: even of the longest names, that many stay
// within MaxStoreBytes.
constexpr std::size_t MaxKeptRecords = 250;

} // namespace

Leftovers::Leftovers(QString storePath) : m_storePath(std::move(storePath)) {}

QString Leftovers::defaultStorePath()
{
    return PrivateData::path(QStringLiteral("undeletable.txt"));
}

void Leftovers::load()
{
    if (m_loaded)
        return;
    m_loaded = true;
    const std::optional<QByteArray> store = RegularFile::read(m_storePath, MaxStoreBytes, false);
    if (!store)
        return;
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
            m_records.push_back(std::move(r));
    }
}

QString Leftovers::save() const
{
    QByteArray content;
    for (const Record& r : m_records) {
        content += r.kind == Kind::Filed ? kFiled : kConverted;
        content += ' ' + QByteArray::number(r.identity.device) + ' ' + QByteArray::number(r.identity.inode) +
                   ' ' + QByteArray::number(r.identity.size) + ' ' + QByteArray::number(r.identity.mtimeNs) +
                   ' ' + r.path.toUtf8().toPercentEncoding("/") + '\n';
    }
    // Names of documents: private, like out.txt beside it.
    if (const QString why = PrivateData::ensureFolder(QFileInfo(m_storePath).absolutePath()); !why.isEmpty())
        return why;
    const PrivateFile::Outcome replaced = PrivateFile::replace(QFile::encodeName(m_storePath).constData(),
                                                               {content.constData(), size_t(content.size())});
    if (!replaced.ok())
        return QStringLiteral("Cannot write %1: %2")
            .arg(m_storePath, QString::fromLocal8Bit(replaced.reason()));
    return {};
}

const Leftovers::Record* Leftovers::find(const FileStamp& identity)
{
    load();
    for (const Record& r : m_records)
        if (r.identity == identity)
            return &r;
    return nullptr;
}

bool Leftovers::isEmpty()
{
    load();
    return m_records.empty();
}

QString Leftovers::add(Kind kind, const FileStamp& identity, const QString& path)
{
    load();
    if (!find(identity))
        m_records.push_back({kind, identity, path});
    const QString failure = save();
    if (!failure.isEmpty())
        qCWarning(lcTransfer) << "undeletable files not stored:" << failure;
    return failure;
}

void Leftovers::keepOnly(const QString& root, const QSet<FileStamp>& present)
{
    load();
    if (m_records.size() <= MaxKeptRecords)
        return;
    const QString prefix = root.endsWith(u'/') ? root : root + u'/';
    // Oldest first: records are added at the end.
    std::size_t excess = m_records.size() - MaxKeptRecords;
    std::vector<Record> kept;
    kept.reserve(m_records.size());
    for (Record& r : m_records) {
        if (excess > 0 && r.path.startsWith(prefix) && !present.contains(r.identity))
            --excess;
        else
            kept.push_back(std::move(r));
    }
    if (kept.size() == m_records.size())
        return;
    m_records = std::move(kept);
    const QString failure = save();
    if (!failure.isEmpty())
        qCWarning(lcTransfer) << "undeletable files not stored:" << failure;
}
