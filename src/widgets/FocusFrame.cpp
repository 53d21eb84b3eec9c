// SPDX-License-Identifier: GPL-3.0-or-later
#include "FocusFrame.h"

#include <QEvent>
#include <QPainter>

FocusFrame* FocusFrame::attach(QWidget* target)
{
    return new FocusFrame(target);
}

FocusFrame::FocusFrame(QWidget* target) : QWidget(target), m_target(target)
{
    setObjectName(target->objectName() + QStringLiteral("FocusFrame"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    target->installEventFilter(this);
    follow();
}

bool FocusFrame::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_target) {
        switch (event->type()) {
        case QEvent::FocusIn:
        case QEvent::FocusOut:
        case QEvent::Resize:
        case QEvent::ChildAdded: // a scroll bar or viewport raised over the frame
            follow();
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FocusFrame::follow()
{
    if (!m_target)
        return;
    setGeometry(m_target->rect());
    setVisible(m_target->hasFocus());
    raise();
}

void FocusFrame::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const int width = 2;
    p.setPen(QPen(palette().color(QPalette::Active, QPalette::Highlight), width));
    p.drawRect(QRectF(rect()).adjusted(width / 2.0, width / 2.0, -width / 2.0, -width / 2.0));
}
