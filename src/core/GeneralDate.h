// The present date and time as the operator's messages show them: the system
// locale's short date, a blank, its long time.
#pragma once

#include <QDateTime>
#include <QLocale>

inline QString generalDateTime()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QLocale locale = QLocale::system();
    return locale.toString(now.date(), QLocale::ShortFormat) + u' ' +
           locale.toString(now.time(), QLocale::LongFormat);
}
