// SPDX-License-Identifier: GPL-3.0-or-later
// A request body handed to the connection piece by piece as it goes out, so
// that a document of any size is sent without being held in memory whole.
#pragma once

#include <QString>

class BodySource
{
public:
    virtual ~BodySource() = default;
    /// The whole body's length, known before the first byte goes: pages behind
    /// stock servers need a Content-Length.
    virtual qint64 size() const = 0;
    /// The next bytes of the body, at most max of them; 0 once it is all out.
    /// -1 when it cannot go on: the request is then broken off before the rest
    /// goes, and stopReason() says why.
    virtual qint64 read(char* into, qint64 max) = 0;
    virtual QString stopReason() const = 0;
};
