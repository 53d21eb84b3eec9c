// SPDX-License-Identifier: GPL-3.0-or-later
// The station's private data folder ($XDG_DATA_HOME/quillfeed): the copy of the
// last request body, the records of what it is doing and what it has filed.
// Some of it is document content, so the folder is the user's alone.
#pragma once

#include "Failure.h"

#include <QString>

namespace PrivateData {

/// The folder's path.
QString folder();
/// The path of a file in it.
QString path(const QString& name);
/// Makes the folder (or another that holds private files, dir) when it is
/// missing and keeps it the user's alone (0700).
Outcome ensureFolder(const QString& dir = folder());

} // namespace PrivateData
