// SPDX-License-Identifier: GPL-3.0-or-later
#include "FilteredRows.h"

namespace tiff2pdf {

namespace {

/// Bits per byte, after filtering, below which a band counts as smooth.
constexpr double kSmoothBitsPerByte = 1.5;

} // namespace

FilteredRows::FilteredRows(FlateTarget& flate, std::size_t outRow, unsigned bytesPerPixel, BusyEffort busy)
    : m_flate(flate), m_filter(outRow, bytesPerPixel), m_outRow(outRow),
      m_runLength(bytesPerPixel == 1 && busy == BusyEffort::Runs), m_busy(busy)
{
}

// After PNG filtering, scanner noise leaves few long matches. Some pages repeat a pixel back, or
// (gray forms) the shapes of text, where a full search does best; on others the residues seldom
// repeat at all and runs alone come out as small or smaller in a fraction of the time; which one a
// page is, its sample decides (StreamChoice).
int FilteredRows::firstLevel(BusyEffort busy)
{
    return busy == BusyEffort::Runs ? kFlateLevel : kBusyLevel;
}

int FilteredRows::strategy(BusyEffort busy)
{
    return busy == BusyEffort::Runs ? Z_RLE : Z_DEFAULT_STRATEGY;
}

void FilteredRows::write(const std::uint8_t* row)
{
    m_flate.write(m_filter.filter(row), m_outRow + 1);
    account();
}

const std::uint8_t* FilteredRows::prime(const std::uint8_t* row)
{
    const std::uint8_t* filtered = m_filter.filter(row);
    account();
    return filtered;
}

void FilteredRows::account()
{
    if (m_runLength)
        return;
    // Smooth, flat or halftoned bands (few bits per byte after filtering) repeat far more than
    // the coder's order-0 estimate shows, and the full search (level 6) finds it: photographs and
    // prepress CMYK shrink by a third. Scanner noise does not, and there level 3 is as small and
    // several times faster. Decided per band of rows from the band before.
    m_bandBits += m_filter.lastBits();
    if (++m_bandRows == kEffortBand) {
        if (m_bandBits < kSmoothBitsPerByte * double(kEffortBand) * double(m_outRow))
            m_flate.setLevel(kFlateLevel);
        else if (m_busy == BusyEffort::Runs)
            m_flate.setLevel(kFlateLevel, Z_RLE);
        else
            m_flate.setLevel(kBusyLevel);
        m_bandBits = 0;
        m_bandRows = 0;
    }
}

} // namespace tiff2pdf
