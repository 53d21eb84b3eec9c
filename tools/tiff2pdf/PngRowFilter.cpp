// SPDX-License-Identifier: GPL-3.0-or-later
#include "PngRowFilter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tiff2pdf {

PngRowFilter::PngRowFilter(std::size_t rowBytes, unsigned bytesPerPixel)
    : m_rowBytes(rowBytes), m_bpp(bytesPerPixel), m_previous(rowBytes, 0), m_out(rowBytes + 1),
      m_cLogC(rowBytes + 1)
{
    for (std::size_t c = 1; c <= rowBytes; ++c)
        m_cLogC[c] = static_cast<float>(double(c) * std::log2(double(c)));
}

namespace {

/// Rows at least this long choose their filter from every kStride-th byte. The stride is coprime
/// with every pixel size the converter filters (1, 2, 3, 4, 6 and 8 bytes), so each channel is
/// counted alike; a fifth of a row's bytes still gives hundreds of counts, enough to rank five
/// filters, and the row's own filtering then costs one filter instead of five.
constexpr std::size_t kStride = 5;
constexpr std::size_t kStrideFrom = kStride * 256;

int paeth(int a, int b, int c)
{
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

} // namespace

const std::uint8_t* PngRowFilter::filter(const std::uint8_t* row)
{
    const std::size_t n = m_rowBytes, bpp = m_bpp;
    const std::uint8_t* up = m_previous.data();
    std::uint8_t* out = m_out.data();
    // A row the same as the one above (margins, the inside of a box, a flat tint: most rows of a
    // form) is all zeros after Up, which no other filter beats; it costs no count.
    if (std::memcmp(row, up, n) == 0) {
        out[0] = 2;
        std::memset(out + 1, 0, n);
        m_lastBits = 0;
        return out;
    }
    const std::size_t stride = n >= kStrideFrom ? kStride : 1;
    std::memset(m_histogram, 0, sizeof m_histogram);
    std::size_t counted = 0;
    for (std::size_t i = 0; i < n; i += stride, ++counted) {
        const int x = row[i];
        const int a = i >= bpp ? row[i - bpp] : 0;
        const int b = up[i];
        const int cc = i >= bpp ? up[i - bpp] : 0;
        ++m_histogram[0][static_cast<std::uint8_t>(x)];
        ++m_histogram[1][static_cast<std::uint8_t>(x - a)];
        ++m_histogram[2][static_cast<std::uint8_t>(x - b)];
        ++m_histogram[3][static_cast<std::uint8_t>(x - ((a + b) >> 1))];
        ++m_histogram[4][static_cast<std::uint8_t>(x - paeth(a, b, cc))];
    }
    // Bits of the counted bytes = k log2 k - sum of c log2 c over their counts: the largest sum wins.
    int best = 0;
    float bestSum = -1;
    for (int f = 0; f < 5; ++f) {
        float sum = 0;
        for (int v = 0; v < 256; ++v)
            sum += m_cLogC[m_histogram[f][v]];
        if (sum > bestSum) {
            bestSum = sum;
            best = f;
        }
    }
    m_lastBits =
        counted ? (static_cast<double>(m_cLogC[counted]) - bestSum) * double(n) / double(counted) : 0;

    out[0] = static_cast<std::uint8_t>(best);
    std::uint8_t* o = out + 1;
    const std::size_t head = std::min(bpp, n);
    switch (best) {
    case 0:
        std::memcpy(o, row, n);
        break;
    case 1:
        std::memcpy(o, row, head);
        for (std::size_t i = head; i < n; ++i)
            o[i] = static_cast<std::uint8_t>(row[i] - row[i - bpp]);
        break;
    case 2:
        for (std::size_t i = 0; i < n; ++i)
            o[i] = static_cast<std::uint8_t>(row[i] - up[i]);
        break;
    case 3:
        for (std::size_t i = 0; i < head; ++i)
            o[i] = static_cast<std::uint8_t>(row[i] - (up[i] >> 1));
        for (std::size_t i = head; i < n; ++i)
            o[i] = static_cast<std::uint8_t>(row[i] - ((row[i - bpp] + up[i]) >> 1));
        break;
    default:
        for (std::size_t i = 0; i < head; ++i)
            o[i] = static_cast<std::uint8_t>(row[i] - up[i]); // Paeth of (0, b, 0) is b
        for (std::size_t i = head; i < n; ++i)
            o[i] = static_cast<std::uint8_t>(row[i] - paeth(row[i - bpp], up[i], up[i - bpp]));
        break;
    }
    std::memcpy(m_previous.data(), row, n);
    return out;
}

} // namespace tiff2pdf
