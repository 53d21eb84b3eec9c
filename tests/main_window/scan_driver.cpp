// SPDX-License-Identifier: GPL-3.0-or-later
// The real station in a process of its own that presses Scan All on a slow
// batch of small pages, so that a test can kill it (kill -9) half-way. After
// page 4 the window stops for good while the scanner goes on, so that the kill
// finds pages in the document and pages the window has not yet taken.
//   scan_driver PROGRAM_FOLDER
#include "ImgScan.h"
#include "Settings.h"
#include "frmMain.h"

#include <QApplication>
#include <QTimer>

#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    QApplication app(argc, argv);
    Settings::setProgramFolder(QString::fromLocal8Bit(argv[1]));
    frmMain w;
    w.Form_Load();
    w.afterScannerOpen = [](ImgScan* scanner) {
        scanner->setDeviceOption(QStringLiteral("br-x"), QStringLiteral("20"));
        scanner->setDeviceOption(QStringLiteral("br-y"), QStringLiteral("20"));
        // About half a second a page.
        scanner->setDeviceOption(QStringLiteral("read-limit"), QStringLiteral("yes"));
        scanner->setDeviceOption(QStringLiteral("read-limit-size"), QStringLiteral("4096"));
        scanner->setDeviceOption(QStringLiteral("read-delay"), QStringLiteral("yes"));
        scanner->setDeviceOption(QStringLiteral("read-delay-duration"), QStringLiteral("40000"));
    };
    QObject::connect(w.ImgScan1, &ImgScan::PageDone, &w, [](int page) {
        while (page == 4)
            ::pause();
    });
    QTimer::singleShot(0, &w, &frmMain::CmdScanAll_Click);
    return app.exec();
}
