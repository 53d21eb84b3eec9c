// SPDX-License-Identifier: GPL-3.0-or-later
#include "BatchNames.h"

#include <QSettings>

namespace {
const QString kFormat = QStringLiteral("yyyyMMdd-HHmmss");
const QString kKey = QStringLiteral("Scanner/lastBatch");
} // namespace

QString BatchNames::nextStamp(const QDateTime& now, QSettings& store)
{
    QDateTime at = now;
    const QDateTime last = QDateTime::fromString(store.value(kKey).toString(), kFormat);
    if (last.isValid() && at.toString(kFormat) <= last.toString(kFormat))
        at = last.addSecs(1);
    const QString stamp = at.toString(kFormat);
    store.setValue(kKey, stamp);
    store.sync();
    return stamp;
}

QString BatchNames::batchTemplate(const QString& folder, const QString& stamp)
{
    return folder + QStringLiteral("/img") + stamp + QLatin1Char('-');
}
