// SPDX-License-Identifier: GPL-3.0-or-later
// Decoding a page's pixels through libtiff, a band of whole rows at a time.
#pragma once

#include "PagePlan.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

namespace tiff2pdf {

/// Decoded pixels are handed on in bands of this many bytes at most; a single strip larger than
/// this is read row by row.
constexpr std::uint64_t kBandLimit = 64ull * 1024 * 1024;

/// Rows [first, first + count) of a page.
struct RowRange
{
    std::uint32_t first = 0;
    std::uint32_t count = 0;
};

/// Decodes the page through libtiff and hands on whole rows (interleaved samples, 16-bit samples
/// big-endian as PDF wants them) in bands.
class BandReader
{
public:
    using RowsSink = std::function<void(const std::uint8_t* rows, std::uint32_t count)>;

    /// Strips larger than `bandLimit` bytes are read a row at a time.
    BandReader(TIFF* tif, const PagePlan& plan, TiffMessages& messages, std::uint64_t bandLimit = kBandLimit);

    std::uint64_t rowBytesOut() const { return m_rowBytes; }

    /// Hands on every row of the page; with `only`, just the bands of rows that meet those ranges
    /// (strips and tiles holding none of them are not decoded). The same reader may run again.
    void run(const RowsSink& sink, const std::vector<RowRange>& only = {});
    /// Page row of the first row of the band being handed on.
    std::uint32_t bandFirstRow() const { return m_bandFirst; }

private:
    [[noreturn]] void fail(const std::string& what);
    bool wanted(std::uint32_t first, std::uint32_t count) const;
    void deliver(std::uint8_t* rows, std::uint32_t first, std::uint32_t count, const RowsSink& sink);
    void readContigStrips(const RowsSink& sink);
    void readScanlines(const RowsSink& sink);
    void readSeparateStrips(const RowsSink& sink);
    void readTiles(const RowsSink& sink);

    TIFF* m_tif;
    const PagePlan& m_plan;
    TiffMessages& m_messages;
    std::uint64_t m_rowBytes;
    std::uint64_t m_bandLimit;
    std::vector<RowRange> m_only;
    std::uint32_t m_bandFirst = 0;
    // The last strip decoded, kept for the next run: a page in one strip is then decoded once even
    // when a few of its rows were read before the whole of it.
    std::vector<std::uint8_t> m_strip;
    std::uint32_t m_stripHeld = std::numeric_limits<std::uint32_t>::max();
};

} // namespace tiff2pdf
