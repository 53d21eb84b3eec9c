// Rows through the PNG row filter into a zlib stream, the compression effort set band by band.
#pragma once

#include "FlateWriter.h"
#include "PngRowFilter.h"

#include <cstddef>
#include <cstdint>

namespace tiff2pdf {

/// Rows of this many make a band, the unit the compression effort is chosen for.
constexpr std::uint32_t kEffortBand = 16;

/// Rows through the PNG filter into the compressor, its effort set band by band.
class FilteredRows
{
public:
    /// `runLength`: one byte per pixel, compressed with Z_RLE at one effort throughout.
    FilteredRows(FlateWriter& flate, std::size_t outRow, unsigned bytesPerPixel, bool runLength);

    /// The level and strategy the stream must start with.
    static int firstLevel(bool runLength);
    static int strategy(bool runLength);

    void write(const std::uint8_t* row);
    /// Takes the row into the filter's memory and the effort's measure without compressing it: the
    /// rows that follow are then filtered exactly as they would be after it. Returns the filtered
    /// row (type byte first), valid until the next call.
    const std::uint8_t* prime(const std::uint8_t* row);

private:
    void account();

    FlateWriter& m_flate;
    PngRowFilter m_filter;
    std::size_t m_outRow;
    bool m_runLength;
    double m_bandBits = 0;
    std::uint32_t m_bandRows = 0;
};

} // namespace tiff2pdf
