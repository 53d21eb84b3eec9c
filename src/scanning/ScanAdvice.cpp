#include "ScanAdvice.h"

#include "DiskSpace.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
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

bool says(const QString& technical, int error)
{
    return technical.contains(QString::fromLocal8Bit(std::strerror(error)), Qt::CaseInsensitive);
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
    } else if (!facts.writable || says(technical, EACCES) || says(technical, EROFS)) {
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
