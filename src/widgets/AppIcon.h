// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>

/// The program's icon, drawn at 16 x 16 and 32 x 32: a page going up into a tray.
QIcon quillfeedIcon();
