// SPDX-License-Identifier: GPL-3.0-or-later
// What one TIFF page is and how its image goes into the PDF.
#pragma once

#include "TiffSupport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tiff2pdf {

/// How the image data reaches the PDF.
enum class Carriage {
    PassCcitt,  ///< the single CCITT strip, untouched, as CCITTFaxDecode
    PassJpeg,   ///< the single JPEG strip (with the shared tables merged in), as DCTDecode
    PassFlate,  ///< the single Deflate strip, untouched, as FlateDecode with the TIFF predictor
    ReencodeG4, ///< bilevel pixels decoded and encoded again as CCITT G4 (lossless)
    Flate,      ///< pixels decoded and compressed with Flate (lossless)
};

enum class ColourModel {
    Gray,
    Rgb,
    Cmyk,
    Indexed,
};

enum class Alpha {
    None,
    Straight,      ///< unassociated alpha: a plain soft mask
    Premultiplied, ///< associated alpha: a soft mask with /Matte, colours stay as stored
};

struct PagePlan
{
    tdir_t directory = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t bitsPerSample = 1;
    std::uint16_t samplesPerPixel = 1;
    std::uint16_t photometric = 0;
    std::uint16_t compression = 1;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    std::uint16_t predictor = 1;
    std::uint16_t orientation = ORIENTATION_TOPLEFT;
    std::uint16_t fillOrder = FILLORDER_MSB2LSB;
    bool tiled = false;
    std::uint32_t rowsPerStrip = 0;
    std::uint32_t tileWidth = 0;
    std::uint32_t tileLength = 0;
    bool jpegToRgb = false; ///< decode YCbCr JPEG data as RGB

    Carriage carriage = Carriage::Flate;
    ColourModel model = ColourModel::Gray;
    std::uint16_t colourChannels = 1; ///< channels of the colour image (without alpha)
    Alpha alpha = Alpha::None;
    bool minIsWhite = false;     ///< gray values run from white to black: /Decode [1 0] or BlackIs1 false
    std::string palette;         ///< Indexed lookup table, 3 bytes per entry
    int ccittK = -1;             ///< K of CCITTFaxDecode
    int jpegColorTransform = -1; ///< /ColorTransform for DCTDecode, -1 to leave it out

    double xDpi = 300;
    double yDpi = 300;
    double pageWidthPt = 0;  ///< after orientation
    double pageHeightPt = 0; ///< after orientation
};

/// Pages without a resolution tag are taken as scanned at this resolution.
constexpr double kDefaultDpi = 300.0;
/// Largest accepted side, in pixels, and largest page, in pixels.
constexpr std::uint32_t kMaxSide = 1u << 20;
constexpr std::uint64_t kMaxPixels = std::uint64_t(1) << 32;

/// Reads the current directory of `tif` (page number `index`, from 0) and decides how to carry it.
/// Validates any data that is to be passed through. Throws ConversionError with the cause.
PagePlan planPage(TIFF* tif, tdir_t index, TiffMessages& messages);

/// Bytes of one interleaved row as the PDF image carries it, for `channels` samples per pixel.
std::uint64_t rowBytes(const PagePlan& plan, unsigned channels);

/// "page N", as reports name the page.
std::string pageText(const PagePlan& plan);

/// A buffer of `size` bytes for the page, refused (ConversionError) above kMaxAlloc.
std::vector<std::uint8_t> allocate(std::uint64_t size, const PagePlan& plan);

} // namespace tiff2pdf
