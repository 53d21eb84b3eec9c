// SPDX-License-Identifier: GPL-3.0-or-later
#include "Settings.h"

#include "ConfigLogging.h"
#include "Failure.h"
#include "PrivateData.h"
#include "PrivateFile.h"
#include "RegularFile.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

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
QString g_saveNotice;

/// How a save of a whole new file went.
struct SavedWhole
{
    bool begun = false; ///< the new file could be made beside path
    bool done = false;
    QString why; ///< Qt's reason, unless done
};

/// Writes a new file at path for its owner only, whole or not at all: under
/// another name first, so a failed save never leaves a half-written file behind.
SavedWhole saveWhole(const QString& path, const QByteArray& content)
{
    SavedWhole saved;
    QSaveFile file(path);
    saved.begun = file.open(QIODevice::WriteOnly);
    if (saved.begun) {
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        saved.done = file.write(content) == content.size() && file.commit();
    }
    if (!saved.done) {
        saved.why = file.errorString();
        return saved;
    }
    // A file that existed before keeps the permissions it had; tighten them.
    ::chmod(QFile::encodeName(path).constData(), S_IRUSR | S_IWUSR);
    return saved;
}

/// saveWhole, or a Failure that names the file.
void writeWhole(const QString& path, const QByteArray& content)
{
    if (const SavedWhole saved = saveWhole(path, content); !saved.done)
        throw Failure(QStringLiteral("Cannot write the settings file %1: %2").arg(path, saved.why));
}

/// A refusal of this account (not a missing folder, nor a folder where the
/// file should be): the program's folder is someone else's to write.
bool refusedToThisAccount(int err)
{
    return err == EACCES || err == EPERM || err == EROFS;
}

/// Why a settings.txt cannot be created at path, as errno; 0 when it can after all.
int createErrno(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return errno;
    ::close(fd);
    ::unlink(QFile::encodeName(path).constData());
    return 0;
}

/// Saves into the account's own file, beginning it (and its folder) when needed.
void saveForThisAccount(const QByteArray& content, const QString& besidePath, const QString& besideWhy)
{
    const QString path = userSettingsFilePath();
    const bool began = !QFileInfo::exists(path);
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        throw Failure(QStringLiteral("Cannot write the settings file %1 (%2), nor this account's own %3: its "
                                     "folder cannot be made")
                          .arg(besidePath, besideWhy, path));
    ::chmod(QFile::encodeName(folder).constData(), S_IRWXU);
    writeWhole(path, content);
    if (began)
        g_saveNotice =
            QStringLiteral("Settings saved for this account in %1, since %2 cannot be written by it "
                           "(%3); this account's starts read them from there.")
                .arg(path, besidePath, besideWhy);
}

/// How a rewrite in place went.
struct Rewrite
{
    bool done = false;
    bool touched = false; ///< the file's bytes may have changed before a failure
    int openError = 0;    ///< errno when the file could not even be opened
    QString why;          ///< the system's reason, unless done
};

/// Rewrites an existing regular file in place, synced.
Rewrite rewriteInPlace(const QString& path, const QByteArray& content)
{
    Rewrite r;
    const PrivateFile::Opened file = PrivateFile::open(QFile::encodeName(path).constData(), O_WRONLY);
    if (!file.outcome.ok()) {
        if (file.outcome.failed == PrivateFile::Outcome::Failed::Open)
            r.openError = file.outcome.error;
        r.why = file.outcome.failed == PrivateFile::Outcome::Failed::Open
                    ? systemErrorText(file.outcome.error)
                    : QStringLiteral("it is not a regular file");
        return r;
    }
    r.touched = true;
    const int fd = file.fd.get();
    const PrivateFile::Outcome wrote =
        PrivateFile::writeAll(fd, {content.constData(), size_t(content.size())}, 0);
    const int error = !wrote.ok()                                   ? wrote.error
                      : ::ftruncate(fd, off_t(content.size())) != 0 ? errno
                      : ::fsync(fd) != 0                            ? errno
                                                                    : 0;
    r.done = error == 0;
    if (!r.done)
        r.why = systemErrorText(error);
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    return r;
}

QByteArray readRegular(const QString& path, qint64 max)
{
    const std::optional<QByteArray> text = RegularFile::read(path, max + 1, false);
    return text && text->size() <= max ? *text : QByteArray();
}

/// A copy of what Setup saves where settings.txt can only be written in place:
/// it is complete on disk before settings.txt is touched, and goes once
/// settings.txt holds it. Found at a start, the save was cut short.

/// Finishes a save that a power cut or a kill interrupted. Returns the path to
/// read the settings from.
QString finishInterruptedSave(const QString& path)
{
    const QString copy = savedCopyPath(path);
    if (!QFileInfo::exists(copy))
        return path;
    const QByteArray saved = readRegular(copy, 6 * (MaxLineBytes + 2));
    if (saved.isEmpty()) {
        QFile::remove(copy);
        return path;
    }
    if (readRegular(path, saved.size() + 1) == saved) {
        QFile::remove(copy);
        return path;
    }
    const Rewrite rewrite = rewriteInPlace(path, saved);
    if (rewrite.done) {
        QFile::remove(copy);
        return path;
    }
    qCWarning(lcConfig) << "cannot finish the interrupted save of" << path << ":" << rewrite.why;
    return copy;
}

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

QString userSettingsFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/quillfeed/settings.txt");
}

QString readSettingsFilePath()
{
    const QString own = userSettingsFilePath();
    return QFileInfo::exists(own) ? own : settingsFilePath();
}

QString takeSaveNotice()
{
    return std::exchange(g_saveNotice, QString());
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
    // The rest of an over-long line is passed over, not kept, but passing over
    // an endless one would read the whole file: past the bytes of maxLines
    // lines of the longest length, the file is read as if it ended there.
    const qint64 limit = qint64(maxLines) * (MaxLineBytes + 2);
    qint64 consumed = 0;
    while (lines.size() < maxLines) {
        if (consumed >= limit) {
            *cut = true;
            break;
        }
        const qint64 n = device.read(buffer, std::min<qint64>(sizeof buffer, limit - consumed));
        if (n <= 0)
            break;
        consumed += n;
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
    // A settings file may be a link an administrator made; never a FIFO that
    // would hold the start for good.
    QFile file;
    // An interrupted save is finished only in the file beside the program; the
    // account's own is written whole or not at all.
    QString path = readSettingsFilePath();
    if (path == settingsFilePath())
        path = finishInterruptedSave(path);
    if (!RegularFile::open(file, path)) {
        qCDebug(lcConfig) << "no settings file at" << file.fileName() << file.errorString();
        appTitle = defaultAppTitle;
        uploadToUrl = defaultUploadToUrl();
        readFromPath = defaultReadFromPath();
        if (g_showDialog)
            g_showDialog();
        return;
    }
    // Only the six lines that are used are read, each up to MaxLineBytes, and no
    // more bytes than six such lines take: a file of any size costs the same. A
    // read failure leaves what was read so far.
    bool cut = false;
    const QStringList lines = readLines(file, 6, &cut);
    file.close();
    if (cut)
        qCWarning(lcConfig) << "settings lines longer than" << MaxLineBytes << "bytes were cut in" << path;

    // The first three lines: a missing one leaves the value as it was.
    QString* const firstThree[] = {&appTitle, &uploadToUrl, &readFromPath};
    for (int i = 0; i < 3 && i < lines.size(); ++i)
        *firstThree[i] = lines[i];
    // The proxy lines are optional; whichever are missing keep their values.
    QString* const proxyLines[] = {&proxyAddress, &proxyUserName, &proxyPassword};
    for (int i = 0; i < 3 && 3 + i < lines.size(); ++i)
        *proxyLines[i] = lines[3 + i];
}

QString savedCopyPath(const QString& path)
{
    // One copy per settings file: a copy left by another installation of this
    // account must never be put into this one's file.
    const QByteArray tag =
        QCryptographicHash::hash(QFile::encodeName(path), QCryptographicHash::Sha256).toHex().left(16);
    return PrivateData::path(QStringLiteral("settings-%1.txt.saved").arg(QString::fromLatin1(tag)));
}

bool fitsOnOneLine(const QString& value)
{
    return !value.contains(u'\r') && !value.contains(u'\n') && !value.contains(QChar(0));
}

void SaveSettings()
{
    for (const QString* v :
         {&appTitle, &uploadToUrl, &readFromPath, &proxyAddress, &proxyUserName, &proxyPassword})
        if (!fitsOnOneLine(*v))
            throw Failure(
                QStringLiteral("A setting holds a line break or a NUL character; nothing was saved."));
    const QByteArray content =
        formatFile({appTitle, uploadToUrl, readFromPath, proxyAddress, proxyUserName, proxyPassword});
    if (QFileInfo::exists(userSettingsFilePath())) {
        writeWhole(userSettingsFilePath(), content);
        return;
    }
    const QString path = settingsFilePath();

    // The file holds the proxy password: it is created for its owner only, and
    // written whole.
    const SavedWhole saved = saveWhole(path, content);
    if (saved.done)
        return;
    if (saved.begun)
        throw Failure(QStringLiteral("Cannot write the settings file %1: %2").arg(path, saved.why));
    const QString besideFailure = saved.why;
    // The program's folder is not this account's to write (the packaged
    // layout): a clerk's settings are kept as the account's own.
    if (!QFileInfo::exists(path)) {
        const int err = createErrno(path);
        if (!refusedToThisAccount(err))
            throw Failure(QStringLiteral("Cannot write the settings file %1: %2").arg(path, besideFailure));
        saveForThisAccount(content, path, systemErrorText(err));
        return;
    }

    // A folder the operator cannot create files in, holding a settings file they
    // may write (the packaged program's): saved in place. A cut in the middle
    // would leave it empty or half old, half new, so the whole new text is first
    // put on disk in the operator's own data folder, where the next start finds
    // it should the rewrite not complete.
    const QString copy = savedCopyPath(path);
    if (const Outcome made = PrivateData::ensureFolder(); !made.ok())
        throw Failure(
            QStringLiteral("Cannot write the settings file %1: %2; nothing was saved.").arg(path, made.text));
    // The copy's name must reach the disk too before settings.txt is touched, or
    // a power cut could leave the file half rewritten and no copy to finish it.
    if (const PrivateFile::Outcome saved = PrivateFile::replace(
            QFile::encodeName(copy).constData(), {content.constData(), size_t(content.size())});
        !saved.ok())
        throw Failure(QStringLiteral("Cannot write the settings file %1: its copy %2 cannot be written (%3); "
                                     "nothing was saved.")
                          .arg(path, copy, QString::fromLocal8Bit(saved.reason())));
    const Rewrite rewrite = rewriteInPlace(path, content);
    if (!rewrite.done) {
        // Untouched, the old file stands; touched, the copy completes it at the next start.
        if (rewrite.touched || !refusedToThisAccount(rewrite.openError)) {
            if (!rewrite.touched)
                QFile::remove(copy);
            throw Failure(QStringLiteral("Cannot write the settings file %1: %2").arg(path, rewrite.why));
        }
        QFile::remove(copy);
        // An administrator's file this account may only read: it stays the
        // pre-seed, and this account's changes are its own.
        saveForThisAccount(content, path, rewrite.why);
        return;
    }
    QFile::remove(copy);
}

} // namespace Settings
