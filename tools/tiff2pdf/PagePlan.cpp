// SPDX-License-Identifier: GPL-3.0-or-later
#include "PagePlan.h"

#include "PassThrough.h"

#include <cmath>

namespace tiff2pdf {

namespace {

bool oneOf(unsigned value, std::initializer_list<unsigned> allowed)
{
    for (unsigned a : allowed)
        if (value == a)
            return true;
    return false;
}

std::string compressionName(std::uint16_t c)
{
    switch (c) {
    case COMPRESSION_NONE:
        return "uncompressed";
    case COMPRESSION_CCITTRLE:
        return "CCITT modified Huffman";
    case COMPRESSION_CCITTFAX3:
        return "CCITT G3";
    case COMPRESSION_CCITTFAX4:
        return "CCITT G4";
    case COMPRESSION_LZW:
        return "LZW";
    case COMPRESSION_OJPEG:
        return "old-style JPEG";
    case COMPRESSION_JPEG:
        return "JPEG";
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
        return "Deflate";
    case COMPRESSION_PACKBITS:
        return "PackBits";
    default:
        return "compression " + std::to_string(c);
    }
}

/// Resolution in dots per inch, or 0 when the value is missing or absurd.
double dpi(float value, std::uint16_t unit)
{
    if (!std::isfinite(value) || value <= 0)
        return 0;
    const double d = unit == RESUNIT_CENTIMETER ? double(value) * 2.54 : double(value);
    return (d >= 1 && d <= 100000) ? d : 0;
}

void setPageSize(TIFF* tif, PagePlan& p)
{
    std::uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    float xr = 0, yr = 0;
    const bool hasX = TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xr) == 1;
    const bool hasY = TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yr) == 1;
    if (unit == RESUNIT_NONE) {
        // Only the aspect ratio is known: the default resolution across, the ratio kept down.
        p.xDpi = p.yDpi = kDefaultDpi;
        const double x = hasX ? dpi(xr, RESUNIT_INCH) : 0, y = hasY ? dpi(yr, RESUNIT_INCH) : 0;
        if (x > 0 && y > 0) {
            const double ratio = kDefaultDpi * y / x;
            if (ratio >= 1 && ratio <= 100000)
                p.yDpi = ratio;
        }
    } else {
        const double x = hasX ? dpi(xr, unit) : 0, y = hasY ? dpi(yr, unit) : 0;
        p.xDpi = x > 0 ? x : (y > 0 ? y : kDefaultDpi);
        p.yDpi = y > 0 ? y : p.xDpi;
    }
    const double w = p.width * 72.0 / p.xDpi;
    const double h = p.height * 72.0 / p.yDpi;
    const bool turned = p.orientation >= ORIENTATION_LEFTTOP; // rows run across the page
    p.pageWidthPt = turned ? h : w;
    p.pageHeightPt = turned ? w : h;
}

ConversionError refusal(const PagePlan& p, const std::string& why)
{
    return ConversionError(pageText(p) + ": " + why);
}

void readSize(TIFF* tif, PagePlan& p)
{
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &p.width) ||
        !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &p.height))
        throw refusal(p, "no image size");
    if (p.width == 0 || p.height == 0)
        throw refusal(p,
                      "holds no pixels (" + std::to_string(p.width) + " x " + std::to_string(p.height) + ")");
    if (p.width > kMaxSide || p.height > kMaxSide || std::uint64_t(p.width) * p.height > kMaxPixels)
        throw refusal(p, "absurd size " + std::to_string(p.width) + " x " + std::to_string(p.height) +
                             " pixels");
}

void readSampleTags(TIFF* tif, PagePlan& p)
{
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &p.bitsPerSample);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &p.samplesPerPixel);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &p.compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &p.planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &p.fillOrder);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &p.orientation);
    if (p.orientation < ORIENTATION_TOPLEFT || p.orientation > ORIENTATION_LEFTBOT)
        p.orientation = ORIENTATION_TOPLEFT;
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &p.photometric))
        throw refusal(p, "no colour model (Photometric tag missing)");
    if (!TIFFIsCODECConfigured(p.compression))
        throw refusal(p, compressionName(p.compression) + " is not supported");
    if (p.compression == COMPRESSION_LZW || p.compression == COMPRESSION_DEFLATE ||
        p.compression == COMPRESSION_ADOBE_DEFLATE)
        TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &p.predictor);
}

void readChunking(TIFF* tif, PagePlan& p)
{
    p.tiled = TIFFIsTiled(tif);
    if (p.tiled) {
        if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &p.tileWidth) ||
            !TIFFGetField(tif, TIFFTAG_TILELENGTH, &p.tileLength) || p.tileWidth == 0 || p.tileLength == 0)
            throw refusal(p, "tiles without a size");
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &p.rowsPerStrip);
        if (p.rowsPerStrip == 0)
            throw refusal(p, "zero rows per strip");
    }
    // Every strip or tile must hold data. libtiff reads an absent one (a strip count that does not
    // match the image, an offset table cut short) as blank pixels; that is a damaged file, not a page.
    const std::uint32_t chunks = p.tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    if (chunks == 0)
        throw refusal(p, "holds no image data");
    for (std::uint32_t i = 0; i < chunks; ++i) {
        int err = 0;
        if (TIFFGetStrileByteCountWithErr(tif, i, &err) == 0 || err)
            throw refusal(p, std::string(p.tiled ? "tile " : "strip ") + std::to_string(i + 1) + " of " +
                                 std::to_string(chunks) +
                                 " holds no data (wrong strip count or missing pixel data)");
    }
}

void readPalette(TIFF* tif, PagePlan& p)
{
    std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) || !r || !g || !b)
        throw refusal(p, "palette image without a colour map");
    const unsigned entries = 1u << p.bitsPerSample;
    // Old writers stored 8-bit values in the 16-bit colour map; keep those as they are.
    bool eightBit = true;
    for (unsigned i = 0; i < entries; ++i)
        if (r[i] > 255 || g[i] > 255 || b[i] > 255)
            eightBit = false;
    auto to8 = [&](std::uint16_t v) {
        return static_cast<char>(eightBit ? v : (unsigned(v) * 255 + 32767) / 65535);
    };
    for (unsigned i = 0; i < entries; ++i) {
        p.palette.push_back(to8(r[i]));
        p.palette.push_back(to8(g[i]));
        p.palette.push_back(to8(b[i]));
    }
}

/// Sets the colour model and its channel count from Photometric and the sample depth.
void readColourModel(TIFF* tif, PagePlan& p)
{
    const unsigned bps = p.bitsPerSample;
    unsigned base = 1;
    switch (p.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
        p.model = ColourModel::Gray;
        p.minIsWhite = p.photometric == PHOTOMETRIC_MINISWHITE;
        if (!oneOf(bps, {1, 2, 4, 8, 16}))
            throw refusal(p, std::to_string(bps) + "-bit gray is not supported");
        break;
    case PHOTOMETRIC_RGB:
        p.model = ColourModel::Rgb;
        base = 3;
        if (!oneOf(bps, {1, 2, 4, 8, 16}))
            throw refusal(p, std::to_string(bps) + "-bit RGB is not supported");
        break;
    case PHOTOMETRIC_PALETTE:
        p.model = ColourModel::Indexed;
        if (!oneOf(bps, {1, 2, 4, 8}))
            throw refusal(p, std::to_string(bps) + "-bit palette images are not supported");
        readPalette(tif, p);
        break;
    case PHOTOMETRIC_SEPARATED: {
        std::uint16_t inkSet = INKSET_CMYK;
        TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkSet);
        if (inkSet != INKSET_CMYK)
            throw refusal(p, "separations other than CMYK are not supported");
        p.model = ColourModel::Cmyk;
        base = 4;
        if (!oneOf(bps, {8, 16}))
            throw refusal(p, std::to_string(bps) + "-bit CMYK is not supported");
        break;
    }
    case PHOTOMETRIC_YCBCR:
        // Only JPEG data can be YCbCr in the PDF (DCTDecode); libtiff turns it into RGB otherwise.
        if (p.compression != COMPRESSION_JPEG || bps != 8)
            throw refusal(p, "YCbCr images are only supported with JPEG compression");
        p.model = ColourModel::Rgb;
        base = 3;
        break;
    default:
        throw refusal(p, "colour model " + std::to_string(p.photometric) + " is not supported");
    }
    if (p.samplesPerPixel < base)
        throw refusal(p, std::to_string(p.samplesPerPixel) +
                             " samples per pixel is too few for its colour model");
    p.colourChannels = static_cast<std::uint16_t>(base);
}

/// A channel beyond the colour ones must be alpha: anything else would be dropped unseen.
void readExtraChannel(TIFF* tif, PagePlan& p)
{
    const unsigned extras = p.samplesPerPixel - p.colourChannels;
    if (extras > 0) {
        std::uint16_t count = 0;
        std::uint16_t* types = nullptr;
        TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &count, &types);
        const std::uint16_t type = (count >= 1 && types) ? types[0] : EXTRASAMPLE_UNSPECIFIED;
        if (extras > 1)
            throw refusal(p, std::to_string(extras) + " extra channels; refusing rather than dropping them");
        if (type == EXTRASAMPLE_ASSOCALPHA)
            p.alpha = Alpha::Premultiplied;
        else if (type == EXTRASAMPLE_UNASSALPHA)
            p.alpha = Alpha::Straight;
        else
            throw refusal(p, "an extra channel that is not alpha; refusing rather than dropping it");
        if (p.model == ColourModel::Indexed || !oneOf(p.bitsPerSample, {8, 16}))
            throw refusal(p, "alpha is only supported with 8 or 16 bits per sample and no palette");
    }
    if (p.planar == PLANARCONFIG_SEPARATE && p.samplesPerPixel > 1 && p.bitsPerSample % 8 != 0)
        throw refusal(p, "separate planes of " + std::to_string(p.bitsPerSample) +
                             "-bit samples are not supported");
}

bool isBilevel(const PagePlan& p)
{
    return p.model == ColourModel::Gray && p.bitsPerSample == 1 && p.samplesPerPixel == 1;
}

/// Decodes the CCITT data once, a row at a time: data libtiff cannot decode must not reach the PDF
/// as if it were a page.
void proveCcittDecodes(TIFF* tif, const PagePlan& p, TiffMessages& messages)
{
    messages.clear();
    bool decoded = true;
    if (p.tiled) {
        const std::uint64_t imageBytes = rowBytes(p, p.samplesPerPixel) * p.height;
        std::vector<std::uint8_t> pixels(static_cast<std::size_t>(imageBytes));
        decoded = TIFFReadEncodedTile(tif, 0, pixels.data(), static_cast<tmsize_t>(imageBytes)) >=
                  static_cast<tmsize_t>(imageBytes);
    } else {
        std::vector<std::uint8_t> row(static_cast<std::size_t>(rowBytes(p, 1)));
        for (std::uint32_t y = 0; y < p.height && decoded; ++y)
            decoded = TIFFReadScanline(tif, row.data(), y, 0) == 1;
    }
    if (!decoded || !messages.firstError.empty())
        throw ConversionError(messages.with(pageText(p) + ": its CCITT data is truncated or corrupt"));
}

void carryCcitt(TIFF* tif, PagePlan& p, bool passable, TiffMessages& messages)
{
    std::uint32_t t4 = 0;
    if (p.compression == COMPRESSION_CCITTFAX3)
        TIFFGetFieldDefaulted(tif, TIFFTAG_GROUP3OPTIONS, &t4);
    // G3 goes through only in its plain one-dimensional form; its 2-D, uncompressed-mode and
    // fill-bit variants are encoded anew as G4, losslessly.
    if (isBilevel(p) && passable && (p.compression == COMPRESSION_CCITTFAX4 || t4 == 0)) {
        proveCcittDecodes(tif, p, messages);
        p.carriage = Carriage::PassCcitt;
        p.ccittK = p.compression == COMPRESSION_CCITTFAX4 ? -1 : 0;
    }
}

void carryJpeg(TIFF* tif, PagePlan& p, bool passable, TiffMessages& messages)
{
    const bool jpegModel = p.photometric == PHOTOMETRIC_YCBCR || p.photometric == PHOTOMETRIC_RGB ||
                           p.model == ColourModel::Gray || p.model == ColourModel::Cmyk;
    if (passable && jpegModel && p.bitsPerSample == 8 && p.samplesPerPixel == p.colourChannels) {
        const auto jpeg = completeJpeg(tif, readSingleChunk(tif, p, messages));
        if (jpegIsPassable(jpeg, p.width, p.height, p.colourChannels)) {
            p.carriage = Carriage::PassJpeg;
            if (p.photometric == PHOTOMETRIC_YCBCR)
                p.jpegColorTransform = 1;
            else if (p.photometric == PHOTOMETRIC_RGB)
                p.jpegColorTransform = 0;
        }
    }
    if (p.carriage != Carriage::PassJpeg && p.photometric == PHOTOMETRIC_YCBCR) {
        p.jpegToRgb = true;
        p.photometric = PHOTOMETRIC_RGB;
    }
}

void carryDeflate(TIFF* tif, PagePlan& p, bool passable, TiffMessages& messages)
{
    // 16-bit samples must be big-endian in the PDF, so only a big-endian file's data fits.
    const bool predictorOk = p.predictor == PREDICTOR_NONE ||
                             (p.predictor == PREDICTOR_HORIZONTAL && oneOf(p.bitsPerSample, {8, 16}));
    if (passable && predictorOk && (p.bitsPerSample != 16 || TIFFIsBigEndian(tif))) {
        const auto raw = readSingleChunk(tif, p, messages);
        // Anything a reader could stumble over is decoded by libtiff instead, which reports it.
        if (deflateIsPassable(raw, rowBytes(p, p.samplesPerPixel) * p.height))
            p.carriage = Carriage::PassFlate;
    }
}

/// How the image travels. Passing data through needs the whole page in one strip or tile of the
/// image's own size, samples interleaved, nothing to split off, bits in the usual order.
void chooseCarriage(TIFF* tif, PagePlan& p, TiffMessages& messages)
{
    const bool interleaved = p.planar == PLANARCONFIG_CONTIG || p.samplesPerPixel == 1;
    const bool oneChunk =
        p.tiled ? (TIFFNumberOfTiles(tif) == 1 && p.tileWidth == p.width && p.tileLength == p.height)
                : TIFFNumberOfStrips(tif) == 1;
    const bool passable =
        oneChunk && interleaved && p.alpha == Alpha::None && p.fillOrder == FILLORDER_MSB2LSB;

    p.carriage = isBilevel(p) ? Carriage::ReencodeG4 : Carriage::Flate;
    if (p.compression == COMPRESSION_CCITTFAX4 || p.compression == COMPRESSION_CCITTFAX3)
        carryCcitt(tif, p, passable, messages);
    else if (p.compression == COMPRESSION_JPEG)
        carryJpeg(tif, p, passable, messages);
    else if (p.compression == COMPRESSION_DEFLATE || p.compression == COMPRESSION_ADOBE_DEFLATE)
        carryDeflate(tif, p, passable, messages);
}

} // namespace

std::uint64_t rowBytes(const PagePlan& plan, unsigned channels)
{
    return (std::uint64_t(plan.width) * channels * plan.bitsPerSample + 7) / 8;
}

std::string pageText(const PagePlan& plan)
{
    return "page " + std::to_string(plan.directory + 1);
}

std::vector<std::uint8_t> allocate(std::uint64_t size, const PagePlan& plan)
{
    if (size > kMaxAlloc)
        throw ConversionError(pageText(plan) + " needs a " + std::to_string(size >> 20) +
                              " MiB buffer, more than the converter allows");
    return std::vector<std::uint8_t>(static_cast<std::size_t>(size));
}

PagePlan planPage(TIFF* tif, tdir_t index, TiffMessages& messages)
{
    PagePlan p;
    p.directory = index;
    readSize(tif, p);
    readSampleTags(tif, p);
    readChunking(tif, p);
    readColourModel(tif, p);
    readExtraChannel(tif, p);
    setPageSize(tif, p);
    chooseCarriage(tif, p, messages);
    return p;
}

} // namespace tiff2pdf
