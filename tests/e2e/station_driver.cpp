// The real station in a process of its own that presses Force Transfer whenever
// no pass runs, so that a test can kill it (kill -9) at any moment of a pass and
// start the next station on what it left.
//   station_driver PROGRAM_FOLDER [STATUS_FILE]
// With STATUS_FILE, the status box is copied there until the first pass has
// ended (what a start has to say about the station before it is in that pass).
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
    QString shown;
    QTimer press;
    QObject::connect(&press, &QTimer::timeout, &w, [&] {
        if (!statusFile.isEmpty() && !shown.contains(QLatin1String("----Finished")) && w.statusText() != shown) {
            shown = w.statusText();
            QFile f(statusFile);
            if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
                f.write(shown.toUtf8());
        }
        if (!w.uploadInFlight())
            w.CmdStartTransfer_Click();
    });
    press.start(20);
    return app.exec();
}
