// SPDX-License-Identifier: GPL-3.0-or-later
#include "ConfigLogging.h"

Q_LOGGING_CATEGORY(lcConfig, "quillfeed.config", QtInfoMsg)
