// The line the status box gets when a scan run ends early: what happened to
// the paper, what the operator does about it, and only then the scanner's own
// words. The "Scan Error" box is gone once it is closed; this line stays.
#pragma once

#include <QString>

namespace ScanAdvice {
/// fault: the scanner's status that ended the run (a SANE_Status), -1 when the
/// failure was not the scanner's; opened: whether the scanner had been opened;
/// pagesKept: the pages written before the failure; technical: the failure's text.
QString faultLine(int fault, bool opened, int pagesKept, const QString& technical);
/// A feeder batch that gave no page at all.
QString emptyFeederLine();
} // namespace ScanAdvice
