// SPDX-License-Identifier: GPL-3.0-or-later
// A check box whose caption wraps within its width, as the Unattended panel's
// narrow "Auto read every 30 seconds" box needs.
#pragma once

#include <QCheckBox>

class WrappingCheckBox : public QCheckBox
{
    Q_OBJECT
public:
    using QCheckBox::QCheckBox;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
};
