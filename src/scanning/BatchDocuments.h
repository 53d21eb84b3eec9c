// SPDX-License-Identifier: GPL-3.0-or-later
// The pages of a batch gathered into documents outside the read-from folder,
// each document entering the folder in one step once it is complete, so that
// a pass never sees part of one; and what a killed batch left behind made into
// documents at the next start.
//
// In the private data folder:
//   gathering/<stamp>/batch        the read-from folder, the documents' name
//                                  prefix, the next document number
//   gathering/<stamp>/page-N.tif   pages as the scanner finishes them
//   gathering/<stamp>/doc-N/       the document in progress (N: its first page)
//   gathering/<stamp>/done-N/      a document whose TIFF is complete and is
//                                  being renamed into the folder
//   set-aside/<stamp>-page-N.tif   blank pages and separator sheets, 30 days
#pragma once

#include "Failure.h"
#include "PageJudge.h"
#include "ScanChoices.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class BatchDocuments
{
public:
    /// A document that has entered the read-from folder, or failed to.
    struct Outcome
    {
        QList<int> pages;
        QString path;  ///< its full path in the read-from folder, empty when it failed
        QString error; ///< why it could not enter the folder
    };

    BatchDocuments(const QString& readFrom, const QString& stamp, const ScanChoices& choices);

    /// Whether the choices need the gathering at all: one document a page with
    /// blank pages kept writes the pages straight into the folder, as always.
    static bool needed(const ScanChoices& choices);

    /// Makes the batch's gathering folder and its record.
    ::Outcome begin();
    /// The template the scanner completes: it writes the pages here.
    QString scanTemplate() const;
    bool judgesPages() const;
    bool readsCodes() const;

    /// A page the scanner has finished, with its judgement (none when it was
    /// not judged or the judge failed). Returns the documents it completed.
    QList<Outcome> take(int pageNumber, const QString& path,
                        const std::optional<PageJudge::Verdict>& verdict);
    /// The batch has ended, normally or not: the document in progress enters
    /// the folder. Its outcome has no pages when none was in progress.
    Outcome finish();

    int pages() const { return m_pages; }
    QList<int> documentSizes() const { return m_documentSizes; }
    int separators() const { return m_separators; }
    QList<int> blankPages() const { return m_blank; }

    /// What killed or failed batches left: every gathered page goes into a
    /// document in its batch's read-from folder. Lines for the status box, and
    /// the documents made.
    struct Recovery
    {
        QStringList lines;
        QStringList published;
    };
    static Recovery recover();
    /// Removes set-aside pages kept longer than 30 days; returns how many went.
    static int pruneSetAside(const QDateTime& now);

    static QString gatheringRoot();
    static QString setAsideFolder();
    /// The set-aside folder as the operator reads it ("~/.local/share/...").
    static QString setAsideShown();
    /// A path as the operator reads it, the home folder as "~".
    static QString shownPath(const QString& path);
    /// The name a document's PDF goes out under, for the status box.
    static QString shownName(const QString& path);

private:
    bool moveToDocument(int pageNumber, const QString& path);
    void setAside(int pageNumber, const QString& path);
    Outcome publishCurrent();

    QString m_readFrom;
    QString m_stamp;
    ScanChoices m_choices;
    QString m_dir;
    QString m_current; ///< the doc-N folder in progress, empty when none
    QList<int> m_currentPages;
    int m_pages = 0;
    QList<int> m_documentSizes;
    int m_separators = 0;
    QList<int> m_blank;
};
