// SPDX-License-Identifier: GPL-3.0-or-later
// Documents the page refused, as they were sent. One document the page will
// not take must not hold back the others: it goes behind them, in this pass's
// list and in every later listing, until it is filed or changes; the one
// refused longest ago goes first among them, so that each gets its turn.
//
// A document the page refused for itself (too large, of a type it does not
// take) would be refused again by an unchanged page: asked at every pass, it
// was sent 120 times an hour, and behind a size-capping front every one of
// those sends may have reached the page. So it waits 1, 2, 4 ... minutes after
// each refusal in a row, at most an hour, before it goes again; at once when
// it changes or the upload address does. The waits are kept across restarts
// in a record of the read-from folder, in the private data folder.
#pragma once

#include "Failure.h"
#include "FileStamp.h"
#include "FolderListing.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

class RefusalQueue
{
public:
    /// How long a document waits after its refusals-in-a-row'th refusal for itself.
    static qint64 waitAfter(int refusals);
    /// Force Transfer sends a waiting document once; pressed again within this
    /// long of its refusal, it does not: a button held down must not flood the page.
    static constexpr qint64 ForcedAgainAfterMs = 10'000;
    /// Past this many, the records of the longest-refused documents go.
    static constexpr int MaxRecords = 2000;

    /// The entries of a listing in the order they go: those refused as they
    /// still are last. A document changed since its refusal is a new one. A
    /// complete listing also forgets the documents it no longer holds.
    QStringList order(const std::vector<ListedFile>& listing, bool complete = false);
    /// The page refused entry, as stamp, for a reason that would meet the next document as well.
    void refused(const QString& entry, const FileStamp& stamp);
    struct Wait
    {
        qint64 dueMs = 0; ///< when it may go again
        Outcome recorded; ///< whether the record keeps it (the system's words when not)
    };
    /// The page at address refused entry, as stamp, for itself, at nowMs.
    Wait refusedItself(const QString& entry, const FileStamp& stamp, const QString& address, qint64 nowMs);
    void filed(const QString& entry);
    /// The page refused entry, as it was then.
    bool isRefused(const QString& entry) const { return m_refused.contains(entry); }
    /// When entry, refused for itself by the page at address, may go again;
    /// none when it may go now. forced: the operator asked for it.
    std::optional<qint64> waitsUntil(const QString& entry, const QString& address, qint64 nowMs,
                                     bool forced) const;

    /// A pass starts: it ends once it meets again a document it refused itself.
    void beginPass() { m_inPass.clear(); }
    bool refusedInPass(const QString& entry) const { return m_inPass.contains(entry); }

    /// Keeps the waits in the record at path (empty: not kept) and takes up
    /// those it holds. False when a record stands there that cannot be read
    /// as one: it counts as no waits.
    bool useRecord(const QString& path);
    const QString& recordPath() const { return m_recordPath; }

private:
    struct Refusal
    {
        FileStamp stamp;
        quint64 order = 0;
        /// Refused for itself: it waits out its refusals.
        bool backsOff = false;
        int refusals = 0; ///< for itself, in a row, at address
        QString address;
        qint64 lastMs = 0;
        qint64 dueMs = 0;
    };
    /// Said by the caller where the record matters to the operator; logged
    /// in every case.
    Outcome save();

    QHash<QString, Refusal> m_refused;
    QSet<QString> m_inPass;
    quint64 m_count = 0;
    QString m_recordPath;
};
