// SPDX-License-Identifier: GPL-3.0-or-later
// What a transfer pass needs of the window it runs in: the status box, the
// diagnostic window and the operator's eye after a conversion in test mode.
// Tests give a pass a plain object instead, and no window at all.
#pragma once

#include <QString>

class TransferView
{
public:
    virtual ~TransferView() = default;

    /// Puts a message on top of the status box.
    virtual void addStatus(const QString& message) = 0;
    /// Ends the newest message with one more line break.
    virtual void appendStatusLineBreak() = 0;
    /// A line for the diagnostic window.
    virtual void log(const QString& line) = 0;
    /// A TIFF has just been converted; in test mode the operator inspects both
    /// files before the pass goes on (events run meanwhile).
    virtual void conversionDone() = 0;

    /// The four lines of a failed step: what failed, when, and what was being read.
    void addErrorBlock(const QString& description, const QString& subject);
};
