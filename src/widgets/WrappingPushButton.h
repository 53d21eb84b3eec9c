// SPDX-License-Identifier: GPL-3.0-or-later
// A push button whose caption wraps onto several lines, for captions longer
// than the button is wide ("Toggle Test Mode On/Off").
#pragma once

#include <QPushButton>

class WrappingPushButton : public QPushButton
{
    Q_OBJECT
public:
    using QPushButton::QPushButton;

protected:
    void paintEvent(QPaintEvent* event) override;
};
