#include "FolderLock.h"

#include "Logging.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

FolderLock::~FolderLock()
{
    release();
}

void FolderLock::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_unsupported = false;
}

bool FolderLock::acquire(const QString& folder)
{
    const QByteArray native = QFile::encodeName(folder);
    struct stat st;
    if (::stat(native.constData(), &st) != 0)
        return held();
    if (held() && m_folder == folder && (m_unsupported || (st.st_dev == m_dev && st.st_ino == m_ino)))
        return true;

    release();
    if (m_folder != folder)
        m_refusalReported = false;
    m_folder = folder;
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK)
            return false;
        // A file system without locks cannot tell; serve the folder as before.
        qCWarning(lcTransfer) << "cannot lock" << folder << err;
        m_unsupported = true;
        return true;
    }
    m_fd = fd;
    m_dev = st.st_dev;
    m_ino = st.st_ino;
    m_refusalReported = false;
    return true;
}

QString FolderLock::message() const
{
    return QStringLiteral("Another Quillfeed is serving the folder %1; nothing is sent from it until that one ends.")
        .arg(m_folder);
}

bool FolderLock::takeNewRefusal()
{
    if (m_refusalReported)
        return false;
    m_refusalReported = true;
    return true;
}
