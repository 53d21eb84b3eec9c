// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "StatusBox.h"

#include <QAccessibleWidget>

// What a screen reader sees: a read-only, multi-line text with the newest
// message first, its selection and caret. Offsets are those of text().
class StatusBoxAccessible final : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit StatusBoxAccessible(StatusBox* box) : QAccessibleWidget(box, QAccessible::EditableText) {}
    using QAccessibleWidget::text; // the name and the other texts of the widget, beside text(start, end)

    /// For QAccessible::installFactory: the interface of a StatusBox.
    static QAccessibleInterface* factory(const QString& className, QObject* object);

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.multiLine = true;
        s.selectableText = true;
        s.editable = false;
        return s;
    }

    void selection(int index, int* start, int* end) const override
    {
        const auto [s, e] = box()->selection();
        *start = *end = 0;
        if (index == 0 && s != e) {
            *start = int(s);
            *end = int(e);
        }
    }
    int selectionCount() const override
    {
        const auto [s, e] = box()->selection();
        return s != e ? 1 : 0;
    }
    void addSelection(int start, int end) override { box()->setSelection(start, end); }
    void removeSelection(int index) override
    {
        if (index == 0)
            box()->setSelection(box()->caretOffset(), box()->caretOffset());
    }
    void setSelection(int index, int start, int end) override
    {
        if (index == 0)
            box()->setSelection(start, end);
    }
    int cursorPosition() const override { return int(box()->caretOffset()); }
    void setCursorPosition(int position) override { box()->setSelection(position, position); }
    QString text(int start, int end) const override
    {
        const QString all = box()->text();
        start = qBound(0, start, int(all.size()));
        end = end < 0 ? int(all.size()) : qBound(start, end, int(all.size()));
        return all.mid(start, end - start);
    }
    int characterCount() const override { return int(box()->text().size()); }
    QRect characterRect(int offset) const override
    {
        const QRect r = box()->characterRect(offset);
        if (r.isEmpty())
            return {};
        return QRect(box()->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint& point) const override
    {
        const QPoint local = box()->viewport()->mapFromGlobal(point);
        if (!box()->viewport()->rect().contains(local))
            return -1;
        return int(box()->offsetAt(local));
    }
    void scrollToSubstring(int start, int) override { box()->ensureVisible(start); }
    QString attributes(int offset, int* start, int* end) const override
    {
        *start = 0;
        *end = characterCount();
        Q_UNUSED(offset)
        return {};
    }

private:
    StatusBox* box() const { return static_cast<StatusBox*>(widget()); }
};
