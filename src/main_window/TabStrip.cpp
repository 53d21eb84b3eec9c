#include "TabStrip.h"
#include "Design.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>

TabLine::TabLine(QWidget* parent, const QString& name, QColor colour, int x1, int y1, int x2, int y2)
    : QWidget(parent), m_colour(colour)
{
    setObjectName(name);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    const int left = px(qMin(x1, x2));
    const int top = px(qMin(y1, y2));
    setGeometry(left, top, px(qAbs(x2 - x1)) + 1, px(qAbs(y2 - y1)) + 1);
    m_from = QPoint(px(x1) - left, px(y1) - top);
    m_to = QPoint(px(x2) - left, px(y2) - top);
}

void TabLine::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setPen(QPen(m_colour, 1));
    p.drawLine(m_from, m_to);
}

void TabLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QLabel::mouseReleaseEvent(event);
}

void TabLabel::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        emit clicked();
        return;
    default:
        QLabel::keyPressEvent(event);
    }
}

void TabLabel::paintEvent(QPaintEvent* event)
{
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    // Only a keyboard user ever gives a tab label the focus; show them where it is.
    QPainter p(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = rect();
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &p, this);
}
