// SPDX-License-Identifier: GPL-3.0-or-later
// Benchmark helper on libtiff:
//   gen_pages make FOLDER            writes the benchmark's 300 dpi A4 inputs into FOLDER
//   gen_pages noisy-cmyk FILE        writes one of them alone: noise over CMYK gradients, LZW
//   gen_pages expect TIFF PAGE PPM   what page PAGE (from 1) looks like, as libtiff decodes it, as PPM
//   gen_pages jpeg TIFF OUT          the JPEG stream of strip 0 with the shared tables merged in
//   gen_pages compare A B            compares two PBM/PGM/PPM images as RGB; exit 0 when identical
//   gen_pages samples A B            compares the samples of page 1 of two 8-bit TIFF files (CMYK as
//                                    it is, not as RGB); exit 0 when identical
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A4 at 300 dpi; also 32 x 32 for the tiny copies that measure the converters' fixed memory.
int kW = 2480;
int kH = 3508;

struct Rng
{
    std::uint64_t s;
    std::uint32_t next()
    {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>(s >> 33);
    }
    int range(int lo, int hi)
    {
        return lo + static_cast<int>(next() % static_cast<std::uint32_t>(hi - lo + 1));
    }
};

/// Ink coverage of a printed page: lines of word-like glyph clusters set in columns, a heading.
struct Ink
{
    std::vector<std::uint8_t> a = std::vector<std::uint8_t>(std::size_t(kW) * kH, 0);
    void rect(int x0, int y0, int x1, int y1)
    {
        for (int y = std::max(0, y0); y < std::min(kH, y1); ++y)
            std::memset(&a[std::size_t(y) * kW + std::max(0, x0)], 255,
                        std::max(0, std::min(kW, x1) - std::max(0, x0)));
    }
    void ring(int cx, int cy, int rx, int ry, int t)
    {
        for (int y = cy - ry; y <= cy + ry; ++y)
            for (int x = cx - rx; x <= cx + rx; ++x) {
                const double d = std::hypot(double(x - cx) / rx, double(y - cy) / ry);
                if (d <= 1.0 && d >= 1.0 - double(t) / std::min(rx, ry) && x >= 0 && y >= 0 && x < kW &&
                    y < kH)
                    a[std::size_t(y) * kW + x] = 255;
            }
    }
};

void glyph(Ink& ink, Rng& rng, int x, int base, int size, int width)
{
    const int xh = size / 2, stem = std::max(2, size / 12);
    switch (rng.range(0, 5)) {
    case 0:
        ink.rect(x, base - xh, x + stem, base);
        ink.ring(x + width / 2, base - xh / 2, width / 2, xh / 2, stem);
        break;
    case 1:
        ink.rect(x, base - size * 3 / 4, x + stem, base);
        ink.rect(x, base - xh, x + width, base - xh + stem);
        break;
    case 2:
        ink.ring(x + width / 2, base - xh / 2, width / 2, xh / 2, stem);
        break;
    case 3:
        ink.rect(x, base - xh, x + stem, base);
        ink.rect(x + width - stem, base - xh, x + width, base);
        ink.rect(x, base - xh, x + width, base - xh + stem);
        break;
    case 4:
        ink.rect(x + width / 2, base - size * 3 / 4, x + width / 2 + stem, base);
        ink.rect(x, base - stem, x + width, base);
        break;
    default:
        ink.ring(x + width / 2, base - xh / 2, width / 2, xh / 2, stem);
        ink.rect(x + width - stem, base - size * 3 / 4, x + width, base);
        break;
    }
}

Ink typeset(unsigned seed, bool photoGap)
{
    Ink ink;
    Rng rng{seed * 7919ull + 17};
    const int left = 240, right = kW - 240;
    int y = 330;
    // Heading.
    for (int x = left; x < left + 1400;) {
        const int w = rng.range(30, 44);
        glyph(ink, rng, x, y, 80, w);
        x += w + 10 + (rng.range(0, 6) == 0 ? 36 : 0);
    }
    y += 140;
    while (y < kH - 260) {
        if (photoGap && y > 1500 && y < 2400) { // room for a picture
            y = 2440;
            continue;
        }
        int x = left + (rng.range(0, 8) == 0 ? 60 : 0);
        const int lineEnd = rng.range(0, 9) == 0 ? right - rng.range(200, 1200) : right;
        while (x < lineEnd - 40) {
            const int letters = rng.range(2, 9);
            for (int i = 0; i < letters && x < lineEnd - 30; ++i) {
                const int w = rng.range(14, 24);
                glyph(ink, rng, x, y, 42, w);
                x += w + 4;
            }
            x += 18;
        }
        y += rng.range(0, 12) == 0 ? 110 : 58;
    }
    return ink;
}

/// Scanner-like softening of the ink edges.
std::vector<std::uint8_t> soften(const Ink& ink)
{
    std::vector<std::uint8_t> out(ink.a.size());
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            int sum = 0, n = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int xx = x + dx, yy = y + dy;
                    if (xx >= 0 && yy >= 0 && xx < kW && yy < kH) {
                        sum += ink.a[std::size_t(yy) * kW + xx] * (dx == 0 && dy == 0 ? 4 : 1);
                        n += dx == 0 && dy == 0 ? 4 : 1;
                    }
                }
            out[std::size_t(y) * kW + x] = static_cast<std::uint8_t>(sum / n);
        }
    return out;
}

void commonTags(TIFF* tif, int spp, int bps, int photometric, int compression)
{
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kW);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kH);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bps);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 300.0f);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 300.0f);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
}

bool writeRows(TIFF* tif, const std::vector<std::uint8_t>& pixels, std::size_t rowBytes,
               std::uint32_t rowsPerStrip)
{
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    const std::uint32_t strips = (kH + rowsPerStrip - 1) / rowsPerStrip;
    for (std::uint32_t s = 0; s < strips; ++s) {
        const std::uint32_t rows = std::min<std::uint32_t>(rowsPerStrip, kH - s * rowsPerStrip);
        if (TIFFWriteEncodedStrip(tif, s, const_cast<std::uint8_t*>(&pixels[s * rowsPerStrip * rowBytes]),
                                  static_cast<tmsize_t>(rows * rowBytes)) < 0)
            return false;
    }
    return TIFFWriteDirectory(tif) == 1;
}

std::vector<std::uint8_t> bilevel(unsigned seed)
{
    const Ink ink = typeset(seed, false);
    Rng rng{seed + 99ull};
    std::vector<std::uint8_t> bits(std::size_t(kW / 8) * kH, 0);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const bool black = ink.a[std::size_t(y) * kW + x] > 127 || rng.next() % 20000 == 0; // dust specks
            if (black)
                bits[std::size_t(y) * (kW / 8) + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
    return bits;
}

/// Writes one page; `tile` > 0 writes square tiles of that side instead of strips of `rowsPerStrip` rows.
bool writePage(const std::string& path, const std::vector<std::uint8_t>& pixels, int spp, int bps,
               int photometric, int compression, int predictor, std::uint32_t rowsPerStrip, int tile = 0,
               const std::vector<std::uint16_t>* colormap = nullptr)
{
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        return false;
    commonTags(tif, spp, bps, photometric, compression);
    if (predictor != PREDICTOR_NONE)
        TIFFSetField(tif, TIFFTAG_PREDICTOR, predictor);
    if (photometric == PHOTOMETRIC_SEPARATED)
        TIFFSetField(tif, TIFFTAG_INKSET, INKSET_CMYK);
    if (colormap)
        TIFFSetField(tif, TIFFTAG_COLORMAP, colormap->data(), colormap->data() + 256, colormap->data() + 512);
    const std::size_t rowBytes = std::size_t(kW) * spp * bps / 8;
    bool ok = true;
    if (tile > 0) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, tile);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, tile);
        const std::size_t pixelBytes = std::size_t(spp) * bps / 8;
        std::vector<std::uint8_t> buffer(std::size_t(tile) * tile * pixelBytes);
        for (int y = 0; y < kH && ok; y += tile)
            for (int x = 0; x < kW && ok; x += tile) {
                std::fill(buffer.begin(), buffer.end(), 0);
                for (int r = 0; r < tile && y + r < kH; ++r)
                    std::memcpy(&buffer[std::size_t(r) * tile * pixelBytes],
                                &pixels[std::size_t(y + r) * rowBytes + x * pixelBytes],
                                std::min<std::size_t>(tile, kW - x) * pixelBytes);
                ok = TIFFWriteTile(tif, buffer.data(), x, y, 0, 0) >= 0;
            }
        ok = ok && TIFFWriteDirectory(tif) == 1;
    } else {
        ok = writeRows(tif, pixels, rowBytes, rowsPerStrip ? rowsPerStrip : TIFFDefaultStripSize(tif, 0));
    }
    TIFFClose(tif);
    return ok;
}

/// A noisy CMYK page: each ink a gradient (across, down, diagonal, flat) under grain as heavy as the
/// noisy gray scan's, LZW without predictor in libtiff's default strips.
int noisyCmyk(const std::string& path)
{
    Rng noise{4242};
    std::vector<std::uint8_t> inks(std::size_t(kW) * kH * 4);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const int base[4] = {x * 200 / kW, y * 180 / kH, (x + y) * 160 / (kW + kH), 40};
            for (int c = 0; c < 4; ++c) {
                const int grain = int(noise.next() % 13) + int(noise.next() % 13) - 12;
                inks[(std::size_t(y) * kW + x) * 4 + c] =
                    static_cast<std::uint8_t>(std::clamp(base[c] + grain, 0, 255));
            }
        }
    return writePage(path, inks, 4, 8, PHOTOMETRIC_SEPARATED, COMPRESSION_LZW, PREDICTOR_NONE, 0) ? 0 : 1;
}

/// A photograph: soft shapes at several scales, fine texture, sensor noise.
std::vector<std::uint8_t> photograph(unsigned seed)
{
    Rng rng{seed * 31ull + 5};
    std::vector<std::uint8_t> rgb(std::size_t(kW) * kH * 3);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const double sky = 1.0 - double(y) / kH;
            const double hills = std::sin(x / 310.0 + std::sin(y / 420.0) * 2) * std::cos(y / 260.0);
            const double leaves = std::sin(x / 9.0 + y / 13.0) * std::sin(y / 7.0 - x / 23.0);
            const int noise = static_cast<int>(rng.next() % 9) - 4;
            const double v[3] = {90 + 80 * sky + 40 * hills + 12 * leaves,
                                 110 + 60 * hills + 30 * sky + 14 * leaves,
                                 70 + 150 * sky - 30 * hills + 8 * leaves};
            for (int c = 0; c < 3; ++c)
                rgb[(std::size_t(y) * kW + x) * 3 + c] =
                    static_cast<std::uint8_t>(std::clamp(int(v[c]) + noise, 0, 255));
        }
    return rgb;
}

std::vector<std::uint8_t> toCmyk(const std::vector<std::uint8_t>& rgb)
{
    std::vector<std::uint8_t> cmyk(rgb.size() / 3 * 4);
    for (std::size_t i = 0; i < rgb.size() / 3; ++i) {
        const int r = rgb[i * 3], g = rgb[i * 3 + 1], b = rgb[i * 3 + 2];
        const int k = 255 - std::max({r, g, b});
        cmyk[i * 4] = static_cast<std::uint8_t>(255 - r - k);
        cmyk[i * 4 + 1] = static_cast<std::uint8_t>(255 - g - k);
        cmyk[i * 4 + 2] = static_cast<std::uint8_t>(255 - b - k);
        cmyk[i * 4 + 3] = static_cast<std::uint8_t>(k);
    }
    return cmyk;
}

/// Error diffusion (Floyd-Steinberg) of every channel to 0 or 255.
void diffuse(std::vector<std::uint8_t>& samples, int channels)
{
    std::vector<int> error(std::size_t(kW + 2) * 2 * channels, 0);
    for (int y = 0; y < kH; ++y) {
        int* now = &error[std::size_t(y % 2) * (kW + 2) * channels];
        int* next = &error[std::size_t((y + 1) % 2) * (kW + 2) * channels];
        std::fill(next, next + (kW + 2) * channels, 0);
        for (int x = 0; x < kW; ++x)
            for (int c = 0; c < channels; ++c) {
                std::uint8_t& v = samples[(std::size_t(y) * kW + x) * channels + c];
                const int want = v + now[(x + 1) * channels + c] / 16;
                v = want >= 128 ? 255 : 0;
                const int e = want - v;
                now[(x + 2) * channels + c] += e * 7;
                next[x * channels + c] += e * 3;
                next[(x + 1) * channels + c] += e * 5;
                next[(x + 2) * channels + c] += e;
            }
    }
}

/// The wider set: kinds of page the converter was not tuned on first (see bench.py for which are held out).
/// Inputs made after the converter's choices were tuned, held out of that tuning: other layouts,
/// predictors, page sizes and a multi-page file.
int makeHeldOut(const std::string& folder, const std::vector<std::uint8_t>& photo)
{
    std::vector<std::uint8_t> grayPhoto(photo.size() / 3);
    for (std::size_t i = 0; i < grayPhoto.size(); ++i)
        grayPhoto[i] =
            static_cast<std::uint8_t>((photo[i * 3] * 3 + photo[i * 3 + 1] * 6 + photo[i * 3 + 2]) / 10);
    // A photograph as RGB Deflate with the predictor, in 128-pixel tiles.
    if (!writePage(folder + "/photo-rgb-deflate-tiles.tif", photo, 3, 8, PHOTOMETRIC_RGB,
                   COMPRESSION_ADOBE_DEFLATE, PREDICTOR_HORIZONTAL, 0, 128))
        return 1;
    // The photograph in gray, LZW with the predictor, strips of 8 rows.
    if (!writePage(folder + "/photo-gray-lzw-pred.tif", grayPhoto, 1, 8, PHOTOMETRIC_MINISBLACK,
                   COMPRESSION_LZW, PREDICTOR_HORIZONTAL, 8))
        return 1;
    // Three pages of the gray photograph, uncompressed, in one file.
    TIFF* tif = TIFFOpen((folder + "/photo-gray-3pages.tif").c_str(), "w");
    if (!tif)
        return 1;
    for (int page = 0; page < 3; ++page) {
        commonTags(tif, 1, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE);
        if (!writeRows(tif, grayPhoto, std::size_t(kW), 64)) {
            TIFFClose(tif);
            return 1;
        }
    }
    TIFFClose(tif);
    // Two pages of the photograph in CMYK, Deflate with the predictor, strips of 16 rows.
    const std::vector<std::uint8_t> cmykPhoto = toCmyk(photo);
    tif = TIFFOpen((folder + "/photo-cmyk-2pages-deflate.tif").c_str(), "w");
    if (!tif)
        return 1;
    for (int page = 0; page < 2; ++page) {
        commonTags(tif, 4, 8, PHOTOMETRIC_SEPARATED, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        TIFFSetField(tif, TIFFTAG_INKSET, INKSET_CMYK);
        if (!writeRows(tif, cmykPhoto, std::size_t(kW) * 4, 16)) {
            TIFFClose(tif);
            return 1;
        }
    }
    TIFFClose(tif);
    // A gray form: flat areas, rules and text in 8-bit gray, LZW without the predictor, one strip.
    std::vector<std::uint8_t> grayForm(std::size_t(kW) * kH);
    const Ink ink = typeset(9, false);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const std::size_t i = std::size_t(y) * kW + x;
            int v = (y / 350) % 2 == 1 && x > 150 && x < kW - 150 ? 225 : 255;
            if (y % 350 < 3 || (x > 900 && x < 903))
                v = 110;
            if (ink.a[i] > 127)
                v = 15;
            grayForm[i] = static_cast<std::uint8_t>(v);
        }
    if (!writePage(folder + "/form-gray-lzw.tif", grayForm, 1, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW,
                   PREDICTOR_NONE, kH))
        return 1;
    // The photograph error-diffused to a 6 x 6 x 6 palette, Deflate in default strips: unlike the
    // ordered dither, no pattern repeats from row to row.
    std::vector<std::uint16_t> cube(768, 0);
    for (int i = 0; i < 216; ++i) {
        cube[i] = static_cast<std::uint16_t>((i / 36) * 51 * 257);
        cube[256 + i] = static_cast<std::uint16_t>(((i / 6) % 6) * 51 * 257);
        cube[512 + i] = static_cast<std::uint16_t>((i % 6) * 51 * 257);
    }
    std::vector<std::uint8_t> diffusedIndex(grayPhoto.size());
    {
        std::vector<int> error(std::size_t(kW + 2) * 2 * 3, 0);
        for (int y = 0; y < kH; ++y) {
            int* now = &error[std::size_t(y % 2) * (kW + 2) * 3];
            int* next = &error[std::size_t((y + 1) % 2) * (kW + 2) * 3];
            std::fill(next, next + (kW + 2) * 3, 0);
            for (int x = 0; x < kW; ++x) {
                int index = 0;
                for (int c = 0; c < 3; ++c) {
                    const int want = std::clamp(
                        photo[(std::size_t(y) * kW + x) * 3 + c] + now[(x + 1) * 3 + c] / 16, 0, 255);
                    const int step = (want + 25) / 51;
                    const int e = want - step * 51;
                    index = index * 6 + step;
                    now[(x + 2) * 3 + c] += e * 7;
                    next[x * 3 + c] += e * 3;
                    next[(x + 1) * 3 + c] += e * 5;
                    next[(x + 2) * 3 + c] += e;
                }
                diffusedIndex[std::size_t(y) * kW + x] = static_cast<std::uint8_t>(index);
            }
        }
    }
    if (!writePage(folder + "/photo-palette-diffused.tif", diffusedIndex, 1, 8, PHOTOMETRIC_PALETTE,
                   COMPRESSION_ADOBE_DEFLATE, PREDICTOR_NONE, 0, 0, &cube))
        return 1;
    // A colour form in 16 colours, 4 bits a pixel, LZW: tinted boxes, rules, dark text.
    std::vector<std::uint16_t> sixteen(768, 0);
    static const int tints[16][3] = {{255, 255, 255}, {20, 20, 40},    {230, 240, 255}, {255, 245, 220},
                                     {225, 255, 230}, {120, 120, 130}, {200, 30, 30},   {30, 90, 180},
                                     {250, 250, 200}, {240, 225, 255}, {90, 160, 90},   {180, 180, 180},
                                     {255, 200, 120}, {60, 60, 60},    {150, 200, 250}, {0, 0, 0}};
    for (int i = 0; i < 16; ++i)
        for (int c = 0; c < 3; ++c)
            sixteen[c * 256 + i] = static_cast<std::uint16_t>(tints[i][c] * 257);
    const Ink colourInk = typeset(21, false);
    const std::size_t nibbleRow = (std::size_t(kW) + 1) / 2;
    std::vector<std::uint8_t> form4(nibbleRow * kH, 0);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            int v = x > 120 && x < kW - 120 ? 2 + (y / 300 + x / 800) % 3 : 0;
            if (y % 300 < 2 || x == 820 || x == 1640)
                v = 5;
            if ((y / 900) % 2 == 1 && x > 1800 && x < 2300 && y % 300 > 40 && y % 300 < 90)
                v = 6 + (y / 300) % 2;
            if (colourInk.a[std::size_t(y) * kW + x] > 127)
                v = (y / 600) % 4 == 3 ? 7 : 1;
            form4[std::size_t(y) * nibbleRow + x / 2] |= static_cast<std::uint8_t>(x % 2 ? v : v << 4);
        }
    if (!writePage(folder + "/form-palette4-lzw.tif", form4, 1, 4, PHOTOMETRIC_PALETTE, COMPRESSION_LZW,
                   PREDICTOR_NONE, 0, 0, &sixteen))
        return 1;
    // An invoice in RGB, uncompressed in default strips: a red logo, a table of alternately tinted
    // rows with grid lines, text in two colours, a tinted footer.
    const Ink invoiceInk = typeset(33, false);
    std::vector<std::uint8_t> invoice(std::size_t(kW) * kH * 3);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const std::size_t i = std::size_t(y) * kW + x;
            int c[3] = {255, 255, 255};
            const bool table = y >= 900 && y < 3000 && x >= 240 && x < kW - 240;
            if (table && ((y - 900) / 70) % 2 == 1)
                c[0] = c[1] = c[2] = 244;
            if (table &&
                ((y - 900) % 70 < 2 || x < 242 || x == 1300 || x == 1700 || x == 2000 || x >= kW - 242))
                c[0] = c[1] = c[2] = 160;
            if (y >= 3300)
                c[0] = 235, c[1] = 242, c[2] = 250;
            if (x >= 200 && x < 560 && y >= 150 && y < 420)
                c[0] = 180, c[1] = 30, c[2] = 40;
            if (invoiceInk.a[i] > 127 && !(x >= 200 && x < 560 && y < 420)) {
                const bool heading = y < 900 || y >= 3300;
                c[0] = heading ? 20 : 30;
                c[1] = heading ? 40 : 30;
                c[2] = heading ? 90 : 30;
            }
            for (int k = 0; k < 3; ++k)
                invoice[i * 3 + k] = static_cast<std::uint8_t>(c[k]);
        }
    if (!writePage(folder + "/form-rgb-invoice-none.tif", invoice, 3, 8, PHOTOMETRIC_RGB, COMPRESSION_NONE,
                   PREDICTOR_NONE, 0))
        return 1;
    // An A5 page (1748 x 2480) of another photograph, RGB LZW in default strips.
    const int w = kW, h = kH;
    kW = std::max(1, w * 1748 / 2480);
    kH = std::max(1, h * 2480 / 3508);
    const bool ok = writePage(folder + "/photo-rgb-lzw-a5.tif", photograph(11), 3, 8, PHOTOMETRIC_RGB,
                              COMPRESSION_LZW, PREDICTOR_NONE, 0);
    // A colour form scanned at 200 dpi (1654 x 2339), LZW without the predictor in 32-row strips:
    // tinted boxes, rules, dark text, and scanner noise of a level or two on the paper.
    kW = std::max(1, w * 1654 / 2480);
    kH = std::max(1, h * 2339 / 3508);
    const Ink smallInk = typeset(41, false);
    std::vector<std::uint8_t> scanned(std::size_t(kW) * kH * 3);
    Rng grain{4242};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const std::size_t i = std::size_t(y) * kW + x;
            int c[3] = {250, 250, 247};
            if ((y / 240) % 2 == 1 && x > 100 && x < kW - 100)
                c[0] = 252, c[1] = 238, c[2] = 210;
            if (y % 240 < 3 || x == 827)
                c[0] = c[1] = c[2] = 110;
            if (smallInk.a[i] > 127)
                c[0] = c[1] = c[2] = 25;
            const int n = grain.range(0, 15) == 0 ? grain.range(-2, 2) : 0;
            for (int k = 0; k < 3; ++k)
                scanned[i * 3 + k] = static_cast<std::uint8_t>(std::clamp(c[k] + n, 0, 255));
        }
    const bool scannedOk = writePage(folder + "/form-rgb-200dpi-lzw.tif", scanned, 3, 8, PHOTOMETRIC_RGB,
                                     COMPRESSION_LZW, PREDICTOR_NONE, 32);
    kW = w;
    kH = h;
    return ok && scannedOk ? 0 : 1;
}

int makeWider(const std::string& folder, const std::vector<std::uint8_t>& gray,
              const std::vector<std::uint8_t>& rgb)
{
    const auto photo = photograph(7);
    // A photograph as RGB LZW in default strips, no predictor.
    if (!writePage(folder + "/photo-rgb-lzw.tif", photo, 3, 8, PHOTOMETRIC_RGB, COMPRESSION_LZW,
                   PREDICTOR_NONE, 0))
        return 1;
    // The same photograph separated for print, CMYK LZW in 512-pixel tiles.
    if (!writePage(folder + "/photo-cmyk-tiles.tif", toCmyk(photo), 4, 8, PHOTOMETRIC_SEPARATED,
                   COMPRESSION_LZW, PREDICTOR_NONE, 0, 512))
        return 1;
    // A colour form made on a computer: flat tinted boxes, rules and text, no noise; LZW with the
    // predictor in 256-pixel tiles.
    const Ink ink = typeset(5, false);
    std::vector<std::uint8_t> form(std::size_t(kW) * kH * 3);
    std::vector<std::uint8_t> prepress(std::size_t(kW) * kH * 4);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const std::size_t i = std::size_t(y) * kW + x;
            int c[3] = {255, 255, 255};
            if ((y / 290) % 3 == 1 && x > 200 && x < kW - 200) {
                c[0] = 222;
                c[1] = 234;
                c[2] = 250;
            }
            if (y < 260) {
                c[0] = 30;
                c[1] = 70;
                c[2] = 140;
            }
            if ((y % 290) < 4 || (x > 1240 && x < 1244)) {
                c[0] = c[1] = c[2] = 120;
            }
            if (ink.a[i] > 127) {
                c[0] = c[1] = c[2] = 20;
            }
            for (int k = 0; k < 3; ++k)
                form[i * 3 + k] = static_cast<std::uint8_t>(c[k]);
            // Prepress CMYK: flat tints, a smooth vignette, black text; exact values, no noise.
            std::uint8_t* p = &prepress[i * 4];
            const bool vignette = y > 1500 && y < 2400;
            p[0] = static_cast<std::uint8_t>(vignette ? x * 255 / kW : ((y / 400) % 2 ? 40 : 0));
            p[1] = static_cast<std::uint8_t>(vignette ? (y - 1500) * 255 / 900 : ((x / 600) % 2 ? 100 : 0));
            p[2] = static_cast<std::uint8_t>(vignette ? 60 : 0);
            p[3] = static_cast<std::uint8_t>(ink.a[i] > 127 ? 255 : (vignette ? 0 : 10));
        }
    if (!writePage(folder + "/rgb-form-lzw-tiles.tif", form, 3, 8, PHOTOMETRIC_RGB, COMPRESSION_LZW,
                   PREDICTOR_HORIZONTAL, 0, 256))
        return 1;
    if (!writePage(folder + "/cmyk-prepress-lzw.tif", prepress, 4, 8, PHOTOMETRIC_SEPARATED, COMPRESSION_LZW,
                   PREDICTOR_HORIZONTAL, 64))
        return 1;
    // A gray scan with heavy noise (a poor scanner, grainy paper), LZW in default strips.
    Rng rng{777};
    std::vector<std::uint8_t> noisy(gray.size());
    std::vector<std::uint8_t> gray16(gray.size() * 2);
    for (std::size_t i = 0; i < gray.size(); ++i) {
        const int grain = int(rng.next() % 13) + int(rng.next() % 13) - 12;
        noisy[i] = static_cast<std::uint8_t>(std::clamp(int(gray[i]) + grain, 0, 255));
        const std::uint16_t v =
            static_cast<std::uint16_t>(std::clamp(int(gray[i]) * 257 + int(rng.next() % 97) - 48, 0, 65535));
        std::memcpy(&gray16[i * 2], &v, 2);
    }
    if (!writePage(folder + "/gray-noisy-lzw.tif", noisy, 1, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW,
                   PREDICTOR_NONE, 0))
        return 1;
    if (noisyCmyk(folder + "/cmyk-noisy-lzw.tif") != 0)
        return 1;
    // 16-bit gray, Deflate without predictor, 64 KB strips.
    if (!writePage(folder + "/gray16-deflate.tif", gray16, 1, 16, PHOTOMETRIC_MINISBLACK,
                   COMPRESSION_ADOBE_DEFLATE, PREDICTOR_NONE,
                   static_cast<std::uint32_t>(std::max(1, 65536 / (kW * 2)))))
        return 1;
    // The scanned page error-diffused to black and white in 8-bit gray, LZW.
    std::vector<std::uint8_t> dithered = gray;
    diffuse(dithered, 1);
    if (!writePage(folder + "/gray-dither-lzw.tif", dithered, 1, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_LZW,
                   PREDICTOR_NONE, 0))
        return 1;
    // The same page as a clustered-dot halftone (a 45-degree screen of about 85 lines per inch),
    // 8-bit gray of 0 and 255, Deflate without predictor, the page in one strip.
    std::vector<std::uint8_t> screened(gray.size());
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const double u = (x + y) * 0.707 / 3.5, v = (x - y) * 0.707 / 3.5;
            const double spot = (std::cos(u) + std::cos(v) + 2) / 4; // 0..1
            screened[std::size_t(y) * kW + x] = gray[std::size_t(y) * kW + x] / 255.0 < spot ? 0 : 255;
        }
    if (!writePage(folder + "/gray-halftone-deflate.tif", screened, 1, 8, PHOTOMETRIC_MINISBLACK,
                   COMPRESSION_ADOBE_DEFLATE, PREDICTOR_NONE, kH))
        return 1;
    // The RGB page ordered-dithered to a 6 x 7 x 6 palette, LZW.
    std::vector<std::uint16_t> map(768, 0);
    for (int i = 0; i < 252; ++i) {
        // Multiples of 257: every reader's 16-to-8-bit conversion gives the same colours.
        map[i] = static_cast<std::uint16_t>((i / 42) * 255 / 5 * 257);
        map[256 + i] = static_cast<std::uint16_t>(((i / 6) % 7) * 255 / 6 * 257);
        map[512 + i] = static_cast<std::uint16_t>((i % 6) * 255 / 5 * 257);
    }
    static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    std::vector<std::uint8_t> indexed(gray.size());
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const std::size_t i = std::size_t(y) * kW + x;
            const double t = (bayer[y % 4][x % 4] + 0.5) / 16;
            auto level = [&](int v, int steps) {
                return std::min(steps - 1, int(v / 255.0 * (steps - 1) + t));
            };
            indexed[i] = static_cast<std::uint8_t>(level(rgb[i * 3], 6) * 42 + level(rgb[i * 3 + 1], 7) * 6 +
                                                   level(rgb[i * 3 + 2], 6));
        }
    if (!writePage(folder + "/palette8-lzw.tif", indexed, 1, 8, PHOTOMETRIC_PALETTE, COMPRESSION_LZW,
                   PREDICTOR_NONE, 0, 0, &map))
        return 1;
    // Below a blank top margin (the paper's edge above the scan): a smooth tint with a speck in
    // every tenth pixel, and four gray levels at random. The margin must not set the search's depth.
    std::vector<std::uint8_t> specks(gray.size(), 255), levels(gray.size(), 255);
    Rng grain{4242};
    for (std::size_t i = std::size_t(kW) * 400; i < gray.size(); ++i) {
        const int x = int(i % kW), y = int(i / kW);
        specks[i] = static_cast<std::uint8_t>(60 + x * 120 / kW + y * 50 / kH + (grain.next() % 10 == 0));
        levels[i] = static_cast<std::uint8_t>(100 + grain.next() % 4);
    }
    if (!writePage(folder + "/gray-margin-specks-lzw.tif", specks, 1, 8, PHOTOMETRIC_MINISBLACK,
                   COMPRESSION_LZW, PREDICTOR_NONE, 0) ||
        !writePage(folder + "/gray-margin-levels-lzw.tif", levels, 1, 8, PHOTOMETRIC_MINISBLACK,
                   COMPRESSION_LZW, PREDICTOR_NONE, 0))
        return 1;
    return makeHeldOut(folder, photo);
}

int makeSet(const std::string& folder)
{
    // Bilevel G4, one page and ten pages, one strip per page as scanners write them.
    for (int pages : {1, 10}) {
        const std::string path = folder + (pages == 1 ? "/g4-1page.tif" : "/g4-10pages.tif");
        TIFF* tif = TIFFOpen(path.c_str(), "w");
        if (!tif)
            return 1;
        for (int p = 0; p < pages; ++p) {
            commonTags(tif, 1, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_CCITTFAX4);
            if (!writeRows(tif, bilevel(static_cast<unsigned>(p + 1)), kW / 8, kH))
                return 1;
        }
        TIFFClose(tif);
    }

    {
        // The same first page as libtiff's tools write G4 by default: many strips of a few rows.
        TIFF* tif = TIFFOpen((folder + "/g4-strips.tif").c_str(), "w");
        if (!tif)
            return 1;
        commonTags(tif, 1, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_CCITTFAX4);
        if (!writeRows(tif, bilevel(1), kW / 8, TIFFDefaultStripSize(tif, 0)))
            return 1;
        TIFFClose(tif);
    }

    // 8-bit gray, uncompressed in libtiff's default strips: paper with noise, soft text, a photo.
    const auto soft = typeset(3, true);
    const auto edge = soften(soft);
    Rng rng{4242};
    std::vector<std::uint8_t> gray(std::size_t(kW) * kH);
    std::vector<std::uint8_t> rgb(std::size_t(kW) * kH * 3);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const std::size_t i = std::size_t(y) * kW + x;
            const int noise = static_cast<int>(rng.next() % 7) - 3;
            const bool photo = x >= 400 && x < 2080 && y >= 1540 && y < 2380;
            double paper[3] = {243, 241, 236};
            if (photo) {
                paper[0] =
                    128 + 70 * std::sin(x / 97.0) * std::cos(y / 71.0) + 30 * std::sin((x + y) / 150.0);
                paper[1] = 110 + 60 * std::cos(x / 133.0) + 40 * std::sin(y / 57.0);
                paper[2] = 100 + 80 * std::sin((x - y) / 211.0);
            }
            const double cover = edge[i] / 255.0;
            const double inkColour[3] = {28, 26, 44};
            int v[3];
            for (int c = 0; c < 3; ++c)
                v[c] = std::clamp(static_cast<int>(paper[c] * (1 - cover) + inkColour[c] * cover) + noise, 0,
                                  255);
            gray[i] = static_cast<std::uint8_t>((v[0] * 30 + v[1] * 59 + v[2] * 11) / 100);
            for (int c = 0; c < 3; ++c)
                rgb[i * 3 + c] = static_cast<std::uint8_t>(v[c]);
        }
    {
        TIFF* tif = TIFFOpen((folder + "/gray8.tif").c_str(), "w");
        if (!tif)
            return 1;
        commonTags(tif, 1, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE);
        if (!writeRows(tif, gray, kW, TIFFDefaultStripSize(tif, 0)))
            return 1;
        TIFFClose(tif);
    }
    {
        // RGB JPEG: YCbCr, 2x2 subsampled, quality 85, the page in one strip.
        TIFF* tif = TIFFOpen((folder + "/rgb-jpeg.tif").c_str(), "w");
        if (!tif)
            return 1;
        commonTags(tif, 3, 8, PHOTOMETRIC_YCBCR, COMPRESSION_JPEG);
        TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 85);
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        if (!writeRows(tif, rgb, std::size_t(kW) * 3, kH))
            return 1;
        TIFFClose(tif);
    }
    {
        // RGB Deflate with the horizontal predictor, the page in one strip.
        TIFF* tif = TIFFOpen((folder + "/rgb-deflate.tif").c_str(), "w");
        if (!tif)
            return 1;
        commonTags(tif, 3, 8, PHOTOMETRIC_RGB, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        if (!writeRows(tif, rgb, std::size_t(kW) * 3, kH))
            return 1;
        TIFFClose(tif);
    }
    {
        // CMYK with LZW and no predictor, in libtiff's default strips, as prepress software writes it.
        TIFF* tif = TIFFOpen((folder + "/cmyk-lzw.tif").c_str(), "w");
        if (!tif)
            return 1;
        commonTags(tif, 4, 8, PHOTOMETRIC_SEPARATED, COMPRESSION_LZW);
        TIFFSetField(tif, TIFFTAG_INKSET, INKSET_CMYK);
        std::vector<std::uint8_t> cmyk = toCmyk(rgb);
        if (!writeRows(tif, cmyk, std::size_t(kW) * 4, TIFFDefaultStripSize(tif, 0)))
            return 1;
        TIFFClose(tif);
        // The same page halftoned for print: each ink error-diffused (Floyd-Steinberg) to 0 or 255.
        std::vector<int> error(std::size_t(kW + 2) * 2 * 4, 0);
        for (int y = 0; y < kH; ++y) {
            int* now = &error[std::size_t(y % 2) * (kW + 2) * 4];
            int* next = &error[std::size_t((y + 1) % 2) * (kW + 2) * 4];
            std::fill(next, next + (kW + 2) * 4, 0);
            for (int x = 0; x < kW; ++x)
                for (int c = 0; c < 4; ++c) {
                    std::uint8_t& v = cmyk[(std::size_t(y) * kW + x) * 4 + c];
                    const int want = v + now[(x + 1) * 4 + c] / 16;
                    v = want >= 128 ? 255 : 0;
                    const int e = want - v;
                    now[(x + 2) * 4 + c] += e * 7;
                    next[x * 4 + c] += e * 3;
                    next[(x + 1) * 4 + c] += e * 5;
                    next[(x + 2) * 4 + c] += e;
                }
        }
        tif = TIFFOpen((folder + "/cmyk-halftone-lzw.tif").c_str(), "w");
        if (!tif)
            return 1;
        commonTags(tif, 4, 8, PHOTOMETRIC_SEPARATED, COMPRESSION_LZW);
        TIFFSetField(tif, TIFFTAG_INKSET, INKSET_CMYK);
        if (!writeRows(tif, cmyk, std::size_t(kW) * 4, TIFFDefaultStripSize(tif, 0)))
            return 1;
        TIFFClose(tif);
    }
    // Gray and RGB as Quillfeed's scanner writes them: Deflate with the predictor in 64 KB strips.
    for (int samples : {1, 3}) {
        TIFF* tif = TIFFOpen(
            (folder + (samples == 1 ? "/gray8-deflate-strips.tif" : "/rgb-deflate-strips.tif")).c_str(), "w");
        if (!tif)
            return 1;
        commonTags(tif, samples, 8, samples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB,
                   COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        const std::size_t rowBytes = std::size_t(kW) * samples;
        if (!writeRows(tif, samples == 1 ? gray : rgb, rowBytes,
                       static_cast<std::uint32_t>(std::max<std::size_t>(1, 65536 / rowBytes))))
            return 1;
        TIFFClose(tif);
    }
    return makeWider(folder, gray, rgb);
}

int make(const std::string& folder)
{
    if (int rc = makeSet(folder))
        return rc;
    // The same kinds of file with 32 x 32 pages: what a converter needs whatever the page size.
    kW = kH = 32;
    const std::string tiny = folder + "/tiny";
    std::string command = "mkdir -p '" + tiny + "'";
    if (std::system(command.c_str()) != 0)
        return 1;
    return makeSet(tiny);
}

int expect(const std::string& path, int page, const std::string& out)
{
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif || !TIFFSetDirectory(tif, static_cast<tdir_t>(page - 1)))
        return 1;
    std::uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    std::vector<std::uint32_t> raster(std::size_t(w) * h);
    if (!TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 0))
        return 1;
    TIFFClose(tif);
    std::ofstream f(out, std::ios::binary);
    f << "P6\n" << w << " " << h << "\n255\n";
    std::vector<char> row(std::size_t(w) * 3);
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint32_t p = raster[std::size_t(y) * w + x];
            row[x * 3] = static_cast<char>(TIFFGetR(p));
            row[x * 3 + 1] = static_cast<char>(TIFFGetG(p));
            row[x * 3 + 2] = static_cast<char>(TIFFGetB(p));
        }
        f.write(row.data(), static_cast<std::streamsize>(row.size()));
    }
    return f ? 0 : 1;
}

int sameSamples(const std::string& a, const std::string& b)
{
    TIFF* ta = TIFFOpen(a.c_str(), "r");
    TIFF* tb = TIFFOpen(b.c_str(), "r");
    if (!ta || !tb)
        return 1;
    auto tag = [](TIFF* t, ttag_t id) {
        std::uint32_t v = 0;
        TIFFGetFieldDefaulted(t, id, &v);
        return v;
    };
    auto tag16 = [](TIFF* t, ttag_t id) {
        std::uint16_t v = 0;
        TIFFGetFieldDefaulted(t, id, &v);
        return v;
    };
    const std::uint32_t w = tag(ta, TIFFTAG_IMAGEWIDTH), h = tag(ta, TIFFTAG_IMAGELENGTH);
    if (w != tag(tb, TIFFTAG_IMAGEWIDTH) || h != tag(tb, TIFFTAG_IMAGELENGTH) ||
        tag16(ta, TIFFTAG_SAMPLESPERPIXEL) != tag16(tb, TIFFTAG_SAMPLESPERPIXEL) ||
        tag16(ta, TIFFTAG_BITSPERSAMPLE) != 8 || tag16(tb, TIFFTAG_BITSPERSAMPLE) != 8) {
        std::printf("size or layout differs\n");
        return 1;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(TIFFScanlineSize(ta));
    std::vector<std::uint8_t> ra(rowBytes), rb(rowBytes), whole;
    if (TIFFIsTiled(ta)) {
        // A tiled input is assembled whole first: tiles cannot be read as rows.
        const std::uint32_t tw = tag(ta, TIFFTAG_TILEWIDTH), th = tag(ta, TIFFTAG_TILELENGTH);
        const std::size_t pixelBytes = rowBytes / w;
        std::vector<std::uint8_t> tile(static_cast<std::size_t>(TIFFTileSize(ta)));
        whole.resize(rowBytes * h);
        for (std::uint32_t y = 0; y < h; y += th)
            for (std::uint32_t x = 0; x < w; x += tw) {
                if (TIFFReadTile(ta, tile.data(), x, y, 0, 0) < 0)
                    return 1;
                for (std::uint32_t r = 0; r < th && y + r < h; ++r)
                    std::memcpy(&whole[(y + r) * rowBytes + x * pixelBytes],
                                &tile[std::size_t(r) * tw * pixelBytes], std::min(tw, w - x) * pixelBytes);
            }
    }
    for (std::uint32_t y = 0; y < h; ++y) {
        if (whole.empty() ? TIFFReadScanline(ta, ra.data(), y, 0) < 0
                          : (std::memcpy(ra.data(), &whole[y * rowBytes], rowBytes), false))
            return 1;
        if (TIFFReadScanline(tb, rb.data(), y, 0) < 0 || ra != rb) {
            std::printf("row %u differs\n", y);
            return 1;
        }
    }
    TIFFClose(ta);
    TIFFClose(tb);
    return 0;
}

int jpeg(const std::string& path, const std::string& out)
{
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        return 1;
    const tmsize_t size = static_cast<tmsize_t>(TIFFGetStrileByteCount(tif, 0));
    std::vector<char> strip(static_cast<std::size_t>(size));
    if (TIFFReadRawStrip(tif, 0, strip.data(), size) != size)
        return 1;
    std::uint32_t n = 0;
    const char* tables = nullptr;
    std::ofstream f(out, std::ios::binary);
    if (TIFFGetField(tif, TIFFTAG_JPEGTABLES, &n, &tables) && n > 4) {
        f.write(strip.data(), 2);
        f.write(tables + 2, n - 4);
        f.write(strip.data() + 2, size - 2);
    } else {
        f.write(strip.data(), size);
    }
    TIFFClose(tif);
    return f ? 0 : 1;
}

bool readPnm(const std::string& path, int& w, int& h, std::vector<std::uint8_t>& rgb)
{
    std::ifstream f(path, std::ios::binary);
    std::string magic;
    int maxValue = 1;
    f >> magic >> w >> h;
    if (magic != "P4")
        f >> maxValue;
    f.get();
    if (!f || maxValue != (magic == "P4" ? 1 : 255))
        return false;
    rgb.assign(std::size_t(w) * h * 3, 0);
    if (magic == "P4") { // 1 is black
        const std::size_t rowBytes = (w + 7) / 8;
        std::vector<std::uint8_t> row(rowBytes);
        for (int y = 0; y < h; ++y) {
            f.read(reinterpret_cast<char*>(row.data()), static_cast<std::streamsize>(rowBytes));
            for (int x = 0; x < w; ++x) {
                const std::uint8_t v = (row[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
                std::memset(&rgb[(std::size_t(y) * w + x) * 3], v, 3);
            }
        }
    } else if (magic == "P5") {
        std::vector<std::uint8_t> g(std::size_t(w) * h);
        f.read(reinterpret_cast<char*>(g.data()), static_cast<std::streamsize>(g.size()));
        for (std::size_t i = 0; i < g.size(); ++i)
            std::memset(&rgb[i * 3], g[i], 3);
    } else if (magic == "P6") {
        f.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
    } else {
        return false;
    }
    return static_cast<bool>(f);
}

int compare(const std::string& a, const std::string& b)
{
    int wa, ha, wb, hb;
    std::vector<std::uint8_t> pa, pb;
    if (!readPnm(a, wa, ha, pa) || !readPnm(b, wb, hb, pb)) {
        std::printf("unreadable\n");
        return 2;
    }
    if (wa != wb || ha != hb) {
        std::printf("size %dx%d vs %dx%d\n", wa, ha, wb, hb);
        return 1;
    }
    std::size_t differ = 0;
    int worst = 0;
    for (std::size_t i = 0; i < pa.size(); ++i) {
        const int d = std::abs(int(pa[i]) - int(pb[i]));
        if (d) {
            ++differ;
            worst = std::max(worst, d);
        }
    }
    if (!differ) {
        std::printf("identical\n");
        return 0;
    }
    std::printf("%zu samples differ, by up to %d\n", differ, worst);
    return 1;
}

/// Prints how many pages (directories) the TIFF holds.
int pages(const char* tifPath)
{
    TIFF* tif = TIFFOpen(tifPath, "r");
    if (!tif)
        return 1;
    int n = 1;
    while (TIFFReadDirectory(tif))
        ++n;
    TIFFClose(tif);
    std::printf("%d\n", n);
    return 0;
}

/// Writes COUNT 8 x 8 gray pages into one TIFF, each its own directory: the many-page case.
int many(const char* tifPath, int count)
{
    TIFF* tif = TIFFOpen(tifPath, "w");
    if (!tif || count < 1)
        return 1;
    std::vector<std::uint8_t> pixels(64);
    for (int page = 0; page < count; ++page) {
        for (std::size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = static_cast<std::uint8_t>(page * 7 + i * 3);
        commonTags(tif, 1, 8, PHOTOMETRIC_MINISBLACK, COMPRESSION_NONE);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 8);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 8);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 8);
        if (TIFFWriteEncodedStrip(tif, 0, pixels.data(), 64) < 0 || !TIFFWriteDirectory(tif)) {
            TIFFClose(tif);
            return 1;
        }
    }
    TIFFClose(tif);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    TIFFSetWarningHandler(nullptr);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "noisy-cmyk" && argc == 3)
        return noisyCmyk(argv[2]);
    if (mode == "make" && argc == 3)
        return make(argv[2]);
    if (mode == "expect" && argc == 5)
        return expect(argv[2], std::atoi(argv[3]), argv[4]);
    if (mode == "jpeg" && argc == 4)
        return jpeg(argv[2], argv[3]);
    if (mode == "compare" && argc == 4)
        return compare(argv[2], argv[3]);
    if (mode == "samples" && argc == 4)
        return sameSamples(argv[2], argv[3]);
    if (mode == "pages" && argc == 3)
        return pages(argv[2]);
    if (mode == "many" && argc == 4)
        return many(argv[2], std::atoi(argv[3]));
    std::fprintf(
        stderr,
        "usage: gen_pages make FOLDER | expect TIFF PAGE PPM | jpeg TIFF OUT | compare A B | samples A B | "
        "pages TIFF | many TIFF COUNT\n");
    return 2;
}
