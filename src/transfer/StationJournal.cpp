#include "StationJournal.h"

#include "Failure.h"
#include "Logging.h"
#include "PrivateData.h"

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

constexpr char kConversion[] = "converting";
constexpr char kSend[] = "sending";

/// Writes the file whole or not at all: a temporary beside it, renamed over it.
bool writeWhole(const QString& path, const QByteArray& content, bool durable)
{
    const QByteArray native = QFile::encodeName(path);
    const QByteArray temp = native + ".new";
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
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
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return {};
    QByteArray out;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < 256 * 1024) {
        out.resize(qsizetype(st.st_size));
        const ssize_t n = ::read(fd, out.data(), size_t(out.size()));
        out.resize(n > 0 ? qsizetype(n) : 0);
    }
    ::close(fd);
    return out;
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

QString StationJournal::beginConversion(const Conversion& c)
{
    if (m_key.isEmpty())
        return QStringLiteral("the read-from folder cannot be examined");
    if (const QString why = PrivateData::ensureFolder(m_dataFolder); !why.isEmpty())
        return why;
    const QByteArray text = QByteArray::number(c.tiff.device) + ' ' + QByteArray::number(c.tiff.inode) + ' ' +
                            QByteArray::number(c.tiff.size) + ' ' + QByteArray::number(c.tiff.mtimeNs) + ' ' +
                            QByteArray::number(c.startedNs) + ' ' + field(c.tiffPath) + ' ' + field(c.pdfPath) + '\n';
    if (!writeWhole(path(kConversion), text, true))
        return QStringLiteral("Cannot write %1: %2").arg(path(kConversion), systemErrorText(errno));
    return {};
}

void StationJournal::endConversion()
{
    if (!m_key.isEmpty())
        ::unlink(QFile::encodeName(path(kConversion)).constData());
}

std::optional<StationJournal::Conversion> StationJournal::interruptedConversion() const
{
    if (m_key.isEmpty())
        return std::nullopt;
    const QList<QByteArray> f = readSmall(path(kConversion)).trimmed().split(' ');
    if (f.size() != 7)
        return std::nullopt;
    bool ok[5];
    Conversion c{{f[0].toULongLong(&ok[0]), f[1].toULongLong(&ok[1]), f[2].toLongLong(&ok[2]), f[3].toLongLong(&ok[3])},
                 f[4].toLongLong(&ok[4]),
                 unfield(f[5]),
                 unfield(f[6])};
    for (bool b : ok)
        if (!b)
            return std::nullopt;
    return c;
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

QString StationJournal::takeInterruptedSend()
{
    if (m_key.isEmpty())
        return {};
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
    static const QRegularExpression converterTemp(QStringLiteral("^\\..+\\.[A-Za-z0-9]{6}\\.part$"));
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
        if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            ::unlinkat(fd, e->d_name, 0) == 0)
            ++swept;
    }
    ::closedir(dir);
    return swept;
}
