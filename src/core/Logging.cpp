// SPDX-License-Identifier: GPL-3.0-or-later
#include "Logging.h"

Q_LOGGING_CATEGORY(lcCore, "quillfeed.core", QtInfoMsg)
