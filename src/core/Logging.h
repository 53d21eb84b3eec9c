// SPDX-License-Identifier: GPL-3.0-or-later
// The logging category of the core helpers (the program runner). Each library
// declares its own beside its code, all named "quillfeed.<library>"; debug
// output is off unless turned on with QT_LOGGING_RULES="quillfeed.*.debug=true".
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcCore)
