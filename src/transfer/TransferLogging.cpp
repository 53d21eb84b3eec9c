// SPDX-License-Identifier: GPL-3.0-or-later
#include "TransferLogging.h"

Q_LOGGING_CATEGORY(lcTransfer, "quillfeed.transfer", QtInfoMsg)
