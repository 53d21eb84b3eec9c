// SPDX-License-Identifier: GPL-3.0-or-later
// The pieces of the hand-drawn tab strip: line segments and clickable labels.
#pragma once

#include <QColor>
#include <QLabel>
#include <QPoint>
#include <QWidget>

/// One line segment of the tab outline, given in twips within its container.
class TabLine : public QWidget
{
    Q_OBJECT
public:
    TabLine(QWidget* parent, const QString& name, QColor colour, int x1, int y1, int x2, int y2);
    QPoint from() const { return m_from; }
    QPoint to() const { return m_to; }
    QColor colour() const { return m_colour; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_colour;
    QPoint m_from;
    QPoint m_to;
};

/// A tab label: looks like a plain label, answers a click, and from the
/// keyboard takes the focus and answers Space or Enter. Assistive technology
/// sees it as a page tab named by its caption, selected while it is current.
class TabLabel : public QLabel
{
    Q_OBJECT
public:
    TabLabel(const QString& caption, QWidget* parent);
    bool isCurrent() const { return m_current; }
    void setCurrent(bool current);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_current = false;
};
