// SPDX-License-Identifier: GPL-3.0-or-later
// The windows' design units. Positions and sizes were laid out in twips, 15 to a
// pixel (1440 an inch at 96 dpi), and for Tahoma and MS Sans Serif at 8.25 pt;
// Liberation Sans has nearly their widths, so captions fit where DejaVu Sans
// would clip.
#pragma once

#include <QFont>
#include <QRect>

constexpr int px(int twips)
{
    return twips / 15;
}

inline QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(px(left), px(top), px(width), px(height));
}

inline QFont designFont(const QString& preferred = QStringLiteral("Tahoma"))
{
    QFont f;
    f.setFamilies({preferred, QStringLiteral("Tahoma"), QStringLiteral("MS Sans Serif"),
                   QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("DejaVu Sans"),
                   QStringLiteral("sans-serif")});
    f.setPointSizeF(8.25);
    return f;
}
