// The real station in a process of its own that presses Force Transfer whenever
// no pass runs, so that a test can kill it (kill -9) at any moment of a pass and
// start the next station on what it left.
//   station_driver PROGRAM_FOLDER [STATUS_FILE]
// With STATUS_FILE, the status box as the start left it (before the first
// Force Transfer writes it afresh) is copied there.
#include "Settings.h"
#include "frmMain.h"

#include <QApplication>
#include <QFile>
#include <QTimer>

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 3)
        return 2;
    QApplication app(argc, argv);
    Settings::setProgramFolder(QString::fromLocal8Bit(argv[1]));
    frmMain w;
    w.Form_Load();
    const QString statusFile = argc == 3 ? QString::fromLocal8Bit(argv[2]) : QString();
    bool shown = false;
    QTimer press;
    QObject::connect(&press, &QTimer::timeout, &w, [&] {
        if (!statusFile.isEmpty() && !shown) {
            shown = true;
            QFile f(statusFile);
            if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
                f.write(w.statusText().toUtf8());
        }
        if (!w.uploadInFlight())
            w.CmdStartTransfer_Click();
    });
    press.start(20);
    return app.exec();
}
