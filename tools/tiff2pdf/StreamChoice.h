// SPDX-License-Identifier: GPL-3.0-or-later
// Choosing, before a page is compressed, whether its pixels go with PNG row filters or as they are.
#pragma once

#include "BandReader.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tiff2pdf {

enum class FlateStream {
    Filtered,     ///< PNG row filters (/Predictor 15), busy bands with a light search
    FilteredRuns, ///< PNG row filters, busy bands with runs alone
    Plain,        ///< the samples as they are, zlib's default level
};

/// Compressed bytes of the same sampled rows, each way.
struct StreamTrial
{
    std::uint64_t filtered = 0;
    std::uint64_t filteredRuns = 0;
    std::uint64_t plain = 0;
    std::uint64_t sampled = 0; ///< bytes of the sampled rows, as they are
    std::uint64_t literal = 0; ///< the same bytes coded one by one, no matches (their entropy)
    bool twoLevel = true;      ///< every sampled sample is 0 or 255 (8-bit samples)
};

/// Whether each of the bytes is 0 or 255: 8-bit samples that a bit each says as well.
bool twoLevel(const std::uint8_t* samples, std::size_t count);

/// The rows to compress both ways: bands spread evenly down the page, aligned to the effort bands;
/// the whole page when it is short.
std::vector<RowRange> sampleRows(std::uint32_t height);

/// Compresses the sampled rows of the page every way, counting bytes only, and looks whether they
/// hold samples of 0 and 255 alone. The reader decodes only
/// the strips or tiles that hold them (and the band of rows before each, which sets the filter and
/// the effort as the whole page's pass would have them).
StreamTrial trySample(BandReader& reader, std::uint32_t height, std::size_t outRow, unsigned bytesPerPixel);

/// The stream the whole page is to be compressed into.
FlateStream chooseStream(const StreamTrial& trial);

/// The zlib level of the page's stream without row filters: kPlainLevel, or a light one where the
/// sample shows that matches gain little over coding byte by byte.
int plainLevel(const StreamTrial& trial);

} // namespace tiff2pdf
