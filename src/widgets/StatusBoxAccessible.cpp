// SPDX-License-Identifier: GPL-3.0-or-later
#include "StatusBoxAccessible.h"

QAccessibleInterface* StatusBoxAccessible::factory(const QString& className, QObject* object)
{
    if (className == QLatin1String("StatusBox") && object && object->isWidgetType())
        return new StatusBoxAccessible(static_cast<StatusBox*>(object));
    return nullptr;
}
