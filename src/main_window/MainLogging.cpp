// SPDX-License-Identifier: GPL-3.0-or-later
#include "MainLogging.h"

Q_LOGGING_CATEGORY(lcMain, "quillfeed.main_window", QtInfoMsg)
