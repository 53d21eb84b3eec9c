#include "RegularFile.h"

#include "UniqueHandle.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace RegularFile {

int openForReading(const QString& path, bool followLinks)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return -1;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool open(QFile& file, const QString& path, bool followLinks)
{
    file.setFileName(path);
    const int fd = openForReading(path, followLinks);
    if (fd < 0)
        return false;
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    return false;
}

std::optional<QByteArray> read(const QString& path, qint64 maxBytes, bool followLinks)
{
    UniqueFd fd(openForReading(path, followLinks));
    if (fd.get() < 0)
        return std::nullopt;
    QByteArray out;
    char buffer[64 * 1024];
    while (out.size() < maxBytes) {
        const ssize_t n =
            ::read(fd.get(), buffer, size_t(qMin<qint64>(sizeof buffer, maxBytes - out.size())));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        out.append(buffer, n);
    }
    return out;
}

} // namespace RegularFile
