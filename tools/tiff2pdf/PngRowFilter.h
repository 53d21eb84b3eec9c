// SPDX-License-Identifier: GPL-3.0-or-later
// PNG row filters (the /Predictor 15 family) chosen row by row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tiff2pdf {

/// PNG row filtering with an adaptive choice per row: the filter whose output would take the fewest
/// bits with an order-0 entropy coder (what deflate's Huffman stage is). The usual choice, the
/// smallest sum of magnitudes, is close to this on photographs and scanned paper, but picks a
/// difference filter for halftoned or flat-toned rows (a CMYK page of 0 and 255 dots), whose
/// differences take three symbols where the samples take two.
class PngRowFilter
{
public:
    PngRowFilter(std::size_t rowBytes, unsigned bytesPerPixel);

    /// The filtered row, its filter type byte first (rowBytes + 1 bytes).
    const std::uint8_t* filter(const std::uint8_t* row);

    /// What the last row's filtered bytes take at best with an order-0 coder, in bits.
    double lastBits() const { return m_lastBits; }

private:
    std::size_t m_rowBytes;
    std::size_t m_bpp;
    std::vector<std::uint8_t> m_previous;
    std::vector<std::uint8_t> m_out;
    std::vector<float> m_cLogC; // c log2 c for every count a row can have
    std::uint32_t m_histogram[5][256];
    double m_lastBits = 0;
};

} // namespace tiff2pdf
