// SPDX-License-Identifier: GPL-3.0-or-later
// Small helpers shared by the tests.
#pragma once

#include <QByteArray>
#include <QString>

class QWidget;

namespace TestSupport {

/// The folder that holds the built programs (quillfeed, tiff2pdf, test helpers).
QString binDir();
/// The project's source folder.
QString sourceDir();
/// Writes bytes to a file, creating its folders; false when it could not.
bool writeFile(const QString& path, const QByteArray& content);
QByteArray readFile(const QString& path);

/// Closes mainWindow from the event loop and runs the application until it quits:
/// 0 when closing it ended the program, 7 when it was still running 5 s later.
int closeAndRunUntilQuit(QWidget& mainWindow);

} // namespace TestSupport
