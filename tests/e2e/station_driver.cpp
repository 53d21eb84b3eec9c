// SPDX-License-Identifier: GPL-3.0-or-later
// The real station in a process of its own that presses Force Transfer whenever
// no pass runs, so that a test can kill it (kill -9) at any moment of a pass and
// start the next station on what it left.
//   station_driver PROGRAM_FOLDER [STATUS_FILE [LIVE_FILE]]
// With STATUS_FILE, the status box as the start left it (before the first
// Force Transfer writes it afresh) is copied there; with LIVE_FILE, every new
// text of the box is added there as it appears, each with its time, for a
// person watching a run from outside. A message box is answered as it comes.
#include "Settings.h"
#include "frmMain.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QMessageBox>
#include <QTimer>

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 4)
        return 2;
    QApplication app(argc, argv);
    Settings::setProgramFolder(QString::fromLocal8Bit(argv[1]));
    frmMain w;
    w.Form_Load();
    const QString statusFile = argc >= 3 ? QString::fromLocal8Bit(argv[2]) : QString();
    bool shown = false;
    QFile live(argc == 4 ? QString::fromLocal8Bit(argv[3]) : QString());
    if (argc == 4 && !live.open(QIODevice::WriteOnly | QIODevice::Append))
        return 2;
    QString lastText;
    const auto note = [&](const QString& text) {
        if (live.isOpen() && live.write(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() +
                                        " | " + QString(text).replace('\n', " / ").toUtf8() + "\n") > 0)
            live.flush();
    };
    QTimer press;
    QObject::connect(&press, &QTimer::timeout, &w, [&] {
        if (!statusFile.isEmpty() && !shown) {
            shown = true;
            QFile f(statusFile);
            if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
                f.write(w.statusText().toUtf8());
        }
        if (w.statusText() != lastText)
            note((lastText = w.statusText()).left(400));
        if (!w.uploadInFlight())
            w.CmdStartTransfer_Click();
    });
    press.start(20);
    // A box the station shows is answered (and written down) as an operator
    // would, from a timer of its own: the press that opened it waits in it.
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, &w, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            note("box: " + box->text());
            box->accept();
        }
    });
    answer.start(50);
    return app.exec();
}
