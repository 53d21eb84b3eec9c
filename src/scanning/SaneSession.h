// SPDX-License-Identifier: GPL-3.0-or-later
// SANE is one library-wide state: sane_init and sane_exit must pair up across
// every user in the process. A SaneSession is one such user; the first one
// starts SANE and the last one to go ends it.
#pragma once

#include <QString>

#include <sane/sane.h>

class SaneSession
{
public:
    /// Starts SANE when no other session holds it. Throws Failure when SANE
    /// cannot be started.
    SaneSession();
    ~SaneSession();
    SaneSession(const SaneSession&) = delete;
    SaneSession& operator=(const SaneSession&) = delete;

    /// How many sessions hold SANE right now.
    static int users();
};

/// SANE's own text for a status, e.g. "Document feeder jammed".
QString saneText(SANE_Status status);
