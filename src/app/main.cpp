// SPDX-License-Identifier: GPL-3.0-or-later
#include "ImgScan.h"
#include "frmMain.h"

#include <cstdio>
#include <cstdlib>

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // No application display name: window titles must be exactly the texts given.
    QApplication::setApplicationName(QStringLiteral("quillfeed"));
    QApplication::setOrganizationName(QString());
    // Lets the desktop match the window to quillfeed.desktop and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("quillfeed"));

    int rc = 0;
    {
        frmMain window;
        window.Form_Load();
        rc = QApplication::exec();
    }
    if (ImgScan::batchLeftRunning()) {
        // A thread is still in the scanner's backend: what the window had to
        // save is saved, and nothing of the libraries is torn down beneath it.
        std::fflush(nullptr);
        std::_Exit(rc);
    }
    return rc;
}
