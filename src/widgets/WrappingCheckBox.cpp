// SPDX-License-Identifier: GPL-3.0-or-later
#include "WrappingCheckBox.h"

#include <QPainter>
#include <QStyleOptionButton>

void WrappingCheckBox::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QRect indicator = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
    QStyleOptionButton box = option;
    box.rect = indicator;
    box.rect.moveTop((height() - indicator.height()) / 2);
    style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, &p, this);

    const int textLeft = indicator.right() + 6;
    const QRect textRect(textLeft, 0, width() - textLeft, height());
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextWordWrap, text());
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = p.boundingRect(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextWordWrap, text());
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
    }
}

bool WrappingCheckBox::hitButton(const QPoint& pos) const
{
    return rect().contains(pos);
}
