#include "PngRowFilter.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tiff2pdf {

PngRowFilter::PngRowFilter(std::size_t rowBytes, unsigned bytesPerPixel)
    : m_rowBytes(rowBytes), m_bpp(bytesPerPixel), m_previous(rowBytes, 0), m_candidates(5 * (rowBytes + 1)),
      m_cLogC(rowBytes + 1)
{
    for (std::size_t c = 1; c <= rowBytes; ++c)
        m_cLogC[c] = static_cast<float>(double(c) * std::log2(double(c)));
}

const std::uint8_t* PngRowFilter::filter(const std::uint8_t* row)
{
    const std::size_t n = m_rowBytes, bpp = m_bpp;
    std::uint8_t* c[5];
    for (int f = 0; f < 5; ++f) {
        c[f] = m_candidates.data() + f * (n + 1);
        c[f][0] = static_cast<std::uint8_t>(f);
        ++c[f];
    }
    const std::uint8_t* up = m_previous.data();
    std::memset(m_histogram, 0, sizeof m_histogram);
    for (std::size_t i = 0; i < n; ++i) {
        const int x = row[i];
        const int a = i >= bpp ? row[i - bpp] : 0;
        const int b = up[i];
        const int cc = i >= bpp ? up[i - bpp] : 0;
        const int p = a + b - cc;
        const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - cc);
        const int paeth = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : cc);
        const std::uint8_t v[5] = {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(x - a),
                                   static_cast<std::uint8_t>(x - b), static_cast<std::uint8_t>(x - ((a + b) >> 1)),
                                   static_cast<std::uint8_t>(x - paeth)};
        for (int f = 0; f < 5; ++f) {
            c[f][i] = v[f];
            ++m_histogram[f][v[f]];
        }
    }
    // Bits of the row = n log2 n - sum of c log2 c over its byte counts: the largest sum wins.
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
    std::memcpy(m_previous.data(), row, n);
    m_lastBits = static_cast<double>(n ? m_cLogC[n] : 0) - bestSum;
    return c[best] - 1;
}

} // namespace tiff2pdf
