#include "Settings.h"

#include "Failure.h"
#include "Logging.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Settings {

QString appTitle;
QString uploadToUrl;
QString readFromPath;
QString proxyAddress;
QString proxyUserName;
QString proxyPassword;

namespace {
QString g_programFolder;
std::function<void()> g_showDialog;
} // namespace

QString programFolder()
{
    if (!g_programFolder.isEmpty())
        return g_programFolder;
    return QCoreApplication::applicationDirPath();
}

void setProgramFolder(const QString& folder)
{
    g_programFolder = folder;
}

QString settingsFilePath()
{
    return programFolder() + QStringLiteral("/settings.txt");
}

void setShowDialogRequest(std::function<void()> request)
{
    g_showDialog = std::move(request);
}

QString defaultReadFromPath()
{
    return QDir::homePath() + QStringLiteral("/TAVScans");
}

QString defaultUploadToUrl()
{
    return QStringLiteral("http://localhost/[district code]/saveTAVscan.asp");
}

QStringList readLines(QIODevice& device, int maxLines, bool* cut)
{
    QStringList lines;
    QByteArray line;
    bool lineCut = false;
    bool afterCr = false; // a LF right after a CR belongs to the same line end
    char buffer[4096];
    *cut = false;
    auto endLine = [&] {
        lines << QString::fromLocal8Bit(line);
        line.clear();
        *cut = *cut || lineCut;
        lineCut = false;
    };
    while (lines.size() < maxLines) {
        const qint64 n = device.read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (qint64 i = 0; i < n && lines.size() < maxLines; ++i) {
            const char c = buffer[i];
            if (c == '\n' && afterCr) {
                afterCr = false;
                continue;
            }
            afterCr = c == '\r';
            if (c == '\r' || c == '\n') {
                endLine();
                continue;
            }
            if (line.size() < MaxLineBytes)
                line += c;
            else
                lineCut = true;
        }
    }
    if (lines.size() < maxLines && (!line.isEmpty() || lineCut))
        endLine();
    return lines;
}

QByteArray formatFile(const QStringList& values)
{
    QByteArray out;
    for (const QString& v : values) {
        out += v.toLocal8Bit();
        out += "\r\n";
    }
    return out;
}

void LoadSettings()
{
    QFile file(settingsFilePath());
    if (!file.open(QIODevice::ReadOnly)) {
        qCDebug(lcConfig) << "no settings file at" << file.fileName() << file.errorString();
        appTitle = defaultAppTitle;
        uploadToUrl = defaultUploadToUrl();
        readFromPath = defaultReadFromPath();
        if (g_showDialog)
            g_showDialog();
        return;
    }
    // Only the six lines that are used are read, each up to MaxLineBytes: a file
    // of any size costs the same. A read failure leaves what was read so far.
    bool cut = false;
    const QStringList lines = readLines(file, 6, &cut);
    file.close();
    if (cut)
        qCWarning(lcConfig) << "settings lines longer than" << MaxLineBytes << "bytes were cut in" << file.fileName();

    // The first three lines: a missing one leaves the value as it was.
    QString* const firstThree[] = {&appTitle, &uploadToUrl, &readFromPath};
    for (int i = 0; i < 3 && i < lines.size(); ++i)
        *firstThree[i] = lines[i];
    // The proxy lines are optional; whichever are missing keep their values.
    QString* const proxyLines[] = {&proxyAddress, &proxyUserName, &proxyPassword};
    for (int i = 0; i < 3 && 3 + i < lines.size(); ++i)
        *proxyLines[i] = lines[3 + i];
}

void SaveSettings()
{
    // A line break would end a value early and shift the later ones into the
    // wrong lines; a NUL is no part of any address, name or path.
    for (const QString* v : {&appTitle, &uploadToUrl, &readFromPath, &proxyAddress, &proxyUserName, &proxyPassword})
        if (v->contains(u'\r') || v->contains(u'\n') || v->contains(QChar(0)))
            throw Failure(QStringLiteral("A setting holds a line break or a NUL character; nothing was saved."));
    const QByteArray content =
        formatFile({appTitle, uploadToUrl, readFromPath, proxyAddress, proxyUserName, proxyPassword});
    const QString path = settingsFilePath();

    // The file holds the proxy password: it is created for its owner only, and
    // written whole under another name first, so a failed save never leaves a
    // half-written file behind.
    QSaveFile file(path);
    // A folder the operator cannot create files in, holding a settings file they
    // may write, is saved in place.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        throw Failure(QStringLiteral("Cannot write the settings file %1: %2").arg(path, file.errorString()));
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(content) != content.size() || !file.commit())
        throw Failure(QStringLiteral("Cannot write the settings file %1: %2").arg(path, file.errorString()));
    // A file that existed before keeps the permissions it had; tighten them.
    ::chmod(QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR);
}

} // namespace Settings
