// SPDX-License-Identifier: GPL-3.0-or-later
#include "DiagLogging.h"

Q_LOGGING_CATEGORY(lcDiag, "quillfeed.diagnostics", QtInfoMsg)
