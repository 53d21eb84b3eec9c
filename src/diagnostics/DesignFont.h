// The windows were laid out for Tahoma and MS Sans Serif at 8.25 pt; Liberation
// Sans has nearly their widths, so captions fit where DejaVu Sans would clip.
#pragma once

#include <QFont>

inline QFont designFont(const QString& preferred = QStringLiteral("Tahoma"))
{
    QFont f;
    f.setFamilies({preferred, QStringLiteral("Tahoma"), QStringLiteral("MS Sans Serif"),
                   QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("DejaVu Sans"),
                   QStringLiteral("sans-serif")});
    f.setPointSizeF(8.25);
    return f;
}
