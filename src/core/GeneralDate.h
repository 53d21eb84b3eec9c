// SPDX-License-Identifier: GPL-3.0-or-later
// The present date and time as the operator's messages show them: the system
// locale's short date, a blank, its long time.
#pragma once

#include <QDateTime>
#include <QLocale>

inline QString generalDateTime(const QDateTime& at)
{
    const QLocale locale = QLocale::system();
    return locale.toString(at.date(), QLocale::ShortFormat) + u' ' +
           locale.toString(at.time(), QLocale::LongFormat);
}

inline QString generalDateTime()
{
    return generalDateTime(QDateTime::currentDateTime());
}
