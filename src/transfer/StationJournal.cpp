#include "StationJournal.h"

#include "Failure.h"
#include "Logging.h"
#include "PrivateData.h"
#include "RegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kSend[] = "sending";

/// Writes the file whole or not at all: a temporary beside it, renamed over it.
bool writeWhole(const QString& path, const QByteArray& content, bool durable)
{
    const QByteArray native = QFile::encodeName(path);
    const QByteArray temp = native + ".new";
    const int fd =
        ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
               S_IRUSR | S_IWUSR);
    if (fd < 0)
        return false;
    const char* data = content.constData();
    qint64 left = content.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data += n;
        left -= n;
    }
    const bool ok = left == 0 && (!durable || ::fsync(fd) == 0);
    ::close(fd);
    if (!ok || ::rename(temp.constData(), native.constData()) != 0) {
        ::unlink(temp.constData());
        return false;
    }
    if (durable) {
        const int dir = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    return true;
}

QByteArray readSmall(const QString& path)
{
    constexpr qint64 Limit = 256 * 1024;
    const std::optional<QByteArray> text = RegularFile::read(path, Limit, false);
    return text && text->size() < Limit ? *text : QByteArray();
}

QByteArray field(const QString& text)
{
    return text.toUtf8().toPercentEncoding("/");
}

QString unfield(const QByteArray& bytes)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(bytes));
}

} // namespace

StationJournal::StationJournal(QString dataFolder) : m_dataFolder(std::move(dataFolder)) {}

QString StationJournal::defaultFolder()
{
    return PrivateData::folder();
}

bool StationJournal::setFolder(const QString& folder)
{
    struct stat st;
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0) {
        m_key.clear();
        return false;
    }
    const FileId id = FileId::of(st);
    m_key = QStringLiteral("%1-%2").arg(id.device).arg(id.inode);
    return true;
}

QString StationJournal::path(const char* kind) const
{
    return m_dataFolder + u'/' + QLatin1String(kind) + u'-' + m_key + QStringLiteral(".txt");
}

void StationJournal::beginSend(const QString& path)
{
    if (m_key.isEmpty() || !PrivateData::ensureFolder(m_dataFolder).isEmpty())
        return;
    // Not synced: it is there for a kill or a crash, and a sync for every file
    // sent would cost more than the upload.
    if (!writeWhole(this->path(kSend), field(path) + '\n', false))
        qCWarning(lcTransfer) << "cannot record the request in flight:" << systemErrorText(errno);
}

void StationJournal::endSend()
{
    if (!m_key.isEmpty())
        ::unlink(QFile::encodeName(path(kSend)).constData());
}

QString StationJournal::takeInterruptedSend(QDateTime* since)
{
    if (m_key.isEmpty())
        return {};
    if (since)
        *since = QFileInfo(path(kSend)).lastModified();
    const QString sent = unfield(readSmall(path(kSend)).trimmed());
    endSend();
    return sent;
}

bool StationJournal::isOwnTemporary(const QString& fileName)
{
    return fileName.size() > 6 && fileName.startsWith(u'.') && fileName.endsWith(QLatin1String(".part"));
}

int StationJournal::sweepConverterTemporaries(const QString& folder)
{
    // Only what the station's own conversions leave: their PDFs' names end in ".pdf".
    static const QRegularExpression converterTemp(QStringLiteral("^\\..+\\.pdf\\.[A-Za-z0-9]{6}\\.part$"));
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return 0;
    }
    int swept = 0;
    while (dirent* e = ::readdir(dir)) {
        if (!converterTemp.match(QFile::decodeName(e->d_name)).hasMatch())
            continue;
        struct stat st;
        if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid() && ::unlinkat(fd, e->d_name, 0) == 0)
            ++swept;
    }
    ::closedir(dir);
    return swept;
}
