// SPDX-License-Identifier: GPL-3.0-or-later
#include "AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap drawIcon(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, size > 16);
    const qreal u = size / 32.0;

    // A sheet of paper with a folded corner.
    QPainterPath sheet;
    sheet.moveTo(6 * u, 2 * u);
    sheet.lineTo(20 * u, 2 * u);
    sheet.lineTo(26 * u, 8 * u);
    sheet.lineTo(26 * u, 30 * u);
    sheet.lineTo(6 * u, 30 * u);
    sheet.closeSubpath();
    p.setPen(QPen(QColor(0, 0, 128), qMax<qreal>(1.0, u)));
    p.setBrush(Qt::white);
    p.drawPath(sheet);
    p.setBrush(QColor(192, 192, 192));
    p.drawPolygon(QPolygonF({QPointF(20 * u, 2 * u), QPointF(20 * u, 8 * u), QPointF(26 * u, 8 * u)}));

    // Lines of text.
    p.setPen(QPen(QColor(128, 128, 128), qMax<qreal>(1.0, u)));
    for (int y = 12; y <= 18; y += 3)
        p.drawLine(QPointF(9 * u, y * u), QPointF(23 * u, y * u));

    // A quill stroke sending it off.
    p.setPen(QPen(QColor(0, 128, 0), qMax<qreal>(1.0, 2 * u), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10 * u, 26 * u), QPointF(22 * u, 22 * u));
    p.setBrush(QColor(0, 128, 0));
    p.drawPolygon(QPolygonF({QPointF(24 * u, 21 * u), QPointF(19 * u, 20 * u), QPointF(21 * u, 25 * u)}));
    return pm;
}

} // namespace

QIcon quillfeedIcon()
{
    QIcon icon;
    icon.addPixmap(drawIcon(16));
    icon.addPixmap(drawIcon(32));
    return icon;
}
