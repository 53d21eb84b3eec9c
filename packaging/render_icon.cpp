// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the program's icon, as the main window shows it, into a PNG file for
// the desktop's icon theme:  quillfeed_render_icon <size> <file.png>
// Run at build time on Qt's offscreen platform.
#include "AppIcon.h"

#include <QGuiApplication>
#include <QPixmap>

#include <cstdio>

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    bool ok = false;
    const int size = args.size() == 3 ? args[1].toInt(&ok) : 0;
    if (!ok || size <= 0) {
        std::fprintf(stderr, "usage: quillfeed_render_icon <size> <file.png>\n");
        return 2;
    }
    // Only the sizes the icon is drawn at: a scaled picture would not be the
    // window's icon any more.
    const QIcon icon = quillfeedIcon();
    if (!icon.availableSizes().contains(QSize(size, size))) {
        std::fprintf(stderr, "quillfeed_render_icon: the icon is not drawn at %dx%d\n", size, size);
        return 1;
    }
    const QPixmap picture = icon.pixmap(QSize(size, size), 1.0);
    if (picture.size() != QSize(size, size) || !picture.save(args[2], "PNG")) {
        std::fprintf(stderr, "quillfeed_render_icon: cannot write %s\n", qPrintable(args[2]));
        return 1;
    }
    return 0;
}
