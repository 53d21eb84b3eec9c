// SPDX-License-Identifier: GPL-3.0-or-later
#include "WrappingPushButton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

void WrappingPushButton::paintEvent(QPaintEvent*)
{
    QStylePainter p(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    const QString caption = option.text;
    option.text.clear();
    p.drawControl(QStyle::CE_PushButton, option);
    const QRect area =
        style()->subElementRect(QStyle::SE_PushButtonContents, &option, this).adjusted(2, 0, -2, 0);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    // Where even the wrapped caption is too tall for the button, a smaller size keeps it whole.
    QFont f = font();
    while (f.pointSizeF() > 6.0 &&
           QFontMetrics(f).boundingRect(area, Qt::AlignCenter | Qt::TextWordWrap, caption).height() >
               area.height())
        f.setPointSizeF(f.pointSizeF() - 0.5);
    p.setFont(f);
    p.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, caption);
}
