// SPDX-License-Identifier: GPL-3.0-or-later
#include "TiffJoin.h"

#include "Failure.h"

#include <QFile>
#include <QFileInfo>

#include <tiffio.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include <unistd.h>

namespace {

// Classic TIFF offsets end at 4 GiB; a larger document is written as BigTIFF,
// which libtiff (and so the converter) reads the same way.
constexpr qint64 kClassicLimit = qint64(3) << 30;

int noteError(TIFF*, void* user, const char* module, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    auto* message = static_cast<QString*>(user);
    *message = module && *module ? QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(module),
                                                                QString::fromLocal8Bit(text))
                                 : QString::fromLocal8Bit(text);
    return 1;
}

int ignoreWarning(TIFF*, void*, const char*, const char*, va_list)
{
    return 1;
}

TIFF* openTiff(const QString& path, int fd, const char* mode, QString* message)
{
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, noteError, message);
    TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreWarning, nullptr);
    TIFF* tif = fd >= 0 ? TIFFFdOpenExt(fd, QFile::encodeName(path).constData(), mode, options)
                        : TIFFOpenExt(QFile::encodeName(path).constData(), mode, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

template <typename T> bool copyTag(TIFF* in, TIFF* out, ttag_t tag)
{
    T value{};
    if (!TIFFGetField(in, tag, &value))
        return true;
    return TIFFSetField(out, tag, value) != 0;
}

/// The tags a page needs to be read as it was written; the compression comes
/// before the predictor, which belongs to the codec.
bool copyTags(TIFF* in, TIFF* out)
{
    bool ok =
        copyTag<uint32_t>(in, out, TIFFTAG_IMAGEWIDTH) && copyTag<uint32_t>(in, out, TIFFTAG_IMAGELENGTH) &&
        copyTag<uint16_t>(in, out, TIFFTAG_BITSPERSAMPLE) &&
        copyTag<uint16_t>(in, out, TIFFTAG_SAMPLESPERPIXEL) &&
        copyTag<uint16_t>(in, out, TIFFTAG_COMPRESSION) && copyTag<uint16_t>(in, out, TIFFTAG_PHOTOMETRIC) &&
        copyTag<uint16_t>(in, out, TIFFTAG_FILLORDER) && copyTag<uint16_t>(in, out, TIFFTAG_PLANARCONFIG) &&
        copyTag<uint32_t>(in, out, TIFFTAG_ROWSPERSTRIP) &&
        copyTag<uint16_t>(in, out, TIFFTAG_RESOLUTIONUNIT) && copyTag<float>(in, out, TIFFTAG_XRESOLUTION) &&
        copyTag<float>(in, out, TIFFTAG_YRESOLUTION);
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(in, TIFFTAG_COMPRESSION, &compression);
    if (ok && (compression == COMPRESSION_ADOBE_DEFLATE || compression == COMPRESSION_DEFLATE ||
               compression == COMPRESSION_LZW))
        ok = copyTag<uint16_t>(in, out, TIFFTAG_PREDICTOR);
    if (ok && (compression == COMPRESSION_CCITTFAX4))
        ok = copyTag<uint32_t>(in, out, TIFFTAG_GROUP4OPTIONS);
    char* software = nullptr;
    if (ok && TIFFGetField(in, TIFFTAG_SOFTWARE, &software) && software)
        ok = TIFFSetField(out, TIFFTAG_SOFTWARE, software) != 0;
    return ok;
}

} // namespace

QString TiffJoin::join(const QStringList& pages, int fd, const QString& path)
{
    if (pages.isEmpty())
        return QStringLiteral("the document has no page");
    qint64 total = 0;
    for (const QString& page : pages)
        total += QFileInfo(page).size();
    QString outError;
    TIFF* out = openTiff(path, fd, total > kClassicLimit ? "w8" : "w", &outError);
    if (!out)
        return QStringLiteral("%1 could not be started: %2").arg(path, outError);
    std::vector<unsigned char> buffer;
    QString failure;
    for (qsizetype i = 0; i < pages.size() && failure.isEmpty(); ++i) {
        QString inError;
        TIFF* in = openTiff(pages[i], -1, "r", &inError);
        if (!in) {
            failure = QStringLiteral("the page %1 could not be read: %2").arg(pages[i], inError);
            break;
        }
        errno = 0;
        bool ok = copyTags(in, out) && TIFFSetField(out, TIFFTAG_SUBFILETYPE, uint32_t(FILETYPE_PAGE)) &&
                  TIFFSetField(out, TIFFTAG_PAGENUMBER, uint16_t(i), uint16_t(pages.size()));
        const tstrile_t strips = TIFFNumberOfStrips(in);
        uint64_t* counts = nullptr;
        if (ok && !TIFFGetField(in, TIFFTAG_STRIPBYTECOUNTS, &counts))
            ok = false;
        for (tstrile_t s = 0; ok && s < strips; ++s) {
            if (counts[s] > uint64_t(1) << 31) {
                ok = false;
                break;
            }
            buffer.resize(size_t(counts[s]));
            const tmsize_t got = TIFFReadRawStrip(in, s, buffer.data(), tmsize_t(buffer.size()));
            if (got < 0) {
                failure = QStringLiteral("the page %1 could not be read: %2").arg(pages[i], inError);
                ok = false;
                break;
            }
            if (TIFFWriteRawStrip(out, s, buffer.data(), got) < 0)
                ok = false;
        }
        if (ok && !TIFFWriteDirectory(out))
            ok = false;
        const int saved = errno;
        TIFFClose(in);
        if (!ok && failure.isEmpty())
            failure = saved != 0 ? QStringLiteral("%1 could not be written: %2 (%3)")
                                       .arg(path, systemErrorText(saved), outError)
                                 : QStringLiteral("%1 could not be written: %2")
                                       .arg(path, outError.isEmpty() ? inError : outError);
    }
    if (failure.isEmpty()) {
        errno = 0;
        if (!TIFFFlush(out))
            failure = QStringLiteral("%1 could not be written: %2").arg(path, systemErrorText(errno));
    }
    // TIFFCleanup leaves the descriptor open, so the sync below is the caller's file.
    TIFFCleanup(out);
    if (failure.isEmpty() && ::fsync(fd) != 0)
        failure = QStringLiteral("%1 could not be saved: %2").arg(path, systemErrorText(errno));
    return failure;
}
