// SPDX-License-Identifier: GPL-3.0-or-later
// Rows through the PNG row filter into a zlib stream, the compression effort set band by band.
#pragma once

#include "FlateWriter.h"
#include "PngRowFilter.h"

#include <cstddef>
#include <cstdint>

namespace tiff2pdf {

/// Rows of this many make a band, the unit the compression effort is chosen for.
constexpr std::uint32_t kEffortBand = 16;

/// How bands that are not smooth are compressed, with several bytes per pixel.
enum class BusyEffort {
    Search, ///< a light full search (level 3), which finds a pixel repeated a few bytes back
    Runs,   ///< runs alone (Z_RLE), several times faster where filtered residues seldom repeat
};

/// Rows through the PNG filter into the compressor, its effort set band by band.
class FilteredRows
{
public:
    /// With one byte per pixel and runs alone, the stream is Z_RLE throughout, smooth bands too.
    FilteredRows(FlateTarget& flate, std::size_t outRow, unsigned bytesPerPixel, BusyEffort busy);

    /// The level and strategy the stream must start with.
    static int firstLevel(BusyEffort busy);
    static int strategy(BusyEffort busy);

    void write(const std::uint8_t* row);
    /// Takes the row into the filter's memory and the effort's measure without compressing it: the
    /// rows that follow are then filtered exactly as they would be after it. Returns the filtered
    /// row (type byte first), valid until the next call.
    const std::uint8_t* prime(const std::uint8_t* row);

private:
    void account();

    FlateTarget& m_flate;
    PngRowFilter m_filter;
    std::size_t m_outRow;
    bool m_runLength;
    BusyEffort m_busy;
    double m_bandBits = 0;
    std::uint32_t m_bandRows = 0;
};

} // namespace tiff2pdf
