// SPDX-License-Identifier: GPL-3.0-or-later
// The per-user store of the program's small choices (the last mode, the chosen
// scanner): the platform's native per-user settings under "quillStore".
#pragma once

#include <QSettings>

inline QSettings userStore()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("quillStore"));
}
