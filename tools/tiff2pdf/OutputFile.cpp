// SPDX-License-Identifier: GPL-3.0-or-later
#include "OutputFile.h"

#include "ConverterFiles.h"
#include "PrivateFile.h"
#include "TiffSupport.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace tiff2pdf {

namespace {

// The temporary file being written, for the signal handler.
char g_temporaryPath[PATH_MAX];
volatile std::sig_atomic_t g_temporaryActive = 0;

void onSignal(int sig)
{
    if (g_temporaryActive)
        ::unlink(g_temporaryPath);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

std::string errnoText()
{
    return std::strerror(errno);
}

std::string baseName(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

TemporaryOutput::TemporaryOutput(const std::string& outputPath, bool overwrite) : m_output(outputPath)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    int fd = -1;
    if (!overwrite) {
        fd =
            ::open(PrivateFile::folderOf(outputPath).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666 & ~mask);
        if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            throw OutputError(outputPath, "cannot create a file in its folder: " + errnoText());
    }
    if (fd < 0)
        fd = createNamed(outputPath);
    // mkstemp makes the file private; the PDF gets the permissions any new file would get.
    if (!m_path.empty())
        ::fchmod(fd, 0666 & ~mask);
    m_file = ::fdopen(fd, "wb");
    if (!m_file) {
        const int err = errno;
        ::close(fd);
        discard();
        errno = err;
        throw OutputError(outputPath, errnoText());
    }
}

TemporaryOutput::~TemporaryOutput()
{
    if (m_file)
        std::fclose(m_file);
    m_file = nullptr;
    if (!m_committed)
        discard();
}

void TemporaryOutput::commit(bool overwrite)
{
    const bool written = std::fflush(m_file) == 0 && ::fsync(::fileno(m_file)) == 0;
    if (!written)
        throw OutputError(m_output, "writing failed: " + errnoText());
    if (m_path.empty())
        linkInPlace();
    else
        renameInPlace(overwrite);
    m_committed = true;
    g_temporaryActive = 0;
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    (void)closed; // the bytes are on disk already
    // The new name must survive a power cut as well as the bytes. Failing the conversion now would
    // not take the PDF back (it is whole under its name): the station would convert the TIFF again
    // beside it and send the document twice. So the failure is said, and the conversion stands; a
    // file system that cannot sync a folder keeps its entries as it does.
    const PrivateFile::Outcome synced = PrivateFile::syncFolder(PrivateFile::folderOf(m_output).c_str());
    if (!synced.ok() && synced.error != EINVAL && synced.error != ENOTSUP)
        std::fprintf(stderr, "tiff2pdf: warning: %s: its folder could not be synced: %s\n", m_output.c_str(),
                     synced.reason().c_str());
}

int TemporaryOutput::createNamed(const std::string& outputPath)
{
    std::string pattern =
        PrivateFile::folderOf(outputPath) + "/" + ConverterFiles::temporaryTemplate(baseName(outputPath));
    if (pattern.size() >= PATH_MAX)
        throw OutputError(outputPath, "the name is too long");
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd =
        ::mkostemps(buffer.data(), static_cast<int>(ConverterFiles::kTemporarySuffix.size()), O_CLOEXEC);
    if (fd < 0)
        throw OutputError(outputPath, "cannot create a file in its folder: " + errnoText());
    m_path = buffer.data();
    std::memcpy(g_temporaryPath, m_path.c_str(), m_path.size() + 1);
    g_temporaryActive = 1;
    return fd;
}

void TemporaryOutput::linkInPlace()
{
    // linkat never replaces a name: an OUTPUT that appeared meanwhile is kept.
    const std::string self = "/proc/self/fd/" + std::to_string(::fileno(m_file));
    int rc = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, m_output.c_str(), AT_SYMLINK_FOLLOW);
    if (rc != 0 && errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0)
        rc = ::linkat(::fileno(m_file), "", AT_FDCWD, m_output.c_str(), AT_EMPTY_PATH);
    if (rc != 0)
        throw OutputError(m_output, errno == EEXIST ? "it appeared while converting; left as it is"
                                                    : "cannot put the file in place: " + errnoText());
}

void TemporaryOutput::renameInPlace(bool overwrite)
{
    if (overwrite) {
        if (::rename(m_path.c_str(), m_output.c_str()) != 0)
            throw OutputError(m_output, "cannot put the file in place: " + errnoText());
    } else if (const PrivateFile::Outcome moved = PrivateFile::publish(m_path.c_str(), m_output.c_str());
               !moved.ok()) {
        throw OutputError(m_output, moved.error == EEXIST
                                        ? "it appeared while converting; left as it is"
                                        : "cannot put the file in place: " + moved.reason());
    }
}

void TemporaryOutput::discard()
{
    g_temporaryActive = 0;
    if (!m_path.empty())
        ::unlink(m_path.c_str());
}

void checkOutput(const std::string& outputPath, const struct stat* input, const Options& options)
{
    if (outputPath.empty())
        throw ConversionError("the output name is empty");
    if (outputPath.back() == '/')
        throw OutputError(outputPath, "names a folder, not a file");
    struct stat st
    {
    };
    if (::lstat(outputPath.c_str(), &st) == 0) {
        if (!options.overwrite)
            throw OutputError(outputPath, "already exists; not replaced (give -f to replace it)");
        if (S_ISDIR(st.st_mode))
            throw OutputError(outputPath, "is a folder");
        struct stat target
        {
        };
        if (input && ::stat(outputPath.c_str(), &target) == 0 && target.st_dev == input->st_dev &&
            target.st_ino == input->st_ino)
            throw OutputError(outputPath, "is the input file itself");
    }
    struct stat folder
    {
    };
    if (::stat(PrivateFile::folderOf(outputPath).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
        throw OutputError(outputPath, "its folder does not exist");
}

void removeTemporaryOnSignal()
{
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
}

} // namespace tiff2pdf
