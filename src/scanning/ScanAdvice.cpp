#include "ScanAdvice.h"

#include <sane/sane.h>

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
