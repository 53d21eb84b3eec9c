// SPDX-License-Identifier: GPL-3.0-or-later
#include "PageJudge.h"

#include "ScanLogging.h"

#include <QFile>

#include <tiffio.h>
#include <zbar.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

// The blank test looks at the page at about 150 dpi: a pencil stroke (0.3 mm and
// up) still covers a whole pixel there, and the averaging of the source pixels
// into one takes most of the scanner's noise away.
constexpr double kJudgeDpi = 150;
// Codes are read at about 300 dpi: a bar of a 1 cm Code 128 label is a quarter
// of a millimetre, two pixels at 200 dpi, three at 300.
constexpr double kCodeDpi = 300;
// Bounds of what is read at all, so a hostile file cannot make us decode for ever
// or allocate without end: a side of 100000 pixels is 4 m at 600 dpi.
constexpr uint32_t kMaxSide = 100000;
constexpr double kMaxPixels = 600e6;
// The planes the page is shrunk into; an A4 page at its resolutions above is
// 2 and 8.7 million pixels, a larger page is shrunk further.
constexpr double kMaxJudgePixels = 8e6;
constexpr double kMaxCodePixels = 16e6;
// libtiff may allocate no more than this for one strip or tile.
constexpr tmsize_t kMaxTiffAlloc = 256 * 1024 * 1024;
// The fallback reader decodes bands of whole strips or tiles of at most this many bytes.
constexpr qsizetype kMaxBandBytes = 64 * 1024 * 1024;

// The band along every edge that is never looked at: the scanner's shadow of the
// paper's edge, a slightly skewed feed, the torn rim of a page.
constexpr double kEdgeMm = 5;
// Punched holes sit 12 mm from the edge and are 6 mm across, staples and their
// shadows are smaller: a small mark within this band of an edge is taken for one.
constexpr double kHoleBandMm = 20;
constexpr double kHoleMaxMm = 10;
// A mark smaller than this both ways is dust, a fibre, a toner speck; the dot
// of an i is a little smaller, so a page of only such dots is not writing.
constexpr double kSpeckMm = 1.0;
// Marks this close together belong to one stroke: a faint pencil line broken up
// by the paper's grain is still one line.
constexpr double kJoinMm = 0.5;
// Specks covering more than this share of the page are a texture (a light
// screen, a dotted form) and not dust.
constexpr double kSpeckShare = 0.002;
// Ink is at least this much darker than the paper, in any of its colours, as a
// share of the paper's own level: paper of any colour is judged by the contrast
// of what is on it. Show-through of print on the other side of office paper
// stays under 5 %, a faint pencil line or a light stamp is 15 % and more.
constexpr double kInkContrast = 0.10;
// Where the scanner's noise is larger, ink must stand out of it by this many of
// its standard deviations...
constexpr double kNoiseSigmas = 4;
// ...and a page so noisy that this is more than a fifth of the paper's level
// cannot be told from writing: it is kept.
constexpr double kMaxContrast = 0.20;
// Paper this dark in all its colours is no paper (an open lid, a black sheet):
// in doubt, kept.
constexpr int kDarkPaper = 48;

struct Plane
{
    int width = 0;
    int height = 0;
    int channels = 1;
    std::vector<uint8_t> data;

    const uint8_t* at(int x, int y) const { return data.data() + (qsizetype(y) * width + x) * channels; }
};

// Averages boxes of fx x fy source pixels into one as the rows come, so that a
// page is never held at its full size.
class Shrinker
{
public:
    Shrinker(uint32_t width, uint32_t height, int fx, int fy, int channels)
        : m_sourceWidth(width), m_fx(fx), m_fy(fy), m_channels(channels)
    {
        m_plane.width = int((width + fx - 1) / fx);
        m_plane.height = int((height + fy - 1) / fy);
        m_plane.channels = channels;
        m_plane.data.assign(size_t(m_plane.width) * m_plane.height * channels, 255);
        m_sums.assign(size_t(m_plane.width) * channels, 0);
    }

    void addRgbRow(const uint8_t* rgb)
    {
        for (uint32_t x = 0; x < m_sourceWidth; ++x) {
            uint32_t* sum = &m_sums[size_t(x / m_fx) * m_channels];
            const uint8_t* p = rgb + size_t(x) * 3;
            if (m_channels == 3) {
                sum[0] += p[0];
                sum[1] += p[1];
                sum[2] += p[2];
            } else {
                // The luma weights of video, in 256ths.
                sum[0] += (77u * p[0] + 150u * p[1] + 29u * p[2] + 128u) >> 8;
            }
        }
        if (++m_rowsInBox == m_fy)
            emitRow();
    }

    Plane finish()
    {
        if (m_rowsInBox > 0)
            emitRow();
        return std::move(m_plane);
    }

private:
    void emitRow()
    {
        if (m_row >= m_plane.height)
            return;
        uint8_t* out = m_plane.data.data() + size_t(m_row) * m_plane.width * m_channels;
        for (int ox = 0; ox < m_plane.width; ++ox) {
            const uint32_t cols = std::min<uint32_t>(m_fx, m_sourceWidth - uint32_t(ox) * m_fx);
            const uint32_t count = cols * uint32_t(m_rowsInBox);
            for (int c = 0; c < m_channels; ++c) {
                uint32_t& sum = m_sums[size_t(ox) * m_channels + c];
                out[size_t(ox) * m_channels + c] = uint8_t((sum + count / 2) / count);
                sum = 0;
            }
        }
        ++m_row;
        m_rowsInBox = 0;
    }

    uint32_t m_sourceWidth;
    int m_fx;
    int m_fy;
    int m_channels;
    int m_rowsInBox = 0;
    int m_row = 0;
    Plane m_plane;
    std::vector<uint32_t> m_sums;
};

struct TiffMessages
{
    QString error;
};

int onTiffError(TIFF*, void* user, const char* module, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    auto* messages = static_cast<TiffMessages*>(user);
    // The first complaint is the cause; later ones follow from it.
    if (messages->error.isEmpty())
        messages->error = module && *module ? QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(module),
                                                                           QString::fromLocal8Bit(text))
                                            : QString::fromLocal8Bit(text);
    return 1;
}

int onTiffWarning(TIFF*, void*, const char* module, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    qCDebug(lcScan) << "libtiff warning:" << (module ? module : "") << text;
    return 1;
}

struct TiffCloser
{
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

using RowSink = std::function<void(const uint8_t* rgb)>;

// The forms the scan run writes (and most others) are read row by row, which
// decodes a page of one G4 strip once rather than once a band.
bool canReadRows(TIFF* tiff, uint16_t photometric, uint16_t bits, uint16_t samples)
{
    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    if (TIFFIsTiled(tiff) || (samples > 1 && planar != PLANARCONFIG_CONTIG))
        return false;
    if (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK)
        return samples >= 1 && (bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16);
    if (photometric == PHOTOMETRIC_RGB)
        return samples >= 3 && (bits == 8 || bits == 16);
    return false;
}

bool readRows(TIFF* tiff, uint32_t width, uint32_t height, uint16_t photometric, uint16_t bits,
              uint16_t samples, const RowSink& sink)
{
    std::vector<uint8_t> line(size_t(TIFFScanlineSize(tiff)));
    const size_t needed = (size_t(width) * samples * bits + 7) / 8;
    if (line.size() < needed)
        return false;
    std::vector<uint8_t> rgb(size_t(width) * 3);
    const uint32_t top = (1u << std::min<uint16_t>(bits, 8)) - 1;
    auto sample = [&](size_t index) -> uint8_t {
        if (bits == 8)
            return line[index];
        if (bits == 16) {
            uint16_t value;
            std::memcpy(&value, line.data() + 2 * index, sizeof value);
            return uint8_t(value >> 8);
        }
        const size_t bit = index * bits;
        const uint32_t value = (line[bit / 8] >> (8 - bits - bit % 8)) & top;
        return uint8_t(value * 255 / top);
    };
    const bool gray = photometric != PHOTOMETRIC_RGB;
    const bool inverted = photometric == PHOTOMETRIC_MINISWHITE;
    for (uint32_t row = 0; row < height; ++row) {
        if (TIFFReadScanline(tiff, line.data(), row, 0) < 0)
            return false;
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* out = &rgb[size_t(x) * 3];
            const size_t first = size_t(x) * samples;
            if (gray) {
                const uint8_t v = inverted ? uint8_t(255 - sample(first)) : sample(first);
                out[0] = out[1] = out[2] = v;
            } else {
                out[0] = sample(first);
                out[1] = sample(first + 1);
                out[2] = sample(first + 2);
            }
        }
        sink(rgb.data());
    }
    return true;
}

// Everything else (tiles, palettes, YCbCr, CMYK, planes apart) goes through
// libtiff's own RGBA conversion, in bands of whole strips or tiles.
bool readRgbaBands(TIFF* tiff, uint32_t width, uint32_t height, const RowSink& sink, QString& error)
{
    char message[1024] = {};
    if (!TIFFRGBAImageOK(tiff, message)) {
        error = QString::fromLocal8Bit(message);
        return false;
    }
    TIFFRGBAImage image;
    if (!TIFFRGBAImageBegin(&image, tiff, 0, message)) {
        error = QString::fromLocal8Bit(message);
        return false;
    }
    image.req_orientation = ORIENTATION_TOPLEFT;
    uint32_t band = 0;
    if (TIFFIsTiled(tiff))
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &band);
    else
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &band);
    const uint32_t mostRows = uint32_t(std::max<qsizetype>(1, kMaxBandBytes / (qsizetype(width) * 4)));
    band = std::clamp<uint32_t>(band, 1, std::min(mostRows, height));
    std::vector<uint32_t> raster(size_t(width) * band);
    std::vector<uint8_t> rgb(size_t(width) * 3);
    bool ok = true;
    for (uint32_t row = 0; ok && row < height; row += band) {
        const uint32_t rows = std::min(band, height - row);
        image.row_offset = int(row);
        ok = TIFFRGBAImageGet(&image, raster.data(), width, rows) != 0;
        for (uint32_t r = 0; ok && r < rows; ++r) {
            const uint32_t* in = &raster[size_t(r) * width];
            for (uint32_t x = 0; x < width; ++x) {
                rgb[size_t(x) * 3] = uint8_t(TIFFGetR(in[x]));
                rgb[size_t(x) * 3 + 1] = uint8_t(TIFFGetG(in[x]));
                rgb[size_t(x) * 3 + 2] = uint8_t(TIFFGetB(in[x]));
            }
            sink(rgb.data());
        }
    }
    TIFFRGBAImageEnd(&image);
    return ok;
}

// The resolution the page says it has; where it says none (or nonsense), that of
// a page of office width.
double resolution(TIFF* tiff, uint32_t tag, uint32_t width)
{
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
    float value = 0;
    double dpi = 0;
    if (unit != RESUNIT_NONE && TIFFGetField(tiff, tag, &value) && std::isfinite(value))
        dpi = unit == RESUNIT_CENTIMETER ? double(value) * 2.54 : double(value);
    if (dpi >= 50 && dpi <= 4800)
        return dpi;
    return std::max(10.0, width / 8.5);
}

void factorsFor(uint32_t width, uint32_t height, double xDpi, double yDpi, double targetDpi,
                double mostPixels, int& fx, int& fy)
{
    fx = std::max(1, int(std::lround(xDpi / targetDpi)));
    fy = std::max(1, int(std::lround(yDpi / targetDpi)));
    while (double((width + fx - 1) / fx) * double((height + fy - 1) / fy) > mostPixels) {
        ++fx;
        ++fy;
    }
}

// The paper's level and the darkening that makes ink, per colour.
struct Paper
{
    std::array<int, 3> level{};
    std::array<int, 3> threshold{};
    QString doubt;
};

Paper paperOf(const Plane& page, int x0, int y0, int x1, int y1)
{
    Paper paper;
    for (int c = 0; c < page.channels; ++c) {
        std::array<qint64, 256> histogram{};
        qint64 total = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                ++histogram[page.at(x, y)[c]];
        total = qint64(x1 - x0) * (y1 - y0);
        // The median: writing covers far less than half of any page that could be
        // blank, so the median is the paper's own level.
        auto median = [total](const std::array<qint64, 256>& h) {
            qint64 seen = 0;
            for (int v = 0; v < 256; ++v) {
                seen += h[v];
                if (2 * seen >= total)
                    return v;
            }
            return 255;
        };
        const int level = median(histogram);
        std::array<qint64, 256> spread{};
        for (int v = 0; v < 256; ++v)
            spread[std::abs(v - level)] += histogram[v];
        // The median deviation, scaled to a standard deviation as for normal noise.
        const double sigma = 1.4826 * median(spread);
        const double noiseFloor = kNoiseSigmas * sigma;
        paper.level[c] = level;
        paper.threshold[c] = std::max(1, int(std::ceil(std::max(kInkContrast * level, noiseFloor))));
        if (noiseFloor > kMaxContrast * level && paper.doubt.isEmpty())
            paper.doubt = QStringLiteral("the page is too noisy to tell (paper %1, noise %2)")
                              .arg(level)
                              .arg(sigma, 0, 'f', 1);
    }
    for (int c = page.channels; c < 3; ++c) {
        paper.level[c] = paper.level[0];
        paper.threshold[c] = paper.threshold[0];
    }
    if (*std::max_element(paper.level.begin(), paper.level.end()) < kDarkPaper)
        paper.doubt = QStringLiteral("the page is dark throughout");
    return paper;
}

// Judges the shrunk page; returns an empty text for a blank page, else why not.
QString inkOn(const Plane& page, double xDpi, double yDpi)
{
    auto px = [](double mm, double dpi) { return std::max(1, int(std::lround(mm * dpi / 25.4))); };
    const int edgeX = px(kEdgeMm, xDpi), edgeY = px(kEdgeMm, yDpi);
    if (page.width <= 2 * edgeX || page.height <= 2 * edgeY)
        return QStringLiteral("the page is too small to judge");
    const int x0 = edgeX, y0 = edgeY, x1 = page.width - edgeX, y1 = page.height - edgeY;
    const Paper paper = paperOf(page, x0, y0, x1, y1);
    if (!paper.doubt.isEmpty())
        return paper.doubt;

    const int w = page.width;
    std::vector<uint8_t> ink(size_t(w) * page.height, 0);
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const uint8_t* p = page.at(x, y);
            for (int c = 0; c < page.channels; ++c)
                if (paper.level[c] - p[c] >= paper.threshold[c]) {
                    ink[size_t(y) * w + x] = 1;
                    break;
                }
        }

    const int joinX = px(kJoinMm, xDpi), joinY = px(kJoinMm, yDpi);
    const int speckX = px(kSpeckMm, xDpi), speckY = px(kSpeckMm, yDpi);
    const int bandX = px(kHoleBandMm, xDpi), bandY = px(kHoleBandMm, yDpi);
    const int holeX = px(kHoleMaxMm, xDpi), holeY = px(kHoleMaxMm, yDpi);
    qint64 speckPixels = 0;
    std::vector<int> stack;
    for (int sy = y0; sy < y1; ++sy)
        for (int sx = x0; sx < x1; ++sx) {
            if (ink[size_t(sy) * w + sx] != 1)
                continue;
            // One mark: every ink pixel within the joining distance of another.
            int left = sx, right = sx, top = sy, bottom = sy;
            qint64 pixels = 0;
            ink[size_t(sy) * w + sx] = 2;
            stack.assign(1, sy * w + sx);
            while (!stack.empty()) {
                const int at = stack.back();
                stack.pop_back();
                const int x = at % w, y = at / w;
                ++pixels;
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
                for (int ny = std::max(y0, y - joinY); ny <= std::min(y1 - 1, y + joinY); ++ny)
                    for (int nx = std::max(x0, x - joinX); nx <= std::min(x1 - 1, x + joinX); ++nx) {
                        uint8_t& seen = ink[size_t(ny) * w + nx];
                        if (seen == 1) {
                            seen = 2;
                            stack.push_back(ny * w + nx);
                        }
                    }
            }
            const int markW = right - left + 1, markH = bottom - top + 1;
            if (markW < speckX && markH < speckY) {
                speckPixels += pixels;
                continue;
            }
            const bool nearEdge =
                right < bandX || left >= w - bandX || bottom < bandY || top >= page.height - bandY;
            if (nearEdge && markW <= holeX && markH <= holeY)
                continue;
            return QStringLiteral("a mark of %1 x %2 mm at %3, %4 mm")
                .arg(markW * 25.4 / xDpi, 0, 'f', 1)
                .arg(markH * 25.4 / yDpi, 0, 'f', 1)
                .arg(left * 25.4 / xDpi, 0, 'f', 0)
                .arg(top * 25.4 / yDpi, 0, 'f', 0);
        }
    if (double(speckPixels) > kSpeckShare * double(x1 - x0) * double(y1 - y0))
        return QStringLiteral("specks cover %1 % of the page")
            .arg(100.0 * speckPixels / (double(x1 - x0) * (y1 - y0)), 0, 'f', 2);
    return QString();
}

QStringList codesOn(const Plane& gray)
{
    // zbar's C interface, declared in a namespace of its own when seen from C++.
    using namespace zbar;
    QStringList codes;
    zbar_image_scanner_t* scanner = zbar_image_scanner_create();
    if (!scanner)
        return codes;
    zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 1);
    // Every second line each way finds a code of a centimetre on hundreds of
    // lines still, in three fifths of the time.
    zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_X_DENSITY, 2);
    zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_Y_DENSITY, 2);
    zbar_image_t* image = zbar_image_create();
    if (image) {
        zbar_image_set_format(image, zbar_fourcc('Y', '8', '0', '0'));
        zbar_image_set_size(image, unsigned(gray.width), unsigned(gray.height));
        zbar_image_set_data(image, gray.data.data(), gray.data.size(), nullptr);
        if (zbar_scan_image(scanner, image) > 0) {
            for (const zbar_symbol_t* symbol = zbar_image_first_symbol(image); symbol;
                 symbol = zbar_symbol_next(symbol))
                codes.push_back(QString::fromUtf8(zbar_symbol_get_data(symbol),
                                                  int(zbar_symbol_get_data_length(symbol))));
        }
        zbar_image_destroy(image);
    }
    zbar_image_scanner_destroy(scanner);
    return codes;
}

} // namespace

namespace PageJudge {

Verdict judge(const QString& tiffPath, bool readCodes)
{
    Verdict verdict;
    auto fail = [&](const QString& why) {
        verdict.error = QStringLiteral("The page %1 could not be judged: %2").arg(tiffPath, why);
        qCWarning(lcScan) << verdict.error;
        return verdict;
    };

    TiffMessages messages;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, onTiffError, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options, onTiffWarning, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxTiffAlloc);
    // "m": not mapped, so a file cut short while it is read is a read error, not a bus error.
    std::unique_ptr<TIFF, TiffCloser> tiff(
        TIFFOpenExt(QFile::encodeName(tiffPath).constData(), "rm", options));
    TIFFOpenOptionsFree(options);
    if (!tiff)
        return fail(messages.error.isEmpty() ? QStringLiteral("it is not a TIFF file") : messages.error);

    uint32_t width = 0, height = 0;
    uint16_t bits = 1, samples = 1, photometric = 0;
    TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (!TIFFGetField(tiff.get(), TIFFTAG_PHOTOMETRIC, &photometric))
        photometric = samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISWHITE;
    if (width == 0 || height == 0)
        return fail(QStringLiteral("it holds no image"));
    if (width > kMaxSide || height > kMaxSide || double(width) * height > kMaxPixels)
        return fail(QStringLiteral("its image of %1 x %2 pixels is too large").arg(width).arg(height));

    const double xDpi = resolution(tiff.get(), TIFFTAG_XRESOLUTION, width);
    const double yDpi = resolution(tiff.get(), TIFFTAG_YRESOLUTION, width);
    int jx = 1, jy = 1, cx = 1, cy = 1;
    factorsFor(width, height, xDpi, yDpi, kJudgeDpi, kMaxJudgePixels, jx, jy);
    factorsFor(width, height, xDpi, yDpi, kCodeDpi, kMaxCodePixels, cx, cy);
    Shrinker judged(width, height, jx, jy, 3);
    std::unique_ptr<Shrinker> coded;
    if (readCodes)
        coded = std::make_unique<Shrinker>(width, height, cx, cy, 1);
    const RowSink sink = [&](const uint8_t* rgb) {
        judged.addRgbRow(rgb);
        if (coded)
            coded->addRgbRow(rgb);
    };

    QString rgbaError;
    const bool read = canReadRows(tiff.get(), photometric, bits, samples)
                          ? readRows(tiff.get(), width, height, photometric, bits, samples, sink)
                          : readRgbaBands(tiff.get(), width, height, sink, rgbaError);
    if (!read || !messages.error.isEmpty())
        return fail(!messages.error.isEmpty() ? messages.error
                    : !rgbaError.isEmpty()    ? rgbaError
                                              : QStringLiteral("its image could not be decoded"));
    tiff.reset();

    const QString ink = inkOn(judged.finish(), xDpi / jx, yDpi / jy);
    verdict.blank = ink.isEmpty();
    verdict.reason = verdict.blank ? QStringLiteral("no mark away from the edges") : ink;
    if (coded)
        verdict.codes = codesOn(coded->finish());
    qCDebug(lcScan) << "page judged:" << tiffPath << (verdict.blank ? "blank," : "not blank,")
                    << verdict.reason << "codes" << verdict.codes;
    return verdict;
}

} // namespace PageJudge
