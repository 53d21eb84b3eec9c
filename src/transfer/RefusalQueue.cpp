#include "RefusalQueue.h"

#include <algorithm>

QStringList RefusalQueue::order(const std::vector<ListedFile>& listing)
{
    QStringList entries;
    std::vector<std::pair<quint64, QString>> last;
    entries.reserve(qsizetype(listing.size()));
    for (const ListedFile& f : listing) {
        const auto refused = m_refused.constFind(f.entry);
        if (refused == m_refused.cend()) {
            entries.push_back(f.entry);
        } else if (refused->stamp == f.stamp) {
            last.emplace_back(refused->order, f.entry);
        } else {
            m_refused.erase(refused);
            entries.push_back(f.entry);
        }
    }
    std::sort(last.begin(), last.end());
    for (const auto& [order, entry] : last)
        entries.push_back(entry);
    return entries;
}

void RefusalQueue::refused(const QString& entry, const FileStamp& stamp)
{
    m_refused.insert(entry, {stamp, ++m_count});
    m_inPass.insert(entry);
}

void RefusalQueue::filed(const QString& entry)
{
    m_refused.remove(entry);
}
