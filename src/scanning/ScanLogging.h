// SPDX-License-Identifier: GPL-3.0-or-later
// The logging category of the scanner control.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcScan)
