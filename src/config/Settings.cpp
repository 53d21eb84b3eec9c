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

QStringList splitLines(const QByteArray& content)
{
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = content.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (content[i] != '\r')
            continue;
        lines << QString::fromLocal8Bit(content.mid(start, i - start));
        if (i + 1 < n && content[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines << QString::fromLocal8Bit(content.mid(start));
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
    // A read failure leaves what was read so far; the file is small, so read it whole.
    const QStringList lines = splitLines(file.readAll());
    file.close();

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
