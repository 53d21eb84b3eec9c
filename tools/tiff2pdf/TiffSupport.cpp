// SPDX-License-Identifier: GPL-3.0-or-later
#include "TiffSupport.h"

#include "PrivateFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tiff2pdf {

namespace {

int captureError(TIFF*, void* userData, const char* module, const char* fmt, va_list ap)
{
    auto* messages = static_cast<TiffMessages*>(userData);
    if (messages && messages->firstError.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, fmt, ap);
        messages->firstError = (module && *module) ? std::string(module) + ": " + text : std::string(text);
    }
    return 1; // handled: nothing goes to stderr behind our back
}

int dropWarning(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

struct OptionsDeleter
{
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};

std::unique_ptr<TIFFOpenOptions, OptionsDeleter> makeOptions(TiffMessages& messages)
{
    std::unique_ptr<TIFFOpenOptions, OptionsDeleter> opts(TIFFOpenOptionsAlloc());
    if (!opts)
        throw ConversionError("out of memory");
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), static_cast<tmsize_t>(kMaxAlloc));
    TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), captureError, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), dropWarning, nullptr);
    return opts;
}

// Some libtiff messages are raised before a handle exists and go to the global handlers; keep them
// off stderr, the caller reports the failure itself.
void silenceGlobalHandlers()
{
    static const bool done = [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)done;
}

tmsize_t memRead(thandle_t h, void* buf, tmsize_t n)
{
    return static_cast<MemoryFile*>(h)->read(buf, n);
}
tmsize_t memWrite(thandle_t h, void* buf, tmsize_t n)
{
    return static_cast<MemoryFile*>(h)->write(buf, n);
}
toff_t memSeek(thandle_t h, toff_t off, int whence)
{
    return static_cast<MemoryFile*>(h)->seek(off, whence);
}
int memClose(thandle_t)
{
    return 0;
}
toff_t memSize(thandle_t h)
{
    return static_cast<MemoryFile*>(h)->size();
}
int memMap(thandle_t, void**, toff_t*)
{
    return 0;
}
void memUnmap(thandle_t, void*, toff_t) {}

} // namespace

std::string TiffMessages::with(const std::string& cause) const
{
    if (firstError.empty())
        return cause;
    return cause + " (libtiff: " + firstError + ")";
}

void TiffCloser::operator()(TIFF* tif) const
{
    if (tif)
        TIFFClose(tif);
}

MemoryFile::MemoryFile(const std::uint8_t* data, std::size_t size) : m_view(data), m_viewSize(size)
{
    if (!m_view) { // an empty input still needs a non-null view to stay read-only
        static const std::uint8_t empty = 0;
        m_view = &empty;
        m_viewSize = 0;
    }
}

MemoryFile::MemoryFile() = default;

tmsize_t MemoryFile::read(void* buffer, tmsize_t count)
{
    if (count < 0)
        return -1;
    const std::uint64_t available = m_pos < size() ? size() - m_pos : 0;
    const std::uint64_t n = std::min<std::uint64_t>(available, static_cast<std::uint64_t>(count));
    if (n)
        std::memcpy(buffer, data() + m_pos, n);
    m_pos += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t MemoryFile::write(const void* buffer, tmsize_t count)
{
    if (m_view || count < 0)
        return -1;
    const std::uint64_t end = m_pos + static_cast<std::uint64_t>(count);
    if (end > kMaxAlloc)
        return -1;
    if (end > m_owned.size())
        m_owned.resize(end);
    if (count)
        std::memcpy(m_owned.data() + m_pos, buffer, static_cast<std::size_t>(count));
    m_pos = end;
    return count;
}

toff_t MemoryFile::seek(toff_t offset, int whence)
{
    std::uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = m_pos;
    else if (whence == SEEK_END)
        base = size();
    const std::uint64_t target = base + offset;
    if (target < base || target > (std::uint64_t(1) << 62))
        return static_cast<toff_t>(-1);
    m_pos = target;
    return m_pos;
}

TiffPtr openTiffFile(const std::string& path, TiffMessages& messages)
{
    silenceGlobalHandlers();
    // Open the file ourselves: libtiff's own message for a missing file is less helpful than errno,
    // and a folder or a device must be refused before libtiff tries to read it. Whatever may have
    // been put in the file's place since the caller looked at it is neither followed (a link) nor
    // waited for (O_NONBLOCK: a FIFO would otherwise hold the open until someone writes to it).
    PrivateFile::Opened file = PrivateFile::open(path.c_str(), O_RDONLY);
    using Failed = PrivateFile::Outcome::Failed;
    if (file.outcome.failed == Failed::Open && file.outcome.error == ELOOP)
        throw ConversionError("it is a symbolic link, and links are never followed");
    if (file.outcome.failed == Failed::Open)
        throw ConversionError("cannot open it: " + file.outcome.reason());
    if (!file.outcome.ok())
        throw ConversionError("it is not a regular file");
    if (file.st.st_size == 0)
        throw ConversionError("it is empty");
    auto opts = makeOptions(messages);
    TIFF* tif = TIFFFdOpenExt(file.fd.get(), path.c_str(), "rm", opts.get());
    if (!tif)
        throw ConversionError(messages.with("it is not a readable TIFF file"));
    file.fd.release();
    return TiffPtr(tif); // TIFFClose closes the file
}

TiffPtr openTiffMemory(MemoryFile& file, const char* mode, TiffMessages& messages)
{
    silenceGlobalHandlers();
    if (mode[0] == 'r' && file.size() == 0)
        throw ConversionError("it is empty");
    file.seek(0, SEEK_SET); // libtiff reads the header from where the file stands
    auto opts = makeOptions(messages);
    TIFF* tif = TIFFClientOpenExt("memory", mode, &file, memRead, memWrite, memSeek, memClose, memSize,
                                  memMap, memUnmap, opts.get());
    if (!tif)
        throw ConversionError(messages.with(mode[0] == 'r' ? "it is not a readable TIFF file"
                                                           : "cannot create an in-memory TIFF"));
    return TiffPtr(tif);
}

} // namespace tiff2pdf
