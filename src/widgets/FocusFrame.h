// SPDX-License-Identifier: GPL-3.0-or-later
// A frame in the highlight colour over a control while it has the keyboard
// focus, for the controls whose own drawing shows none (the status box, an item
// view with no current item), so a keyboard user sees where the keys go.
#pragma once

#include <QPointer>
#include <QWidget>

class FocusFrame : public QWidget
{
    Q_OBJECT
public:
    /// Puts a frame on target, which owns it.
    static FocusFrame* attach(QWidget* target);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    explicit FocusFrame(QWidget* target);
    void follow();

    QPointer<QWidget> m_target;
};
