// SPDX-License-Identifier: GPL-3.0-or-later
#include "ScanAdvice.h"

#include "DiskSpace.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <sane/sane.h>
#include <unistd.h>

namespace {
QString kept(int pages)
{
    if (pages <= 0)
        return QString();
    return pages == 1 ? QStringLiteral("; the page scanned is kept and will be filed")
                      : QStringLiteral("; the %1 pages scanned are kept and will be filed").arg(pages);
}

QString when(int pages)
{
    return pages > 0 ? QStringLiteral("after page %1").arg(pages) : QStringLiteral("before the first page");
}
} // namespace

QString ScanAdvice::faultLine(int fault, bool opened, int pagesKept, const QString& technical)
{
    QString line;
    switch (fault) {
    case SANE_STATUS_JAMMED:
        line = QStringLiteral("The feeder jammed %1: clear it and press Scan All again").arg(when(pagesKept));
        break;
    case SANE_STATUS_COVER_OPEN:
        line = QStringLiteral("The scanner's cover is open %1: close it and press Scan All again")
                   .arg(pagesKept > 0 ? when(pagesKept) : QStringLiteral("(nothing was scanned)"));
        break;
    case SANE_STATUS_NO_DOCS:
        line =
            QStringLiteral("The feeder ran out of paper %1: put the rest of the pages in and press Scan All "
                           "again")
                .arg(when(pagesKept));
        break;
    case SANE_STATUS_DEVICE_BUSY:
        line = QStringLiteral("The scanner is busy (another program may be using it): wait until it is free "
                              "and press Scan All again");
        break;
    case SANE_STATUS_ACCESS_DENIED:
        line =
            QStringLiteral("The scanner refused this account: ask the administrator for access to it, then "
                           "press Scan All again");
        break;
    case SANE_STATUS_IO_ERROR:
        line = opened ? QStringLiteral("The scanner stopped answering %1: check that it is on and connected, "
                                       "then press Scan All again")
                            .arg(when(pagesKept))
                      : QStringLiteral("The scanner could not be opened: check that it is on and connected, "
                                       "then press Scan All again");
        break;
    default:
        line = opened
                   ? QStringLiteral("Scanning stopped %1: check the scanner and press Scan All again")
                         .arg(when(pagesKept))
                   : QStringLiteral("The scanner could not be opened: check that it is on and connected (or "
                                    "choose it with Select Scanner), then press Scan All again");
        break;
    }
    return line + kept(pagesKept) + QStringLiteral(" (") + technical + QStringLiteral(").");
}

QString ScanAdvice::emptyFeederLine()
{
    return QStringLiteral(
        "Nothing was scanned: the feeder is empty. Put the pages in the feeder and press Scan "
        "All again.");
}

ScanAdvice::FolderFacts ScanAdvice::examine(const QString& folder, const QStringList& pagesWritten)
{
    FolderFacts facts;
    const QFileInfo info(folder);
    facts.exists = info.isDir();
    if (facts.exists) {
        facts.writable = ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0 ||
                         (errno != EACCES && errno != EROFS && errno != EPERM);
        facts.freeBytes = DiskSpace::freeAt(folder);
    }
    qint64 written = 0;
    int counted = 0;
    for (const QString& page : pagesWritten) {
        const QFileInfo p(page);
        if (p.exists()) {
            written += p.size();
            ++counted;
        }
    }
    constexpr qint64 a4GrayAt300 = qint64(2480) * 3508;
    facts.pageBytes = counted > 0 ? qMax<qint64>(1, written / counted) : a4GrayAt300;
    return facts;
}

QString ScanAdvice::writeFaultLine(const QString& folder, const FolderFacts& facts, int pagesKept,
                                   const QString& technical)
{
    QString line;
    if (!facts.exists) {
        line = QStringLiteral("The read-from folder %1 does not exist: create it, or choose another in "
                              "Setup, then press Scan All again")
                   .arg(folder);
    } else if (!facts.writable || DiskSpace::says(technical, EACCES) || DiskSpace::says(technical, EROFS)) {
        line = QStringLiteral("This account may not write into the read-from folder %1: let it, or "
                              "choose another folder in Setup, then press Scan All again")
                   .arg(folder);
    } else if (DiskSpace::ranOut(technical, facts.freeBytes, facts.pageBytes)) {
        line = DiskSpace::fullSentence(folder, facts.freeBytes, QStringLiteral("a page"), facts.pageBytes) +
               QStringLiteral(" Free space on it and press Scan All again");
    } else {
        return {};
    }
    return line + kept(pagesKept) + QStringLiteral(" (") + technical + QStringLiteral(").");
}

QString ScanAdvice::pageList(const QList<int>& pages)
{
    QStringList runs;
    for (qsizetype i = 0; i < pages.size();) {
        qsizetype j = i;
        while (j + 1 < pages.size() && pages[j + 1] == pages[j] + 1)
            ++j;
        // Two pages in a row read better one by one: "page 3 and page 4".
        if (j == i + 1)
            j = i;
        runs << (j == i ? QStringLiteral("page %1").arg(pages[i])
                        : QStringLiteral("pages %1 to %2").arg(pages[i]).arg(pages[j]));
        i = j + 1;
    }
    if (runs.size() < 2)
        return runs.value(0);
    const QString last = runs.takeLast();
    return runs.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

namespace {
QString counted(int n, const char* one, const char* many)
{
    return n == 1 ? QStringLiteral("1 ") + QLatin1String(one)
                  : QStringLiteral("%1 ").arg(n) + QLatin1String(many);
}
} // namespace

QString ScanAdvice::batchLine(int pages, const QList<int>& documentSizes, int separators, int blank)
{
    QString line = counted(pages, "page", "pages") + QStringLiteral(": ");
    if (documentSizes.isEmpty()) {
        line += QStringLiteral("no document");
    } else {
        line += counted(int(documentSizes.size()), "document", "documents") + QStringLiteral(" (");
        const bool alike = std::all_of(documentSizes.begin(), documentSizes.end(),
                                       [&](int n) { return n == documentSizes.first(); });
        if (documentSizes.size() == 1) {
            line += counted(documentSizes.first(), "page", "pages");
        } else if (alike) {
            // A hundred one-page documents are said in three words, not a hundred numbers.
            line += counted(documentSizes.first(), "page", "pages") + QStringLiteral(" each");
        } else {
            QStringList sizes;
            for (int n : documentSizes)
                sizes << QString::number(n);
            const QString last = sizes.takeLast();
            line +=
                sizes.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last + QStringLiteral(" pages");
        }
        line += u')';
    }
    if (separators > 0)
        line += QStringLiteral(", ") + counted(separators, "separator sheet", "separator sheets");
    if (blank > 0)
        line +=
            QStringLiteral(", ") + counted(blank, "blank page", "blank pages") + QStringLiteral(" set aside");
    return line;
}

QString ScanAdvice::setAsideLine(const QList<int>& blank, const QString& folder)
{
    return counted(int(blank.size()), "blank page", "blank pages") + QStringLiteral(" set aside: ") +
           pageList(blank) +
           (blank.size() == 1 ? QStringLiteral("; it is in ") : QStringLiteral("; they are in ")) + folder +
           QStringLiteral(" for 30 days");
}

QString ScanAdvice::documentKeptLine(int fault, int lastPage, const QList<int>& pages, const QString& name,
                                     const QString& technical)
{
    const QString kept =
        pageList(pages) +
        (pages.size() == 1 ? QStringLiteral(" is kept as ") : QStringLiteral(" are kept as ")) + name;
    QString line;
    switch (fault) {
    case SANE_STATUS_JAMMED:
        line = QStringLiteral(
            "The feeder jammed after page %1: %2; clear the jam and press Scan All for the rest");
        break;
    case SANE_STATUS_NO_DOCS:
        line =
            QStringLiteral("The feeder ran out of paper after page %1: %2; put the rest of the pages in and "
                           "press Scan All for the rest");
        break;
    case SANE_STATUS_COVER_OPEN:
        line = QStringLiteral(
            "The scanner's cover is open after page %1: %2; close it and press Scan All for the "
            "rest");
        break;
    case SANE_STATUS_IO_ERROR:
        line = QStringLiteral("The scanner stopped answering after page %1: %2; check that it is on and "
                              "connected, then press Scan All for the rest");
        break;
    default:
        line =
            QStringLiteral("Scanning stopped after page %1: %2; check the scanner and press Scan All for the "
                           "rest");
        break;
    }
    return line.arg(lastPage).arg(kept) + QStringLiteral(" (") + technical + QStringLiteral(").");
}

QString ScanAdvice::documentHeldLine(const QList<int>& pages, const QString& why, const QString& gathering)
{
    const QString list = pageList(pages);
    return QStringLiteral(
               "The document of %1 could not be put in the read-from folder (%2); %3 kept in %4 and "
               "become the document at the next start or Scan All")
        .arg(list, why, pages.size() == 1 ? QStringLiteral("the page is") : QStringLiteral("the pages are"),
             gathering);
}

QString ScanAdvice::documentRecoveredLine(const QList<int>& pages, const QString& name)
{
    return QStringLiteral("The station stopped during a batch: %1 %2 kept as %3")
        .arg(pageList(pages), pages.size() == 1 ? QStringLiteral("is") : QStringLiteral("are"), name);
}
