// Documents the page refused, as they were sent. One document the page will
// not take must not hold back the others: it goes behind them, in this pass's
// list and in every later listing, until it is filed or changes; the one
// refused longest ago goes first among them, so that each gets its turn.
#pragma once

#include "FileStamp.h"
#include "FolderListing.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <vector>

class RefusalQueue
{
public:
    /// The entries of a listing in the order they go: those refused as they
    /// still are last. A document changed since its refusal is a new one.
    QStringList order(const std::vector<ListedFile>& listing);
    /// The page refused entry, as stamp.
    void refused(const QString& entry, const FileStamp& stamp);
    void filed(const QString& entry);
    /// The page refused entry, as it was then.
    bool isRefused(const QString& entry) const { return m_refused.contains(entry); }

    /// A pass starts: it ends once it meets again a document it refused itself.
    void beginPass() { m_inPass.clear(); }
    bool refusedInPass(const QString& entry) const { return m_inPass.contains(entry); }

private:
    struct Refusal
    {
        FileStamp stamp;
        quint64 order = 0;
    };
    QHash<QString, Refusal> m_refused;
    QSet<QString> m_inPass;
    quint64 m_count = 0;
};
