// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: any bytes as "settings.txt". The reader must split them into lines
// without crashing, LoadSettings must take the values by the line rules, and what
// SaveSettings writes must read back as the same six values.
#include "Settings.h"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "settings fuzz: %s\n", what);
        std::abort();
    }
}

QString* const kValues[] = {&Settings::appTitle,     &Settings::uploadToUrl,   &Settings::readFromPath,
                            &Settings::proxyAddress, &Settings::proxyUserName, &Settings::proxyPassword};

QStringList splitAll(const QByteArray& bytes, bool* cut)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return Settings::readLines(buffer, std::numeric_limits<int>::max(), cut);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // In memory where the system offers it: every input is written and saved twice.
    static QTemporaryDir folder(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                    ? QStringLiteral("/dev/shm/quillfeed-fuzz-XXXXXX")
                                    : QDir::tempPath() + QStringLiteral("/quillfeed-fuzz-XXXXXX"));
    static const bool ready = [] {
        Settings::setProgramFolder(folder.path());
        // A missing file must never open a window here.
        Settings::setShowDialogRequest([] {});
        return folder.isValid();
    }();
    require(ready, "no temporary folder");

    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    // Lines never hold a line end, there are no more of them than line ends allow,
    // and none is longer than the limit.
    bool cut = false;
    const QStringList lines = splitAll(bytes, &cut);
    for (const QString& line : lines)
        require(!line.contains(u'\r') && !line.contains(u'\n'), "a line holds a line end");
    require(lines.size() <= bytes.count('\r') + bytes.count('\n') + 1, "more lines than line ends");
    // Written back line by line, the lines read the same.
    bool cutAgain = false;
    require(cut || splitAll(Settings::formatFile(lines), &cutAgain) == lines,
            "lines change when written and read again");

    // The file as the program reads it: the first three lines and up to three proxy
    // lines are taken; missing lines leave the values as they were.
    const QString marker = QStringLiteral("(unchanged)");
    for (QString* v : kValues)
        *v = marker;
    QFile file(Settings::settingsFilePath());
    require(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size(),
            "cannot write the settings file");
    file.close();
    Settings::LoadSettings();
    for (int i = 0; i < 6; ++i)
        require(*kValues[i] == (i < lines.size() ? lines[i] : marker),
                "a value is not the line it came from");

    // Saved and loaded again, the six values are the same.
    QString before[6];
    for (int i = 0; i < 6; ++i)
        before[i] = *kValues[i];
    bool holdsNul = false;
    for (const QString& v : before)
        holdsNul = holdsNul || v.contains(QChar(0));
    try {
        Settings::SaveSettings();
    } catch (...) {
        require(holdsNul, "SaveSettings refused values it can write");
        return 0;
    }
    require(!holdsNul, "SaveSettings wrote a NUL");
    for (QString* v : kValues)
        v->clear();
    Settings::LoadSettings();
    for (int i = 0; i < 6; ++i)
        require(*kValues[i] == before[i], "a value changed through SaveSettings and LoadSettings");
    return 0;
}
