// SPDX-License-Identifier: GPL-3.0-or-later
#include "FolderLock.h"

#include "PrivateFile.h"
#include "TransferLogging.h"

#include <QFile>
#include <QList>

#include <pwd.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace {

/// The process that holds an flock on the file (device, inode), as the
/// kernel lists it in /proc/locks: "1: FLOCK ADVISORY WRITE <pid> <maj>:<min>:<inode> 0 EOF".
QString describeHolder(dev_t dev, ino_t ino)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return {};
    const QByteArray file = QByteArray::number(major(dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(minor(dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(qulonglong(ino));
    for (const QByteArray& line : locks.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 6 || f[1] != "FLOCK" || f[5] != file)
            continue;
        const QByteArray pid = f[4];
        QString holder = QStringLiteral("process %1").arg(QString::fromLatin1(pid));
        QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(pid)));
        if (comm.open(QIODevice::ReadOnly))
            holder += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(comm.readAll().trimmed()));
        struct stat proc;
        if (::stat(QStringLiteral("/proc/%1").arg(QString::fromLatin1(pid)).toLatin1().constData(), &proc) ==
            0) {
            const passwd* pw = ::getpwuid(proc.st_uid);
            holder += QStringLiteral(" of the account %1")
                          .arg(pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(proc.st_uid));
        }
        return holder;
    }
    return {};
}

} // namespace

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
    if (::stat(native.constData(), &st) != 0) {
        m_servedByAnother = false;
        return held();
    }
    if (held() && m_folder == folder && (m_unsupported || FileId::of(st) == m_id))
        return true;

    release();
    m_folder = folder;
    m_holder.clear();
    m_servedByAnother = false;
    PrivateFile::Locked lock = PrivateFile::lockFolder(native.constData(), 0);
    if (lock.outcome.failed == PrivateFile::Outcome::Failed::Open)
        return false;
    if (!lock.outcome.ok()) {
        if (lock.outcome.error == EWOULDBLOCK) {
            m_servedByAnother = true;
            m_holder = describeHolder(st.st_dev, st.st_ino);
            return false;
        }
        // A file system without locks cannot tell: the folder is served unlocked
        // rather than not at all.
        qCWarning(lcTransfer) << "cannot lock" << folder << lock.outcome.error;
        m_unsupported = true;
        return true;
    }
    m_fd = lock.fd.release();
    m_id = FileId::of(st);
    return true;
}

QString FolderLock::message() const
{
    return QStringLiteral(
               "Another Quillfeed%1 is serving the folder %2; nothing is sent from it until that one ends.")
        .arg(m_holder.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(m_holder), m_folder);
}
