// SPDX-License-Identifier: GPL-3.0-or-later
#include "ScanLogging.h"

Q_LOGGING_CATEGORY(lcScan, "quillfeed.scanning", QtInfoMsg)
