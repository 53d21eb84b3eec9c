// SPDX-License-Identifier: GPL-3.0-or-later
// Listing of a large read-from folder by the real main window.
//
//   listing_bench WORK RUNS [FOLDERS FILES_PER_FOLDER TOTAL]
//       builds WORK/scans (32 folders of 1,024 files, 32,767 files in all, every
//       fourth folder at the top and the others nested in the one before) unless
//       it is already there, then times RUNS applications of the settings, each
//       relisting the tree and filling the list widget, after one untimed warm-up.
//       The walk alone (no window) is timed too, to tell the two costs apart.
#include "BenchSupport.h"
#include "FolderListing.h"

#include <QTextStream>

#include <fcntl.h>
#include <unistd.h>

#include <memory>

namespace {

int fail(const QString& why)
{
    QTextStream(stderr) << "listing_bench: " << why << Qt::endl;
    return 1;
}

bool buildTree(const QString& scans, int folders, int perFolder, int total)
{
    QString parent;
    int made = 0;
    for (int d = 0; d < folders && made < total; ++d) {
        // Every fourth folder starts a new branch at the top; the others go one
        // level deeper into the folder before.
        const QString name = QStringLiteral("/batch%1").arg(d, 2, 10, QLatin1Char('0'));
        const QString rel = (d % 4 == 0 ? QString() : parent) + name;
        parent = rel;
        const QString dir = scans + rel;
        if (!QDir().mkpath(dir))
            return false;
        for (int i = 0; i < perFolder && made < total; ++i, ++made) {
            const QByteArray path =
                QFile::encodeName(dir + QStringLiteral("/page%1.pdf").arg(i, 4, 10, QLatin1Char('0')));
            const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, "%PDF-", 5) != 5 || ::close(fd) != 0)
                return false;
        }
    }
    return made == total;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 3)
        return fail(QStringLiteral("usage: listing_bench WORK RUNS [FOLDERS FILES_PER_FOLDER TOTAL]"));
    const QString work = QFile::decodeName(argv[1]);
    const int runs = atoi(argv[2]);
    const int folders = argc > 3 ? atoi(argv[3]) : 32;
    const int perFolder = argc > 4 ? atoi(argv[4]) : 1024;
    const int total = argc > 5 ? atoi(argv[5]) : 32767;
    Bench::prepareEnvironment(work);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quillfeed"));
    QApplication::setOrganizationName(QString());

    Bench::Station station(work, QStringLiteral("http://127.0.0.1:9/unused"));
    if (Bench::countFiles(station.scans) != total) {
        QDir(station.scans).removeRecursively();
        if (!buildTree(station.scans, folders, perFolder, total))
            return fail(QStringLiteral("cannot build the tree in ") + station.scans);
    }

    auto w = std::make_unique<frmMain>();
    w->Form_Load(); // the warm-up: lists once and shows the window
    QCoreApplication::processEvents();
    if (w->fileListEntries().size() != total)
        return fail(QStringLiteral("listed %1 files of %2").arg(w->fileListEntries().size()).arg(total));

    std::vector<double> window;
    std::vector<double> walk;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer t;
        t.start();
        w->ApplySettings();
        // The view lays out and paints the new rows on the event loop.
        QCoreApplication::processEvents();
        window.push_back(double(t.nsecsElapsed()) / 1e9);
        if (w->fileListEntries().size() != total)
            return fail(QStringLiteral("listed %1 files of %2").arg(w->fileListEntries().size()).arg(total));

        std::vector<ListedFile> found;
        t.restart();
        listFolderTree(station.scans, found);
        walk.push_back(double(t.nsecsElapsed()) / 1e9);
        QTextStream(stdout) << "run " << run + 1 << ": window " << window.back() << " s, walk " << walk.back()
                            << " s" << Qt::endl;
    }
    QTextStream(stdout) << "RESULT listing files=" << total << " median_s=" << Bench::median(window)
                        << " walk_median_s=" << Bench::median(walk) << " runs=" << runs << Qt::endl;
    return 0;
}
