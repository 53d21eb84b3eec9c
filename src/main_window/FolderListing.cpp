#include "FolderListing.h"

#include "Failure.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

class DirCloser
{
public:
    explicit DirCloser(DIR* d) : m_dir(d) {}
    ~DirCloser()
    {
        if (m_dir)
            closedir(m_dir);
    }
    DirCloser(const DirCloser&) = delete;
    DirCloser& operator=(const DirCloser&) = delete;

private:
    DIR* m_dir;
};

void listFolder(const QByteArray& rootPath, const QString& relPath, const QByteArray& relBytes,
                std::vector<ListedFile>& out)
{
    const QByteArray path = rootPath + relBytes;
    DIR* dir = opendir(path.isEmpty() ? "/" : path.constData());
    if (!dir) {
        const int err = errno;
        throw Failure(QStringLiteral("Cannot read the folder %1: %2")
                          .arg(QFile::decodeName(path), err == ENOENT ? QStringLiteral("Path not found")
                                                                     : systemErrorText(err)));
    }
    DirCloser closer(dir);
    const int fd = dirfd(dir);

    std::vector<QByteArray> subfolders;
    bool empty = true;
    errno = 0;
    while (dirent* e = readdir(dir)) {
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        empty = false;
        unsigned char type = e->d_type;
        struct stat st;
        bool haveStat = false;
        if (type == DT_UNKNOWN) {
            if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISDIR(st.st_mode) ? DT_DIR : DT_REG;
        }
        if (type == DT_DIR) {
            subfolders.emplace_back(name);
            continue;
        }
        ListedFile f;
        const QString decoded = QFile::decodeName(name);
        f.entry = relPath + u'/' + decoded;
        f.nameNotText = QFile::encodeName(decoded) != QByteArray(name);
        if (fstatat(fd, name, &st, 0) == 0)
            haveStat = true;
        if (haveStat) {
            f.size = st.st_size;
            f.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        }
        out.push_back(std::move(f));
        errno = 0;
    }
    if (errno != 0) {
        const int err = errno;
        throw Failure(QStringLiteral("Cannot read the folder %1: %2").arg(QFile::decodeName(path), systemErrorText(err)));
    }

    for (const QByteArray& sub : subfolders)
        listFolder(rootPath, relPath + u'/' + QFile::decodeName(sub), relBytes + '/' + sub, out);

    if (empty && !relBytes.isEmpty()) {
        // rmdir refuses a folder that is no longer empty, so a file that has just
        // arrived is kept and simply listed next time.
        if (rmdir(path.constData()) != 0 && errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT) {
            const int err = errno;
            throw Failure(
                QStringLiteral("Cannot remove the empty folder %1: %2").arg(QFile::decodeName(path), systemErrorText(err)));
        }
    }
}

} // namespace

void listFolderTree(const QString& root, std::vector<ListedFile>& out)
{
    listFolder(QFile::encodeName(root), QString(), QByteArray(), out);
}
