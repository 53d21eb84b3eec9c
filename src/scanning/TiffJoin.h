// SPDX-License-Identifier: GPL-3.0-or-later
// Puts the page files of one document into one multi-page TIFF. Each page's
// strips are copied as they are: no page is decoded or encoded again, so a
// document of mixed pages keeps every page's own form, and the cost is that
// of copying the bytes.
#pragma once

#include <QString>
#include <QStringList>

namespace TiffJoin {
/// Writes the pages, in the given order, as the directories of one TIFF to the
/// open, empty file fd (named path for messages; open for reading too, since
/// libtiff reads back each directory it links), then flushes and syncs it.
/// The descriptor stays the caller's. Returns why it failed, empty on success.
QString join(const QStringList& pages, int fd, const QString& path);
} // namespace TiffJoin
