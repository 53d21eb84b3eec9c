// Small helpers shared by the tests.
#pragma once

#include <QByteArray>
#include <QString>

namespace TestSupport {

/// The folder that holds the built programs (quillfeed, tiff2pdf, test helpers).
QString binDir();
/// The project's source folder.
QString sourceDir();
/// Writes bytes to a file, creating its folders; fails the test on error.
bool writeFile(const QString& path, const QByteArray& content);
QByteArray readFile(const QString& path);

} // namespace TestSupport
