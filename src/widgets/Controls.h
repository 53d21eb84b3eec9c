// SPDX-License-Identifier: GPL-3.0-or-later
// The small pieces every window of the program builds with: its message box,
// its title, a button placed by design units.
#pragma once

#include <QRect>
#include <QString>

class QPushButton;
class QWidget;

/// The title of message boxes that do not name their own.
QString programTitle();

/// A modal box with the text and an OK button only, no icon; returns when it is answered.
void showMessage(QWidget* parent, const QString& title, const QString& text);
inline void showMessage(QWidget* parent, const QString& text)
{
    showMessage(parent, programTitle(), text);
}

/// A button named for the tests, where the design put it. Neither Enter nor Esc
/// presses it; a wrapped caption breaks between words, as the design's did.
QPushButton* makeButton(QWidget* parent, const QString& name, const QString& caption, const QRect& geometry,
                        bool wrapCaption = false);
