// SPDX-License-Identifier: GPL-3.0-or-later
// Reads a TIFF page back with libtiff: its tags, every row, and its pixels.
#pragma once

#include <QFile>
#include <QString>
#include <QStringList>

#include <cstdarg>

#include <tiffio.h>

#include <vector>

struct TiffFacts
{
    bool ok = false;
    QString error;
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bitsPerSample = 0;
    uint16_t samplesPerPixel = 0;
    uint16_t compression = 0;
    uint16_t photometric = 0;
    uint16_t predictor = 0;
    uint16_t resolutionUnit = 0;
    float xResolution = 0;
    float yResolution = 0;
    int directories = 0;
    /// Fraction of pixels that are black (all of R, G, B below 64).
    double blackShare = 0;
    /// What libtiff warned of or refused while every row was decoded.
    QStringList complaints;
};

namespace TiffFactsDetail {
inline QStringList* complaints = nullptr;
inline void collect(const char* module, const char* format, va_list args)
{
    if (complaints)
        complaints->push_back(QString::fromUtf8(module ? module : "") + QStringLiteral(": ") +
                              QString::vasprintf(format, args));
}
} // namespace TiffFactsDetail

inline TiffFacts readTiff(const QString& path)
{
    TiffFacts f;
    // Every warning and error of the decode is kept, as a TIFF checker would list them.
    TiffFactsDetail::complaints = &f.complaints;
    const TIFFErrorHandler oldWarning = TIFFSetWarningHandler(TiffFactsDetail::collect);
    const TIFFErrorHandler oldError = TIFFSetErrorHandler(TiffFactsDetail::collect);
    struct Restore
    {
        TIFFErrorHandler warning, error;
        ~Restore()
        {
            TIFFSetWarningHandler(warning);
            TIFFSetErrorHandler(error);
            TiffFactsDetail::complaints = nullptr;
        }
    } restore{oldWarning, oldError};
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tif) {
        f.error = QStringLiteral("libtiff cannot open %1").arg(path);
        return f;
    }
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &f.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &f.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &f.bitsPerSample);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &f.samplesPerPixel);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &f.compression);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &f.photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &f.predictor);
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &f.resolutionUnit);
    TIFFGetField(tif, TIFFTAG_XRESOLUTION, &f.xResolution);
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &f.yResolution);

    std::vector<uint8_t> line(size_t(TIFFScanlineSize(tif)));
    for (uint32_t row = 0; row < f.height; ++row) {
        if (TIFFReadScanline(tif, line.data(), row, 0) < 0) {
            f.error = QStringLiteral("row %1 of %2 cannot be decoded").arg(row).arg(path);
            TIFFClose(tif);
            return f;
        }
    }
    std::vector<uint32_t> raster(size_t(f.width) * f.height);
    if (!TIFFReadRGBAImage(tif, f.width, f.height, raster.data(), 0)) {
        f.error = QStringLiteral("%1 cannot be read as an image").arg(path);
        TIFFClose(tif);
        return f;
    }
    size_t black = 0;
    for (uint32_t p : raster) {
        if (TIFFGetR(p) < 64 && TIFFGetG(p) < 64 && TIFFGetB(p) < 64)
            ++black;
    }
    f.blackShare = raster.empty() ? 0 : double(black) / double(raster.size());
    f.directories = 1;
    while (TIFFReadDirectory(tif))
        ++f.directories;
    TIFFClose(tif);
    f.ok = true;
    return f;
}
