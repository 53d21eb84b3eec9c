// SPDX-License-Identifier: GPL-3.0-or-later
#include "TiffPageWriter.h"
#include "ConverterFiles.h"
#include "Failure.h"

#include "PrivateFile.h"
#include "ScanLogging.h"

#include <QFile>
#include <QFileInfo>

#include <tiffio.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Deflate strips of about this many uncompressed bytes keep memory small and
// let readers decode part of a page.
constexpr qsizetype kStripBytes = 64 * 1024;
// A folder holding this many taken numbers is not going to offer a free one.
constexpr int kLastNumber = 9999999;

int tiffErrorHandler(TIFF*, void* user, const char* module, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    auto* writer = static_cast<TiffPageWriter*>(user);
    writer->noteTiffError(module && *module ? QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(module),
                                                                           QString::fromLocal8Bit(text))
                                            : QString::fromLocal8Bit(text));
    return 1;
}

int tiffWarningHandler(TIFF*, void*, const char* module, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    qCDebug(lcScan) << "libtiff warning:" << (module ? module : "") << text;
    return 1;
}

} // namespace

void TiffPageWriter::syncFolder(const QString& folder)
{
    // The rename itself must survive a power cut, not only the file's bytes.
    const PrivateFile::Outcome o = PrivateFile::syncFolder(QFile::encodeName(folder).constData());
    if (!o.ok())
        qCDebug(lcScan) << "fsync of folder" << folder << "failed:" << o.reason().c_str();
}

TiffPageWriter::TiffPageWriter(const QString& folder, const QString& prefix)
    : m_folder(folder), m_prefix(prefix)
{
}

TiffPageWriter::~TiffPageWriter()
{
    discard();
}

QString TiffPageWriter::pageName(const QString& folder, const QString& prefix, int number,
                                 const QString& extension)
{
    return folder + QLatin1Char('/') + prefix + QStringLiteral("%1").arg(number, 4, 10, QLatin1Char('0')) +
           extension;
}

QString TiffPageWriter::temporaryPageName(const QString& folder, const QString& prefix, int number)
{
    const QString page = pageName(QString(), prefix, number, QStringLiteral(".tif")).sliced(1);
    return folder + QLatin1Char('/') +
           QFile::decodeName(QByteArray::fromStdString(
               ConverterFiles::temporaryName(QFile::encodeName(page).toStdString())));
}

bool TiffPageWriter::numberTaken(const QString& folder, const QString& prefix, int number)
{
    // A page already converted for upload keeps its number as a PDF; a new
    // page under the same number would be renamed by the converter anyway.
    return QFileInfo::exists(pageName(folder, prefix, number, QStringLiteral(".tif"))) ||
           QFileInfo::exists(pageName(folder, prefix, number, QStringLiteral(".pdf")));
}

void TiffPageWriter::noteTiffError(const QString& message)
{
    m_tiffError = message;
    qCWarning(lcScan) << "libtiff:" << message;
}

QString TiffPageWriter::writeFailure(int error) const
{
    // The system's words ("No space left on device") first; libtiff's own
    // message says where it happened.
    if (error != 0 && !m_tiffError.isEmpty())
        return QStringLiteral("%1 (%2)").arg(systemErrorText(error), m_tiffError);
    if (error != 0)
        return systemErrorText(error);
    return m_tiffError.isEmpty() ? QStringLiteral("unknown error") : m_tiffError;
}

bool TiffPageWriter::fail(const QString& message)
{
    m_error = message;
    discard();
    return false;
}

bool TiffPageWriter::begin(Kind kind, int width, int rowsHint, double xDpi, double yDpi, int firstNumber)
{
    discard();
    m_error.clear();
    m_tiffError.clear();
    m_finalPath.clear();
    m_number = 0;
    m_kind = kind;
    m_width = width;
    m_rows = 0;
    m_stripRows = 0;
    m_strip = 0;
    m_stripData.clear();
    m_firstNumber = std::max(1, firstNumber);
    if (width <= 0)
        return fail(QStringLiteral("The scanner delivered a page without width"));

    // The hidden name carries the number the page is likely to get, so that
    // whoever looks into the folder sees which page is on its way.
    int label = m_firstNumber;
    for (;; ++label) {
        if (label > kLastNumber)
            return fail(QStringLiteral("No free file name was found in %1").arg(m_folder));
        if (numberTaken(m_folder, m_prefix, label))
            continue;
        const QString candidate = temporaryPageName(m_folder, m_prefix, label);
        const int fd =
            ::open(QFile::encodeName(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_fd = fd;
            m_tempPath = candidate;
            break;
        }
        if (errno != EEXIST)
            return fail(QStringLiteral("The page file %1 could not be created: %2")
                            .arg(candidate, systemErrorText(errno)));
    }

    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiffErrorHandler, this);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiffWarningHandler, this);
    m_tiff = TIFFFdOpenExt(m_fd, QFile::encodeName(m_tempPath).constData(), "w", options);
    TIFFOpenOptionsFree(options);
    if (!m_tiff)
        return fail(QStringLiteral("The page file %1 could not be started: %2").arg(m_tempPath, m_tiffError));

    const bool bilevel = kind == Kind::Bilevel;
    const uint16_t samples = kind == Kind::Rgb ? 3 : 1;
    m_rowBytes = bilevel ? (qsizetype(width) + 7) / 8 : qsizetype(width) * samples;
    if (bilevel) {
        // A page of G4 in one strip, when its height is known, is what fax
        // and PDF tools handle best; it is small however long the page.
        m_stripRows = rowsHint > 0 ? rowsHint : int(std::max<qsizetype>(1, kStripBytes / m_rowBytes));
    } else {
        m_stripRows = int(std::max<qsizetype>(1, kStripBytes / m_rowBytes));
    }

    bool ok = TIFFSetField(m_tiff, TIFFTAG_IMAGEWIDTH, uint32_t(width)) &&
              TIFFSetField(m_tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(bilevel ? 1 : 8)) &&
              TIFFSetField(m_tiff, TIFFTAG_SAMPLESPERPIXEL, samples) &&
              TIFFSetField(m_tiff, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG)) &&
              TIFFSetField(m_tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(m_stripRows)) &&
              TIFFSetField(m_tiff, TIFFTAG_RESOLUTIONUNIT, uint16_t(RESUNIT_INCH)) &&
              TIFFSetField(m_tiff, TIFFTAG_XRESOLUTION, float(xDpi)) &&
              TIFFSetField(m_tiff, TIFFTAG_YRESOLUTION, float(yDpi)) &&
              TIFFSetField(m_tiff, TIFFTAG_SOFTWARE, "Quillfeed");
    if (ok && bilevel) {
        // SANE's 1-bit pixels are 1 for black, which is MinIsWhite.
        ok = TIFFSetField(m_tiff, TIFFTAG_PHOTOMETRIC, uint16_t(PHOTOMETRIC_MINISWHITE)) &&
             TIFFSetField(m_tiff, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_CCITTFAX4)) &&
             TIFFSetField(m_tiff, TIFFTAG_FILLORDER, uint16_t(FILLORDER_MSB2LSB));
    } else if (ok) {
        ok = TIFFSetField(m_tiff, TIFFTAG_PHOTOMETRIC,
                          uint16_t(kind == Kind::Rgb ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK)) &&
             TIFFSetField(m_tiff, TIFFTAG_COMPRESSION, uint16_t(COMPRESSION_ADOBE_DEFLATE)) &&
             TIFFSetField(m_tiff, TIFFTAG_PREDICTOR, uint16_t(PREDICTOR_HORIZONTAL));
    }
    if (!ok)
        return fail(QStringLiteral("The page file %1 could not be set up: %2").arg(m_tempPath, m_tiffError));
    m_stripData.reserve(m_rowBytes * std::min(m_stripRows, 4096));
    return true;
}

bool TiffPageWriter::flushStrip()
{
    if (m_stripData.isEmpty())
        return true;
    const qsizetype rowsInStrip = m_stripData.size() / m_rowBytes;
    // The height grows strip by strip, so a page of unknown length needs no
    // guess and a short page leaves no empty strips behind.
    errno = 0;
    if (!TIFFSetField(m_tiff, TIFFTAG_IMAGELENGTH, uint32_t(m_rows)) ||
        TIFFWriteEncodedStrip(m_tiff, m_strip, m_stripData.data(), tmsize_t(rowsInStrip * m_rowBytes)) < 0)
        return fail(
            QStringLiteral("The page file %1 could not be written: %2").arg(m_tempPath, writeFailure(errno)));
    ++m_strip;
    m_stripData.clear();
    return true;
}

bool TiffPageWriter::writeRow(const uint8_t* row)
{
    if (!m_tiff)
        return false;
    m_stripData.append(reinterpret_cast<const char*>(row), m_rowBytes);
    ++m_rows;
    if (m_stripData.size() >= qsizetype(m_stripRows) * m_rowBytes)
        return flushStrip();
    return true;
}

bool TiffPageWriter::commit()
{
    if (!m_tiff)
        return false;
    if (!flushStrip())
        return false;
    if (m_rows == 0)
        return fail(QStringLiteral("The scanner delivered an empty page"));
    errno = 0;
    if (!TIFFFlush(m_tiff))
        return fail(
            QStringLiteral("The page file %1 could not be written: %2").arg(m_tempPath, writeFailure(errno)));
    if (::fsync(m_fd) != 0)
        return fail(QStringLiteral("The page file %1 could not be saved: %2")
                        .arg(m_tempPath, systemErrorText(errno)));
    // TIFFCleanup leaves the descriptor to us, so a failing close is seen.
    TIFFCleanup(m_tiff);
    m_tiff = nullptr;
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        return fail(QStringLiteral("The page file %1 could not be saved: %2")
                        .arg(m_tempPath, systemErrorText(errno)));
    if (!moveIntoPlace())
        return false;
    syncFolder(m_folder);
    return true;
}

bool TiffPageWriter::moveIntoPlace()
{
    const QByteArray from = QFile::encodeName(m_tempPath);
    for (int number = m_firstNumber; number <= kLastNumber; ++number) {
        if (numberTaken(m_folder, m_prefix, number))
            continue;
        const QString target = pageName(m_folder, m_prefix, number, QStringLiteral(".tif"));
        const QByteArray to = QFile::encodeName(target);
        const PrivateFile::Outcome moved = PrivateFile::publish(from.constData(), to.constData());
        if (moved.ok()) {
            m_number = number;
            m_finalPath = target;
            m_tempPath.clear();
            qCDebug(lcScan) << "page written:" << target << m_rows << "rows";
            return true;
        }
        if (moved.error == EEXIST)
            continue;
        return fail(QStringLiteral("The page file %1 could not be renamed to %2: %3")
                        .arg(m_tempPath, target, systemErrorText(moved.error)));
    }
    return fail(QStringLiteral("No free file name was found in %1").arg(m_folder));
}

void TiffPageWriter::discard()
{
    if (m_tiff) {
        TIFFCleanup(m_tiff);
        m_tiff = nullptr;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.isEmpty()) {
        ::unlink(QFile::encodeName(m_tempPath).constData());
        m_tempPath.clear();
    }
    m_stripData.clear();
}
