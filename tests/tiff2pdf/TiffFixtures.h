// SPDX-License-Identifier: GPL-3.0-or-later
// Small TIFF files written with libtiff for the converter's tests and fuzz seeds, with the pixels
// they hold, so a test can compare what comes out of the PDF against what went in.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fixtures {

constexpr std::uint16_t kNoExtraSample = 0xFFFF;

struct PageLayout
{
    std::uint32_t width = 64;
    std::uint32_t height = 40;
    std::uint16_t bps = 8;
    std::uint16_t spp = 1;
    std::uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    std::uint16_t compression = COMPRESSION_NONE;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    std::uint16_t predictor = PREDICTOR_NONE;
    std::uint16_t fillOrder = FILLORDER_MSB2LSB;
    std::uint16_t orientation = ORIENTATION_TOPLEFT;
    std::uint32_t subfileType = 0;  ///< FILETYPE_REDUCEDIMAGE for a thumbnail
    std::uint32_t rowsPerStrip = 0; ///< 0: the whole image in one strip
    std::uint32_t tileWidth = 0;    ///< tiled when non-zero
    std::uint32_t tileLength = 0;
    std::uint16_t extraSample = kNoExtraSample;
    std::uint32_t group3Options = 0;
    int jpegQuality = 90;
    bool jpegFromRgb = false; ///< YCbCr JPEG written from RGB pixels by libjpeg
    bool resolution = true;
    float xres = 72;
    float yres = 72;
    std::uint16_t resUnit = RESUNIT_INCH;
    bool bigEndian = false;
    std::vector<std::uint16_t> colormap; ///< red, green, blue tables one after the other
};

struct Page
{
    PageLayout layout;
    /// Rows of ceil(width * spp * bps / 8) bytes, samples interleaved, 16-bit samples in host order;
    /// RGB for a YCbCr JPEG.
    std::vector<std::uint8_t> pixels;
};

/// Bytes of one row of `channels` samples.
std::size_t rowBytes(const PageLayout& layout, unsigned channels);
/// Deterministic pixels for the layout: text-like strokes for bilevel pages, varied values otherwise.
std::vector<std::uint8_t> makePixels(const PageLayout& layout, unsigned seed);
/// A colour map of 2^bps entries for palette images.
std::vector<std::uint16_t> makeColormap(unsigned bps);
Page makePage(const PageLayout& layout, unsigned seed);

/// Writes the pages as one TIFF file. Returns an error text, empty on success.
std::string writeTiff(const std::string& path, const std::vector<Page>& pages);

struct Named
{
    std::string name;
    std::vector<Page> pages;
};
/// Every kind of page the converter must handle, one file each (used as the fuzz seed corpus too).
std::vector<Named> allKinds();

} // namespace fixtures
