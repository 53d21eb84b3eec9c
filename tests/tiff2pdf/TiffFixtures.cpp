// SPDX-License-Identifier: GPL-3.0-or-later
#include "TiffFixtures.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace fixtures {

namespace {

struct Rng
{
    std::uint32_t state;
    std::uint32_t next()
    {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

void putSample(std::vector<std::uint8_t>& row, unsigned bps, std::size_t index, unsigned value)
{
    if (bps == 16) {
        const std::uint16_t v = static_cast<std::uint16_t>(value);
        std::memcpy(&row[index * 2], &v, 2);
    } else if (bps == 8) {
        row[index] = static_cast<std::uint8_t>(value);
    } else {
        const std::size_t bit = index * bps;
        const unsigned shift = 8 - bps - bit % 8;
        row[bit / 8] = static_cast<std::uint8_t>(row[bit / 8] | ((value & ((1u << bps) - 1)) << shift));
    }
}

int stripRows(const PageLayout& s)
{
    return static_cast<int>(s.rowsPerStrip ? std::min(s.rowsPerStrip, s.height) : s.height);
}

bool writePage(TIFF* tif, const Page& page, std::string& error)
{
    const PageLayout& s = page.layout;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, s.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, s.bps);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, s.spp);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, s.photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, s.compression);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, s.planar);
    TIFFSetField(tif, TIFFTAG_FILLORDER, s.fillOrder);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, s.orientation);
    if (s.subfileType)
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, s.subfileType);
    if (s.resolution) {
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, s.xres);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, s.yres);
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, s.resUnit);
    }
    if (s.predictor != PREDICTOR_NONE)
        TIFFSetField(tif, TIFFTAG_PREDICTOR, s.predictor);
    if (s.compression == COMPRESSION_CCITTFAX3)
        TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, s.group3Options);
    if (s.compression == COMPRESSION_JPEG) {
        TIFFSetField(tif, TIFFTAG_JPEGQUALITY, s.jpegQuality);
        if (s.jpegFromRgb)
            TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
    if (s.extraSample != kNoExtraSample) {
        const std::uint16_t type = s.extraSample;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &type);
    }
    if (s.photometric == PHOTOMETRIC_PALETTE) {
        const std::size_t n = s.colormap.size() / 3;
        TIFFSetField(tif, TIFFTAG_COLORMAP, s.colormap.data(), s.colormap.data() + n,
                     s.colormap.data() + 2 * n);
    }

    const bool separate = s.planar == PLANARCONFIG_SEPARATE && s.spp > 1;
    const unsigned planes = separate ? s.spp : 1;
    const unsigned bytesPerSample = s.bps / 8;
    const std::size_t fullRow = rowBytes(s, s.spp);
    // Pixel bytes of sample plane p (or all samples when contig) for a rectangle.
    auto extract = [&](std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h, unsigned p) {
        const unsigned bitsPerPixel = separate ? s.bps : s.bps * s.spp;
        const std::size_t outRow = (std::size_t(w) * bitsPerPixel + 7) / 8;
        std::vector<std::uint8_t> out(outRow * h, 0);
        for (std::uint32_t y = 0; y < h && y0 + y < s.height; ++y) {
            const std::uint8_t* src = page.pixels.data() + (y0 + y) * fullRow;
            std::uint8_t* dst = out.data() + y * outRow;
            if (!separate) {
                const std::size_t start = std::size_t(x0) * bitsPerPixel / 8;
                std::memcpy(dst, src + start, std::min(outRow, fullRow - start));
            } else {
                for (std::uint32_t x = 0; x < w && x0 + x < s.width; ++x)
                    std::memcpy(dst + std::size_t(x) * bytesPerSample,
                                src + ((std::size_t(x0) + x) * s.spp + p) * bytesPerSample, bytesPerSample);
            }
        }
        return out;
    };

    if (s.tileWidth) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, s.tileWidth);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, s.tileLength);
        for (unsigned p = 0; p < planes; ++p)
            for (std::uint32_t y = 0; y < s.height; y += s.tileLength)
                for (std::uint32_t x = 0; x < s.width; x += s.tileWidth) {
                    auto tile = extract(x, y, s.tileWidth, s.tileLength, p);
                    if (TIFFWriteEncodedTile(tif,
                                             TIFFComputeTile(tif, x, y, 0, static_cast<std::uint16_t>(p)),
                                             tile.data(), static_cast<tmsize_t>(tile.size())) < 0) {
                        error = "tile write failed";
                        return false;
                    }
                }
    } else {
        const int rps = stripRows(s);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rps);
        const std::uint32_t perPlane = (s.height + rps - 1) / rps;
        for (unsigned p = 0; p < planes; ++p)
            for (std::uint32_t i = 0; i < perPlane; ++i) {
                const std::uint32_t y = i * rps;
                const std::uint32_t rows = std::min<std::uint32_t>(rps, s.height - y);
                auto strip = extract(0, y, s.width, rows, p);
                if (TIFFWriteEncodedStrip(tif, i + p * perPlane, strip.data(),
                                          static_cast<tmsize_t>(strip.size())) < 0) {
                    error = "strip write failed";
                    return false;
                }
            }
    }
    if (!TIFFWriteDirectory(tif)) {
        error = "directory write failed";
        return false;
    }
    return true;
}

PageLayout layout(std::uint16_t photometric, std::uint16_t bps, std::uint16_t spp, std::uint16_t compression)
{
    PageLayout s;
    s.photometric = photometric;
    s.bps = bps;
    s.spp = spp;
    s.compression = compression;
    if (photometric == PHOTOMETRIC_PALETTE)
        s.colormap = makeColormap(bps);
    return s;
}

} // namespace

std::size_t rowBytes(const PageLayout& layout, unsigned channels)
{
    return (std::size_t(layout.width) * channels * layout.bps + 7) / 8;
}

std::vector<std::uint16_t> makeColormap(unsigned bps)
{
    const unsigned n = 1u << bps;
    std::vector<std::uint16_t> map(3 * n);
    for (unsigned i = 0; i < n; ++i) {
        map[i] = static_cast<std::uint16_t>((i * 97 % n) * 65535 / (n - 1));
        map[n + i] = static_cast<std::uint16_t>(((n - 1 - i) * 65535) / (n - 1));
        map[2 * n + i] = static_cast<std::uint16_t>((i * 53 % n) * 257 % 65536);
    }
    return map;
}

std::vector<std::uint8_t> makePixels(const PageLayout& s, unsigned seed)
{
    const std::size_t row = rowBytes(s, s.spp);
    std::vector<std::uint8_t> pixels(row * s.height, 0);
    Rng rng{seed * 2654435761u + 12345u};
    const unsigned maxValue = s.bps == 16 ? 65535 : (1u << s.bps) - 1;
    for (std::uint32_t y = 0; y < s.height; ++y) {
        std::vector<std::uint8_t> line(row, 0);
        for (std::uint32_t x = 0; x < s.width; ++x) {
            for (unsigned c = 0; c < s.spp; ++c) {
                unsigned v;
                if (s.bps == 1) {
                    // Strokes on a plain ground, like type on paper, so CCITT has runs to code.
                    const bool stroke =
                        ((x / 3 + y / 5 + seed) % 7 == 0) || ((y + seed) % 11 < 2 && x % 13 < 9);
                    v = stroke ? 1 : 0;
                } else if (s.compression == COMPRESSION_JPEG) {
                    v = (x * 5 + y * 3 + c * 60 + seed * 11) % 256; // smooth: JPEG-friendly
                } else {
                    v = (x * 37 + y * 101 + c * 59 + seed * 7 + rng.next() % 5) % (maxValue + 1);
                }
                putSample(line, s.bps, std::size_t(x) * s.spp + c, v);
            }
        }
        std::memcpy(pixels.data() + y * row, line.data(), row);
    }
    return pixels;
}

Page makePage(const PageLayout& layout, unsigned seed)
{
    return Page{layout, makePixels(layout, seed)};
}

std::string writeTiff(const std::string& path, const std::vector<Page>& pages)
{
    TIFF* tif = TIFFOpen(path.c_str(), pages.empty() || !pages[0].layout.bigEndian ? "wl" : "wb");
    if (!tif)
        return "cannot create " + path;
    std::string error;
    for (const Page& page : pages)
        if (!writePage(tif, page, error))
            break;
    TIFFClose(tif);
    return error;
}

std::vector<Named> allKinds()
{
    std::vector<Named> kinds;
    auto add = [&](const std::string& name, PageLayout s, unsigned seed = 1) {
        kinds.push_back({name, {makePage(s, seed)}});
    };
    PageLayout s;

    s = layout(PHOTOMETRIC_MINISWHITE, 1, 1, COMPRESSION_CCITTFAX4);
    add("g4-miniswhite", s);
    s = layout(PHOTOMETRIC_MINISBLACK, 1, 1, COMPRESSION_CCITTFAX4);
    add("g4-minisblack", s);
    s = layout(PHOTOMETRIC_MINISWHITE, 1, 1, COMPRESSION_CCITTFAX4);
    s.rowsPerStrip = 7;
    add("g4-strips", s);
    s = layout(PHOTOMETRIC_MINISWHITE, 1, 1, COMPRESSION_CCITTFAX3);
    add("g3-1d", s);
    s.group3Options = GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS;
    add("g3-2d-fill", s);
    s = layout(PHOTOMETRIC_MINISWHITE, 1, 1, COMPRESSION_CCITTFAX4);
    s.fillOrder = FILLORDER_LSB2MSB;
    add("g4-lsb2msb", s);
    s = layout(PHOTOMETRIC_MINISWHITE, 1, 1, COMPRESSION_PACKBITS);
    s.rowsPerStrip = 16;
    add("bilevel-packbits", s);
    s = layout(PHOTOMETRIC_MINISBLACK, 1, 1, COMPRESSION_ADOBE_DEFLATE);
    add("bilevel-deflate", s);
    s = layout(PHOTOMETRIC_MINISBLACK, 1, 1, COMPRESSION_NONE);
    s.tileWidth = s.tileLength = 16;
    add("bilevel-tiled", s);

    s = layout(PHOTOMETRIC_MINISBLACK, 8, 1, COMPRESSION_NONE);
    s.rowsPerStrip = 9;
    add("gray8-strips", s);
    s = layout(PHOTOMETRIC_MINISWHITE, 8, 1, COMPRESSION_LZW);
    add("gray8-miniswhite-lzw", s);
    s = layout(PHOTOMETRIC_MINISBLACK, 8, 1, COMPRESSION_ADOBE_DEFLATE);
    s.predictor = PREDICTOR_HORIZONTAL;
    add("gray8-deflate-predictor", s);
    s = layout(PHOTOMETRIC_MINISBLACK, 4, 1, COMPRESSION_PACKBITS);
    add("gray4-packbits", s);
    s = layout(PHOTOMETRIC_MINISBLACK, 2, 1, COMPRESSION_NONE);
    add("gray2", s);
    s = layout(PHOTOMETRIC_MINISBLACK, 16, 1, COMPRESSION_NONE);
    add("gray16-little-endian", s);
    s = layout(PHOTOMETRIC_MINISBLACK, 16, 1, COMPRESSION_ADOBE_DEFLATE);
    s.predictor = PREDICTOR_HORIZONTAL;
    s.bigEndian = true;
    add("gray16-big-endian-deflate", s);
    s.bigEndian = false;
    add("gray16-little-endian-deflate", s);

    s = layout(PHOTOMETRIC_RGB, 8, 3, COMPRESSION_NONE);
    s.width = 37;
    s.height = 29;
    s.tileWidth = s.tileLength = 16;
    add("rgb8-tiled", s);
    s = layout(PHOTOMETRIC_RGB, 8, 3, COMPRESSION_LZW);
    s.planar = PLANARCONFIG_SEPARATE;
    s.rowsPerStrip = 8;
    add("rgb8-planar-lzw", s);
    s = layout(PHOTOMETRIC_RGB, 8, 3, COMPRESSION_ADOBE_DEFLATE);
    s.predictor = PREDICTOR_HORIZONTAL;
    add("rgb8-deflate-predictor", s);
    s = layout(PHOTOMETRIC_RGB, 16, 3, COMPRESSION_NONE);
    add("rgb16", s);
    s = layout(PHOTOMETRIC_RGB, 8, 3, COMPRESSION_NONE);
    s.width = 33;
    s.height = 18;
    s.tileWidth = s.tileLength = 16;
    s.planar = PLANARCONFIG_SEPARATE;
    add("rgb8-tiled-planar", s);

    s = layout(PHOTOMETRIC_PALETTE, 8, 1, COMPRESSION_LZW);
    add("palette8", s);
    s = layout(PHOTOMETRIC_PALETTE, 4, 1, COMPRESSION_NONE);
    add("palette4", s);
    s = layout(PHOTOMETRIC_SEPARATED, 8, 4, COMPRESSION_PACKBITS);
    add("cmyk8", s);
    {
        // Flat bands of paper between noisy ones, an A4 page wide at 300 dpi, shaded across so that
        // row filters win: the converter changes its compression effort between them, with more
        // data than its compressor's buffers hold; a flat row unlike the one above in its last byte
        // alone must not be taken for a repeat.
        s = layout(PHOTOMETRIC_SEPARATED, 8, 4, COMPRESSION_LZW);
        s.width = 2480;
        s.height = 64;
        Page page{s, std::vector<std::uint8_t>(std::size_t(s.width) * 4 * s.height)};
        Rng rng{99};
        for (std::uint32_t y = 0; y < s.height; ++y)
            for (std::uint32_t x = 0; x < s.width; ++x) {
                const int noise = (y / 16) % 2 ? int(rng.next() % 7) - 3 : 0;
                std::uint8_t* p = &page.pixels[(std::size_t(y) * s.width + x) * 4];
                p[0] = 0;
                p[1] = static_cast<std::uint8_t>(2 + x / 16 + std::max(0, noise));
                p[2] = 7;
                p[3] = static_cast<std::uint8_t>(12 + x / 32 + noise + (y == 5 && x == s.width - 1));
            }
        kinds.push_back({"cmyk8-lzw-flat-and-noisy", {page}});
    }
    {
        // A smooth picture on top, light gray error-diffused to 0 or 255 below it: row filters win
        // the top and lose the page, where the samples as they are come out smaller. Tall enough
        // to be sampled, in one strip, which is decoded once for the sample and the page.
        s = layout(PHOTOMETRIC_MINISBLACK, 8, 1, COMPRESSION_LZW);
        s.width = 2048;
        s.height = 1000;
        Page page{s, std::vector<std::uint8_t>(std::size_t(s.width) * s.height)};
        Rng rng{7};
        std::vector<int> error(std::size_t(s.width + 2) * 2, 0);
        for (std::uint32_t y = 0; y < s.height; ++y) {
            int* now = &error[(y % 2) * (s.width + 2)];
            int* next = &error[((y + 1) % 2) * (s.width + 2)];
            std::fill(next, next + s.width + 2, 0);
            for (std::uint32_t x = 0; x < s.width; ++x) {
                std::uint8_t& v = page.pixels[std::size_t(y) * s.width + x];
                if (y < 80) {
                    v = static_cast<std::uint8_t>(128 + 90 * std::sin(x / 23.0) * std::cos(y / 17.0) +
                                                  int(rng.next() % 3));
                    continue;
                }
                const int want = 225 + int(rng.next() % 41) - 20 + now[x + 1] / 16;
                v = want >= 128 ? 255 : 0;
                const int e = want - v;
                now[x + 2] += e * 7;
                next[x] += e * 3;
                next[x + 1] += e * 5;
                next[x + 2] += e;
            }
        }
        kinds.push_back({"gray8-noisy-then-dithered", {page}});
    }
    {
        // Four gray levels at random below a blank margin: matches gain little over coding byte by
        // byte, and the samples as they are go with the light search, in several pieces.
        s = layout(PHOTOMETRIC_MINISBLACK, 8, 1, COMPRESSION_LZW);
        s.width = 1500;
        s.height = 1000;
        Page page{s, std::vector<std::uint8_t>(std::size_t(s.width) * s.height, 255)};
        Rng rng{11};
        for (std::size_t i = std::size_t(s.width) * 120; i < page.pixels.size(); ++i)
            page.pixels[i] = static_cast<std::uint8_t>(100 + rng.next() % 4);
        kinds.push_back({"gray8-four-levels-at-random", {page}});
    }
    {
        // Samples of 0 and 255 alone, which travel a bit per sample: rows that do not end on a byte
        // (min-is-white, so the bits keep /Decode), and a page tall enough to be sampled whose one
        // other value lies in a strip outside the sampled bands: it must go as bytes, whole.
        s = layout(PHOTOMETRIC_MINISWHITE, 8, 1, COMPRESSION_LZW);
        s.width = 1001;
        s.height = 24;
        Page wide = makePage(s, 3);
        s.photometric = PHOTOMETRIC_MINISBLACK;
        s.width = 61;
        s.height = 1000;
        s.rowsPerStrip = 16;
        Page tall = makePage(s, 4);
        for (Page* page : {&wide, &tall})
            for (std::uint8_t& v : page->pixels)
                v = v >= 128 ? 255 : 0;
        tall.pixels.back() = 128;
        kinds.push_back({"gray8-two-level", {wide, tall}});
    }

    s = layout(PHOTOMETRIC_RGB, 8, 4, COMPRESSION_ADOBE_DEFLATE);
    s.extraSample = EXTRASAMPLE_UNASSALPHA;
    add("rgba8-unassociated", s);
    s = layout(PHOTOMETRIC_MINISBLACK, 16, 2, COMPRESSION_NONE);
    s.extraSample = EXTRASAMPLE_ASSOCALPHA;
    add("gray16-alpha-associated", s);

    s = layout(PHOTOMETRIC_YCBCR, 8, 3, COMPRESSION_JPEG);
    s.jpegFromRgb = true;
    s.width = 64;
    s.height = 48;
    add("jpeg-ycbcr", s);
    s = layout(PHOTOMETRIC_RGB, 8, 3, COMPRESSION_JPEG);
    s.width = 64;
    s.height = 48;
    add("jpeg-rgb", s);
    s = layout(PHOTOMETRIC_MINISBLACK, 8, 1, COMPRESSION_JPEG);
    add("jpeg-gray", s);
    s = layout(PHOTOMETRIC_YCBCR, 8, 3, COMPRESSION_JPEG);
    s.jpegFromRgb = true;
    s.width = 64;
    s.height = 48;
    s.rowsPerStrip = 16;
    add("jpeg-ycbcr-strips", s);

    s.rowsPerStrip = 0;
    s.tileWidth = s.tileLength = 16;
    add("jpeg-ycbcr-tiled", s);

    // Several pages of different kinds in one file.
    Named multi{"multipage", {}};
    s = layout(PHOTOMETRIC_MINISWHITE, 1, 1, COMPRESSION_CCITTFAX4);
    multi.pages.push_back(makePage(s, 1));
    s = layout(PHOTOMETRIC_MINISBLACK, 8, 1, COMPRESSION_LZW);
    s.width = 50;
    multi.pages.push_back(makePage(s, 2));
    s = layout(PHOTOMETRIC_RGB, 8, 3, COMPRESSION_ADOBE_DEFLATE);
    s.height = 20;
    multi.pages.push_back(makePage(s, 3));
    kinds.push_back(multi);
    return kinds;
}

} // namespace fixtures
