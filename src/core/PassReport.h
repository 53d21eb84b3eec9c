// SPDX-License-Identifier: GPL-3.0-or-later
// What a transfer pass did, as the pass itself knows it: what the desktop is
// told is decided from these facts, never from the texts the pass wrote.
#pragma once

#include "FileStamp.h"

#include <QList>
#include <QString>

struct PassReport
{
    /// A document the page refused in this pass.
    struct Refusal
    {
        QString entry;
        FileStamp stamp;     ///< as it was sent: changed, it is another document
        QString answer;      ///< what the page answered, in the operator's words
        int filedBefore = 0; ///< documents the pass had filed before this refusal
        /// When it goes again (ms since the epoch): refused for itself, it waits;
        /// 0 when it goes with the next pass.
        qint64 nextTryMs = 0;
    };
    /// A document the page refused for itself before, left for later in this pass.
    struct Waiting
    {
        QString entry;
        qint64 untilMs = 0; ///< ms since the epoch
    };

    int filed = 0;
    /// Why the pass ended before the end of its list; empty when it went through.
    QString stopped;
    /// The pass ended on the last of its refusals, which would meet the next document as well.
    bool stoppedOnRefusal = false;
    QList<Refusal> refused;
    QList<Waiting> waiting;
};
