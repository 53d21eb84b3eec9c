// SPDX-License-Identifier: GPL-3.0-or-later
// What the pages of one batch are named after. The scanner control numbers a
// batch's pages from 1, and a web page that stores documents by the name it
// receives would take a later batch's first page for an earlier one's; so
// each batch's names carry the moment it began, which also sorts them in the
// order they were scanned.
#pragma once

#include <QDateTime>
#include <QString>

class QSettings;

namespace BatchNames {
/// The stamp of a batch begun at now ("20261209-091502"): never the same as, nor
/// before, the last one kept in store (a clock set back, two batches in one
/// second), and kept there as the new last one.
QString nextStamp(const QDateTime& now, QSettings& store);
/// The template the control completes: folder + "/img" + stamp + "-".
QString batchTemplate(const QString& folder, const QString& stamp);
} // namespace BatchNames
