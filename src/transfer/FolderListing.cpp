// SPDX-License-Identifier: GPL-3.0-or-later
#include "FolderListing.h"

#include "Failure.h"
#include "SendRecord.h"
#include "UniqueHandle.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

struct Subfolder
{
    QByteArray name;
    FileId id;
};

[[noreturn]] void cannotRead(const QByteArray& path, int err)
{
    throw Failure(QStringLiteral("Cannot read the folder %1: %2")
                      .arg(QFile::decodeName(path),
                           err == ENOENT ? QStringLiteral("Path not found") : systemErrorText(err)));
}

// ancestors holds the folders from the root down to this one's parent; expected
// is what the parent's listing said this folder is (none for the root).
void listFolder(const QByteArray& rootPath, const QString& relPath, const QByteArray& relBytes,
                const FileId* expected, std::vector<FileId>& ancestors, std::vector<ListedFile>& out,
                bool tidy)
{
    const QByteArray path = rootPath + relBytes;
    // Below the root a link is never followed: a folder swapped for a link since
    // its parent was read must not take the walk out of the tree.
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (expected ? O_NOFOLLOW : 0);
    const int fd = ::open(path.isEmpty() ? "/" : path.constData(), flags);
    if (fd < 0) {
        const int err = errno;
        if (expected && (err == ENOENT || err == ELOOP || err == ENOTDIR))
            return; // gone or replaced since its parent was read: the next pass sees it as it is then
        cannotRead(path, err);
    }
    DIR* dir = fdopendir(fd);
    if (!dir) {
        const int err = errno;
        ::close(fd);
        cannotRead(path, err);
    }
    UniqueDir closer(dir);
    struct stat self;
    if (fstat(fd, &self) != 0)
        cannotRead(path, errno);
    const FileId id = FileId::of(self);
    // A folder other than the one its parent listed, or one the walk is already
    // in (a bind mount of an ancestor), would make the walk go round for ever.
    if (expected && !(*expected == id))
        return;
    for (const FileId& a : ancestors)
        if (a == id)
            return;

    std::vector<Subfolder> subfolders;
    // In name order, not the file system's (ext4 gives hash order): a batch
    // goes out in the order it was scanned, and Scans lists it so.
    std::vector<std::pair<QByteArray, ListedFile>> files;
    bool empty = true;
    errno = 0;
    while (dirent* e = readdir(dir)) {
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        empty = false;
        // The station's own unfinished files (a page being scanned, a PDF being
        // made) are no documents, whatever name they were given.
        if (SendRecord::isOwnTemporary(QFile::decodeName(name)))
            continue;
        struct stat st;
        const bool haveStat = fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (haveStat && S_ISDIR(st.st_mode)) {
            subfolders.push_back({QByteArray(name), FileId::of(st)});
            errno = 0;
            continue;
        }
        ListedFile f;
        const QString decoded = QFile::decodeName(name);
        f.entry = relPath + u'/' + decoded;
        f.nameNotText = QFile::encodeName(decoded) != QByteArray(name);
        if (haveStat) {
            f.stamp = FileStamp::of(st);
            f.symbolicLink = S_ISLNK(st.st_mode);
        }
        files.emplace_back(QByteArray(name), std::move(f));
        errno = 0;
    }
    if (errno != 0)
        cannotRead(path, errno);
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& f : files)
        out.push_back(std::move(f.second));
    std::sort(subfolders.begin(), subfolders.end(),
              [](const Subfolder& a, const Subfolder& b) { return a.name < b.name; });
    // The handle goes before the walk goes deeper: a deep tree must not hold one
    // open per level and run out of them.
    closer.reset();

    ancestors.push_back(id);
    for (const Subfolder& sub : subfolders)
        listFolder(rootPath, relPath + u'/' + QFile::decodeName(sub.name), relBytes + '/' + sub.name, &sub.id,
                   ancestors, out, tidy);
    ancestors.pop_back();

    if (empty && expected && tidy) {
        // rmdir refuses a folder that is no longer empty, so a file that has just
        // arrived is kept and simply listed next time.
        if (rmdir(path.constData()) != 0 && errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT) {
            const int err = errno;
            throw Failure(QStringLiteral("Cannot remove the empty folder %1: %2")
                              .arg(QFile::decodeName(path), systemErrorText(err)));
        }
    }
}

} // namespace

void refuseNulInFolder(const QString& folder)
{
    if (folder.contains(QChar(0)))
        throw Failure(QStringLiteral("The read-from folder holds a NUL character, which no path can hold: %1")
                          .arg(QString(folder).replace(QChar(0), QStringLiteral("\\0"))));
}

void listFolderTree(const QString& root, std::vector<ListedFile>& out, bool tidy)
{
    refuseNulInFolder(root);
    std::vector<FileId> ancestors;
    listFolder(QFile::encodeName(root), QString(), QByteArray(), nullptr, ancestors, out, tidy);
}
