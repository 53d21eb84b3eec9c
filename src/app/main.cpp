#include "frmMain.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // No application display name: window titles must be exactly the texts given.
    QApplication::setApplicationName(QStringLiteral("quillfeed"));
    QApplication::setOrganizationName(QString());
    // Lets the desktop match the window to quillfeed.desktop and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("quillfeed"));

    frmMain window;
    window.Form_Load();
    return QApplication::exec();
}
