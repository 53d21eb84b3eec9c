// SPDX-License-Identifier: GPL-3.0-or-later
// The logging category of the settings file and the setup dialog.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcConfig)
