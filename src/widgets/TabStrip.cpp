// SPDX-License-Identifier: GPL-3.0-or-later
#include "TabStrip.h"
#include "Design.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>

namespace {
QAccessibleInterface* tabStripAccessible(const QString& className, QObject* object);

void installTabStripAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(tabStripAccessible);
        return true;
    }();
    Q_UNUSED(installed)
}
} // namespace

TabLine::TabLine(QWidget* parent, const QString& name, QColor colour, int x1, int y1, int x2, int y2)
    : QWidget(parent), m_colour(colour)
{
    installTabStripAccessibility();
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
    // Through the middle of the pixels: a line on their edge keeps only half
    // its width at a display scale above 1, and at the strip's top edge that
    // half is outside the widget.
    const QPointF centre(0.5, 0.5);
    p.drawLine(QPointF(m_from) + centre, QPointF(m_to) + centre);
}

namespace {
class TabLabelAccessible final : public QAccessibleWidget
{
public:
    explicit TabLabelAccessible(TabLabel* label) : QAccessibleWidget(label, QAccessible::PageTab)
    {
        addControllingSignal(QStringLiteral("clicked()"));
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return label()->text();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.selectable = true;
        s.selected = label()->isCurrent();
        return s;
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override
    {
        if (name == pressAction())
            emit label()->clicked();
    }

private:
    TabLabel* label() const { return static_cast<TabLabel*>(widget()); }
};

// The outline's segments are drawing, not controls: separators to a screen reader.
QAccessibleInterface* tabStripAccessible(const QString& className, QObject* object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    if (className == QLatin1String("TabLabel"))
        return new TabLabelAccessible(static_cast<TabLabel*>(object));
    if (className == QLatin1String("TabLine"))
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Separator);
    return nullptr;
}
} // namespace

TabLabel::TabLabel(const QString& caption, QWidget* parent) : QLabel(caption, parent)
{
    installTabStripAccessibility();
}

void TabLabel::setCurrent(bool current)
{
    if (current == m_current)
        return;
    m_current = current;
    QAccessible::State changed;
    changed.selected = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
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
