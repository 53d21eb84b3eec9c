// SPDX-License-Identifier: GPL-3.0-or-later
// Opening TIFF data with libtiff under memory limits, with libtiff's messages captured for our own reports.
#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tiff2pdf {

/// Largest single buffer libtiff or this program allocates for one page. Well above an A3 colour page at
/// 600 dpi, small enough that a forged header cannot make the converter exhaust the machine.
constexpr std::uint64_t kMaxAlloc = 512ull * 1024 * 1024;

/// A failure to report: the text is the cause, without the file name.
class ConversionError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

/// A failure of a file being written: the text is the cause, and `file()` names the file, put in
/// front of it where the failure is reported.
class OutputError : public ConversionError
{
public:
    OutputError(std::string file, const std::string& cause) : ConversionError(cause), m_file(std::move(file))
    {
    }
    const std::string& file() const { return m_file; }

private:
    std::string m_file;
};

/// Collects libtiff's errors for one TIFF handle; warnings are dropped.
struct TiffMessages
{
    std::string firstError;
    void clear() { firstError.clear(); }
    /// "cause" or "cause (libtiff: first error)".
    std::string with(const std::string& cause) const;
};

struct TiffCloser
{
    void operator()(TIFF* tif) const;
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

/// Growable in-memory file for libtiff's client I/O, read-only over borrowed bytes or writable.
class MemoryFile
{
public:
    MemoryFile(const std::uint8_t* data, std::size_t size); // read-only view
    MemoryFile();                                           // empty, writable

    const std::uint8_t* data() const { return m_view ? m_view : m_owned.data(); }
    std::size_t size() const { return m_view ? m_viewSize : m_owned.size(); }

    tmsize_t read(void* buffer, tmsize_t count);
    tmsize_t write(const void* buffer, tmsize_t count);
    toff_t seek(toff_t offset, int whence);

private:
    const std::uint8_t* m_view = nullptr;
    std::size_t m_viewSize = 0;
    std::vector<std::uint8_t> m_owned;
    std::uint64_t m_pos = 0;
};

/// Opens a TIFF file for reading (no memory mapping: a file truncated while we read it must give an
/// error, not a SIGBUS). Throws ConversionError.
TiffPtr openTiffFile(const std::string& path, TiffMessages& messages);
/// Opens TIFF bytes (kept alive by `file`) for reading or, with mode "w", for writing.
TiffPtr openTiffMemory(MemoryFile& file, const char* mode, TiffMessages& messages);

} // namespace tiff2pdf
