// SPDX-License-Identifier: GPL-3.0-or-later
#include "BandReader.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace tiff2pdf {

namespace {

void swapToBigEndian16(std::uint8_t* data, std::size_t bytes)
{
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        for (std::size_t i = 0; i + 1 < bytes; i += 2)
            std::swap(data[i], data[i + 1]);
    }
}

} // namespace

BandReader::BandReader(TIFF* tif, const PagePlan& plan, TiffMessages& messages, std::uint64_t bandLimit)
    : m_tif(tif), m_plan(plan), m_messages(messages), m_rowBytes(rowBytes(plan, plan.samplesPerPixel)),
      m_bandLimit(bandLimit)
{
}

void BandReader::run(const RowsSink& sink, const std::vector<RowRange>& only)
{
    m_only = only;
    if (m_plan.tiled)
        readTiles(sink);
    else if (m_plan.planar == PLANARCONFIG_SEPARATE && m_plan.samplesPerPixel > 1)
        readSeparateStrips(sink);
    else
        readContigStrips(sink);
}

void BandReader::fail(const std::string& what)
{
    throw ConversionError(m_messages.with(pageText(m_plan) + ": " + what));
}

bool BandReader::wanted(std::uint32_t first, std::uint32_t count) const
{
    if (m_only.empty())
        return true;
    for (const RowRange& r : m_only)
        if (r.first < first + count && first < r.first + r.count)
            return true;
    return false;
}

void BandReader::deliver(std::uint8_t* rows, std::uint32_t first, std::uint32_t count, const RowsSink& sink)
{
    m_bandFirst = first;
    if (m_plan.bitsPerSample == 16)
        swapToBigEndian16(rows, static_cast<std::size_t>(m_rowBytes * count));
    sink(rows, count);
}

void BandReader::readContigStrips(const RowsSink& sink)
{
    const std::uint64_t scanline = TIFFScanlineSize64(m_tif);
    if (scanline != m_rowBytes)
        fail("unexpected row size " + std::to_string(scanline) + " bytes, expected " +
             std::to_string(m_rowBytes));
    const std::uint32_t rps = std::min(m_plan.rowsPerStrip, m_plan.height);
    if (std::uint64_t(rps) * m_rowBytes > m_bandLimit) {
        readScanlines(sink);
        return;
    }
    const std::uint32_t strips = TIFFNumberOfStrips(m_tif);
    const std::uint64_t needed = (std::uint64_t(m_plan.height) + rps - 1) / rps;
    if (strips < needed)
        fail("has " + std::to_string(strips) + " strips, " + std::to_string(needed) + " needed");
    if (m_strip.size() != std::uint64_t(rps) * m_rowBytes) {
        m_strip = allocate(std::uint64_t(rps) * m_rowBytes, m_plan);
        m_stripHeld = std::numeric_limits<std::uint32_t>::max();
    }
    for (std::uint32_t s = 0; s < needed; ++s) {
        const std::uint32_t rows = std::min<std::uint32_t>(rps, m_plan.height - s * rps);
        if (!wanted(s * rps, rows))
            continue;
        const tmsize_t want = static_cast<tmsize_t>(std::uint64_t(rows) * m_rowBytes);
        if (s != m_stripHeld) {
            m_messages.clear();
            const tmsize_t got = TIFFReadEncodedStrip(m_tif, s, m_strip.data(), want);
            if (got < want)
                fail("strip " + std::to_string(s + 1) + " is truncated or corrupt");
            // 16-bit samples are turned big-endian in place as they are handed on: not to be reused.
            m_stripHeld = m_plan.bitsPerSample == 16 ? std::numeric_limits<std::uint32_t>::max() : s;
        }
        deliver(m_strip.data(), s * rps, rows, sink);
    }
}

void BandReader::readScanlines(const RowsSink& sink)
{
    constexpr std::uint32_t kRows = 16;
    auto band = allocate(std::uint64_t(kRows) * m_rowBytes, m_plan);
    // Compressed rows can only be decoded in order: rows that are not wanted are decoded and passed
    // over, up to the last wanted one.
    std::uint32_t end = m_plan.height;
    if (!m_only.empty()) {
        end = 0;
        for (const RowRange& r : m_only)
            end = std::max(end, std::min(m_plan.height, r.first + r.count));
    }
    std::uint32_t inBand = 0, bandStart = 0;
    for (std::uint32_t row = 0; row < end; ++row) {
        const bool take = wanted(row, 1);
        if (!take && inBand) {
            deliver(band.data(), bandStart, inBand, sink);
            inBand = 0;
        }
        if (take && inBand == 0)
            bandStart = row;
        m_messages.clear();
        if (TIFFReadScanline(m_tif, band.data() + inBand * m_rowBytes, row, 0) != 1)
            fail("row " + std::to_string(row + 1) + " is truncated or corrupt");
        if (take && ++inBand == kRows) {
            deliver(band.data(), bandStart, inBand, sink);
            inBand = 0;
        }
    }
    if (inBand)
        deliver(band.data(), bandStart, inBand, sink);
}

void BandReader::readSeparateStrips(const RowsSink& sink)
{
    const unsigned spp = m_plan.samplesPerPixel;
    const unsigned bytesPerSample = m_plan.bitsPerSample / 8;
    const std::uint32_t rps = std::min(m_plan.rowsPerStrip, m_plan.height);
    const std::uint64_t planeRow = std::uint64_t(m_plan.width) * bytesPerSample;
    if (TIFFScanlineSize64(m_tif) != planeRow)
        fail("unexpected row size in a separate plane");
    const std::uint32_t perPlane = static_cast<std::uint32_t>((std::uint64_t(m_plan.height) + rps - 1) / rps);
    if (std::uint64_t(TIFFNumberOfStrips(m_tif)) < std::uint64_t(perPlane) * spp)
        fail("has too few strips for its planes");
    auto plane = allocate(std::uint64_t(rps) * planeRow, m_plan);
    auto band = allocate(std::uint64_t(rps) * m_rowBytes, m_plan);
    for (std::uint32_t s = 0; s < perPlane; ++s) {
        const std::uint32_t rows = std::min<std::uint32_t>(rps, m_plan.height - s * rps);
        if (!wanted(s * rps, rows))
            continue;
        const tmsize_t want = static_cast<tmsize_t>(std::uint64_t(rows) * planeRow);
        for (unsigned p = 0; p < spp; ++p) {
            m_messages.clear();
            if (TIFFReadEncodedStrip(m_tif, s + p * perPlane, plane.data(), want) < want)
                fail("strip " + std::to_string(s + p * perPlane + 1) + " is truncated or corrupt");
            const std::uint64_t pixels = std::uint64_t(rows) * m_plan.width;
            for (std::uint64_t i = 0; i < pixels; ++i)
                std::memcpy(&band[(i * spp + p) * bytesPerSample], &plane[i * bytesPerSample],
                            bytesPerSample);
        }
        deliver(band.data(), s * rps, rows, sink);
    }
}

void BandReader::readTiles(const RowsSink& sink)
{
    const bool separate = m_plan.planar == PLANARCONFIG_SEPARATE && m_plan.samplesPerPixel > 1;
    const unsigned spp = m_plan.samplesPerPixel;
    const unsigned planes = separate ? spp : 1;
    const std::uint32_t tw = m_plan.tileWidth;
    const std::uint32_t th = m_plan.tileLength;
    const std::uint64_t tileRow = TIFFTileRowSize64(m_tif);
    const std::uint64_t tileSize = TIFFTileSize64(m_tif);
    const unsigned bitsPerTilePixel = separate ? m_plan.bitsPerSample : m_plan.bitsPerSample * spp;
    if (tileRow != (std::uint64_t(tw) * bitsPerTilePixel + 7) / 8 || tileSize != tileRow * th)
        fail("unexpected tile size");
    if ((std::uint64_t(tw) * bitsPerTilePixel) % 8 != 0)
        fail("tile width " + std::to_string(tw) + " does not end on a byte boundary");
    auto tile = allocate(tileSize, m_plan);
    auto band = allocate(std::uint64_t(th) * m_rowBytes, m_plan);
    const unsigned bytesPerSample = m_plan.bitsPerSample / 8;
    for (std::uint32_t y = 0; y < m_plan.height; y += th) {
        const std::uint32_t rows = std::min(th, m_plan.height - y);
        if (!wanted(y, rows))
            continue;
        for (std::uint32_t x = 0; x < m_plan.width; x += tw) {
            const std::uint32_t cols = std::min(tw, m_plan.width - x);
            for (unsigned p = 0; p < planes; ++p) {
                const std::uint32_t index = TIFFComputeTile(m_tif, x, y, 0, static_cast<std::uint16_t>(p));
                if (index >= TIFFNumberOfTiles(m_tif))
                    fail("has too few tiles");
                m_messages.clear();
                if (TIFFReadEncodedTile(m_tif, index, tile.data(), static_cast<tmsize_t>(tileSize)) <
                    static_cast<tmsize_t>(tileSize))
                    fail("tile " + std::to_string(index + 1) + " is truncated or corrupt");
                for (std::uint32_t r = 0; r < rows; ++r) {
                    const std::uint8_t* src = tile.data() + r * tileRow;
                    std::uint8_t* dst = band.data() + r * m_rowBytes;
                    if (!separate) {
                        const std::uint64_t start = std::uint64_t(x) * bitsPerTilePixel / 8;
                        const std::uint64_t count = std::min<std::uint64_t>(tileRow, m_rowBytes - start);
                        std::memcpy(dst + start, src, static_cast<std::size_t>(count));
                    } else {
                        for (std::uint32_t c = 0; c < cols; ++c)
                            std::memcpy(dst + ((std::uint64_t(x) + c) * spp + p) * bytesPerSample,
                                        src + std::uint64_t(c) * bytesPerSample, bytesPerSample);
                    }
                }
            }
        }
        deliver(band.data(), y, rows, sink);
    }
}

} // namespace tiff2pdf
