// SPDX-License-Identifier: GPL-3.0-or-later
#include "Controls.h"
#include "WrappingPushButton.h"

#include <QMessageBox>
#include <QPushButton>

QString programTitle()
{
    return QStringLiteral("Quillfeed");
}

void showMessage(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

QPushButton* makeButton(QWidget* parent, const QString& name, const QString& caption, const QRect& geometry,
                        bool wrapCaption)
{
    auto* button = wrapCaption ? new WrappingPushButton(caption, parent) : new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}
