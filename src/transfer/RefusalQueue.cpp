// SPDX-License-Identifier: GPL-3.0-or-later
#include "RefusalQueue.h"

#include "PrivateData.h"
#include "PrivateFile.h"
#include "RegularFile.h"
#include "TransferLogging.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

constexpr qint64 MinuteMs = 60'000;
constexpr qint64 MaxWaitMs = 60 * MinuteMs;
// The record holds names of documents and addresses, a line each: far more
// than a folder's refusals need, and a damaged record cannot be read without end.
constexpr qsizetype MaxRecordBytes = 1024 * 1024;
constexpr char kHeader[] = "quillfeed refused 1";

QByteArray field(const QString& text)
{
    return text.toUtf8().toPercentEncoding("/:");
}

QString unfield(const QByteArray& bytes)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(bytes));
}

} // namespace

qint64 RefusalQueue::waitAfter(int refusals)
{
    if (refusals <= 0)
        return 0;
    return refusals > 7 ? MaxWaitMs : std::min(MaxWaitMs, MinuteMs << (refusals - 1));
}

QStringList RefusalQueue::order(const std::vector<ListedFile>& listing, bool complete)
{
    QStringList entries;
    std::vector<std::pair<quint64, QString>> last;
    entries.reserve(qsizetype(listing.size()));
    bool forgot = false;
    QSet<QString> listed;
    for (const ListedFile& f : listing) {
        if (complete)
            listed.insert(f.entry);
        const auto refused = m_refused.find(f.entry);
        if (refused == m_refused.end()) {
            entries.push_back(f.entry);
        } else if (refused->stamp == f.stamp) {
            last.emplace_back(refused->order, f.entry);
        } else {
            forgot = forgot || refused->backsOff;
            m_refused.erase(refused);
            entries.push_back(f.entry);
        }
    }
    if (complete) {
        m_refused.removeIf([&](const auto& r) {
            const bool gone = !listed.contains(r.key());
            forgot = forgot || (gone && r.value().backsOff);
            return gone;
        });
    }
    std::sort(last.begin(), last.end());
    for (const auto& [order, entry] : last)
        entries.push_back(entry);
    if (forgot)
        save();
    return entries;
}

void RefusalQueue::refused(const QString& entry, const FileStamp& stamp)
{
    const auto before = m_refused.constFind(entry);
    const bool forgot = before != m_refused.cend() && before->backsOff;
    Refusal r;
    r.stamp = stamp;
    r.order = ++m_count;
    m_refused.insert(entry, std::move(r));
    m_inPass.insert(entry);
    if (forgot)
        save();
}

RefusalQueue::Wait RefusalQueue::refusedItself(const QString& entry, const FileStamp& stamp,
                                               const QString& address, qint64 nowMs)
{
    const auto before = m_refused.constFind(entry);
    // In a row: the same document, refused by the same page.
    const int refusals =
        before != m_refused.cend() && before->backsOff && before->stamp == stamp && before->address == address
            ? before->refusals + 1
            : 1;
    const qint64 due = nowMs + waitAfter(refusals);
    m_refused.insert(entry, {stamp, ++m_count, true, refusals, address, nowMs, due});
    m_inPass.insert(entry);
    return {due, save()};
}

void RefusalQueue::filed(const QString& entry)
{
    const auto before = m_refused.constFind(entry);
    if (before == m_refused.cend())
        return;
    const bool forgot = before->backsOff;
    m_refused.erase(before);
    if (forgot)
        save();
}

std::optional<qint64> RefusalQueue::waitsUntil(const QString& entry, const QString& address, qint64 nowMs,
                                               bool forced) const
{
    const auto r = m_refused.constFind(entry);
    if (r == m_refused.cend() || !r->backsOff || r->address != address)
        return std::nullopt;
    // A clock set back must not hold a document for as long as it went back.
    if (nowMs < r->lastMs || nowMs >= std::min(r->dueMs, r->lastMs + MaxWaitMs))
        return std::nullopt;
    if (forced && nowMs - r->lastMs >= ForcedAgainAfterMs)
        return std::nullopt;
    return r->dueMs;
}

bool RefusalQueue::useRecord(const QString& path)
{
    m_refused.clear();
    m_inPass.clear();
    m_recordPath = path;
    if (path.isEmpty())
        return true;
    const std::optional<QByteArray> text = RegularFile::read(path, MaxRecordBytes + 1, false);
    if (!text) {
        if (!QFileInfo::exists(path))
            return true;
        qCWarning(lcTransfer) << "the record of refused documents cannot be read:" << path;
        return false;
    }
    struct Loaded
    {
        QString entry;
        Refusal refusal;
    };
    std::vector<Loaded> loaded;
    bool damaged = text->size() > MaxRecordBytes;
    const QList<QByteArray> lines = text->split('\n');
    if (!damaged && !text->isEmpty())
        damaged = lines.first() != kHeader || !lines.last().isEmpty();
    for (qsizetype i = 1; !damaged && i + 1 < lines.size(); ++i) {
        const QList<QByteArray> f = lines[i].split(' ');
        bool ok[7] = {};
        Loaded l;
        if (f.size() == 9) {
            l.refusal.stamp = {f[0].toULongLong(&ok[0]), f[1].toULongLong(&ok[1]), f[2].toLongLong(&ok[2]),
                               f[3].toLongLong(&ok[3])};
            l.refusal.refusals = f[4].toInt(&ok[4]);
            l.refusal.lastMs = f[5].toLongLong(&ok[5]);
            l.refusal.dueMs = f[6].toLongLong(&ok[6]);
            l.refusal.backsOff = true;
            l.entry = unfield(f[7]);
            l.refusal.address = unfield(f[8]);
        }
        damaged = !std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) ||
                  l.refusal.refusals < 1 || !l.entry.startsWith(u'/');
        loaded.push_back(std::move(l));
    }
    if (damaged) {
        qCWarning(lcTransfer) << "the record of refused documents is damaged:" << path;
        return false;
    }
    // Refused longest ago first, as they were.
    std::stable_sort(loaded.begin(), loaded.end(),
                     [](const Loaded& a, const Loaded& b) { return a.refusal.lastMs < b.refusal.lastMs; });
    for (Loaded& l : loaded) {
        l.refusal.order = ++m_count;
        m_refused.insert(l.entry, std::move(l.refusal));
    }
    return true;
}

Outcome RefusalQueue::save()
{
    if (m_recordPath.isEmpty())
        return {};
    std::vector<std::pair<qint64, QByteArray>> lines;
    for (auto r = m_refused.cbegin(); r != m_refused.cend(); ++r) {
        if (!r->backsOff)
            continue;
        const FileStamp& s = r->stamp;
        lines.emplace_back(r->lastMs, QByteArray::number(s.device) + ' ' + QByteArray::number(s.inode) + ' ' +
                                          QByteArray::number(s.size) + ' ' + QByteArray::number(s.mtimeNs) +
                                          ' ' + QByteArray::number(r->refusals) + ' ' +
                                          QByteArray::number(r->lastMs) + ' ' + QByteArray::number(r->dueMs) +
                                          ' ' + field(r.key()) + ' ' + field(r->address) + '\n');
    }
    // Newest first, for as many as the record holds; the others go at once.
    std::sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    QByteArray content = QByteArray(kHeader) + '\n';
    int kept = 0;
    for (const auto& [lastMs, line] : lines) {
        if (kept == MaxRecords || content.size() + line.size() > MaxRecordBytes)
            break;
        content += line;
        ++kept;
    }
    const QString folder = QFileInfo(m_recordPath).absolutePath();
    Outcome saved = PrivateData::ensureFolder(folder);
    if (saved.ok()) {
        const PrivateFile::Outcome replaced = PrivateFile::replace(
            QFile::encodeName(m_recordPath).constData(), {content.constData(), size_t(content.size())});
        if (!replaced.ok())
            saved = Outcome::failed(m_recordPath, QString::fromLocal8Bit(replaced.reason()), replaced.error);
    }
    if (!saved.ok())
        qCWarning(lcTransfer) << "refused documents not recorded:" << saved.text;
    return saved;
}
