// SPDX-License-Identifier: GPL-3.0-or-later
// What a scanned page is, judged from its TIFF as written: blank paper, and the
// texts of the barcodes and QR codes printed on it. The scan run asks it of each
// page once the page file is complete, so the judgement is made on exactly the
// pixels the office will file.
#pragma once

#include <QString>
#include <QStringList>

namespace PageJudge {

struct Verdict
{
    /// The page holds no ink away from its edges that could be writing; a page
    /// in doubt is not blank.
    bool blank = false;
    /// The decoded texts of every barcode and QR code found, in no set order.
    QStringList codes;
    /// Empty when the page could be read; otherwise why not, in the operator's
    /// words. A page that cannot be read is never blank and bears no code.
    QString error;
    /// What the blank judgement rests on (the first mark found, or why the page is
    /// in doubt), for the log.
    QString reason;
};

/// Reads the first page of the TIFF at tiffPath. Codes are looked for only when
/// readCodes is set, since that costs more than the blank test.
Verdict judge(const QString& tiffPath, bool readCodes);

} // namespace PageJudge
