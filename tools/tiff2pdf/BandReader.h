// Decoding a page's pixels through libtiff, a band of whole rows at a time.
#pragma once

#include "PagePlan.h"

#include <cstdint>
#include <functional>

namespace tiff2pdf {

/// Decoded pixels are handed on in bands of this many bytes at most; a single strip larger than
/// this is read row by row.
constexpr std::uint64_t kBandLimit = 64ull * 1024 * 1024;

/// Decodes the page through libtiff and hands on whole rows (interleaved samples, 16-bit samples
/// big-endian as PDF wants them) in bands.
class BandReader
{
public:
    using RowsSink = std::function<void(const std::uint8_t* rows, std::uint32_t count)>;

    /// Strips larger than `bandLimit` bytes are read a row at a time.
    BandReader(TIFF* tif, const PagePlan& plan, TiffMessages& messages, std::uint64_t bandLimit = kBandLimit);

    std::uint64_t rowBytesOut() const { return m_rowBytes; }

    void run(const RowsSink& sink);

private:
    [[noreturn]] void fail(const std::string& what);
    void deliver(std::uint8_t* rows, std::uint32_t count, const RowsSink& sink);
    void readContigStrips(const RowsSink& sink);
    void readScanlines(const RowsSink& sink);
    void readSeparateStrips(const RowsSink& sink);
    void readTiles(const RowsSink& sink);

    TIFF* m_tif;
    const PagePlan& m_plan;
    TiffMessages& m_messages;
    std::uint64_t m_rowBytes;
    std::uint64_t m_bandLimit;
};

} // namespace tiff2pdf
