// SPDX-License-Identifier: GPL-3.0-or-later
#include "ModalWatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

namespace TestSupport {

ModalWatcher::ModalWatcher(QObject* parent) : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::poll);
    m_timer.start(20);
}

void ModalWatcher::poll()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box || !box->isVisible() || box->property("qfAnswered").toBool())
            continue;
        box->setProperty("qfAnswered", true);
        boxes.push_back({box->windowTitle(), box->text()});
        QAbstractButton* ok = box->button(QMessageBox::Ok);
        if (ok)
            ok->click();
        else
            box->done(0);
    }
}

QString ModalWatcher::summary() const
{
    QString out;
    for (const SeenBox& b : boxes)
        out += b.title + QStringLiteral(": ") + b.text + u'\n';
    return out;
}

} // namespace TestSupport
