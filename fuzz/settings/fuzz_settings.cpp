// Fuzz target: any bytes as "settings.txt". The reader must split them into lines
// without crashing, LoadSettings must take the values by the line rules, and what
// SaveSettings writes must read back as the same six values.
#include "Settings.h"

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

    // Lines never hold a carriage return, and there is no more of them than line ends allow.
    const QStringList lines = Settings::splitLines(bytes);
    for (const QString& line : lines)
        require(!line.contains(u'\r'), "a line holds a carriage return");
    require(lines.size() <= bytes.count('\r') + 1, "more lines than line ends");
    // Written back line by line, the lines read the same.
    require(Settings::splitLines(Settings::formatFile(lines)) == lines, "lines change when written and read again");

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
        require(*kValues[i] == (i < lines.size() ? lines[i] : marker), "a value is not the line it came from");

    // Saved and loaded again, the six values are the same.
    QString before[6];
    for (int i = 0; i < 6; ++i)
        before[i] = *kValues[i];
    Settings::SaveSettings();
    for (QString* v : kValues)
        v->clear();
    Settings::LoadSettings();
    for (int i = 0; i < 6; ++i)
        require(*kValues[i] == before[i], "a value changed through SaveSettings and LoadSettings");
    return 0;
}
