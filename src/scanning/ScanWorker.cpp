// SPDX-License-Identifier: GPL-3.0-or-later
#include "ScanWorker.h"

#include "PageJudge.h"
#include "SaneOptions.h"
#include "SaneSession.h"
#include "ScanLogging.h"
#include "TiffPageWriter.h"

#include <QByteArray>

#include <array>
#include <cstring>
#include <functional>

namespace {

constexpr SANE_Int kReadChunk = 64 * 1024;

QString formatName(SANE_Frame format)
{
    switch (format) {
    case SANE_FRAME_GRAY:
        return QStringLiteral("gray");
    case SANE_FRAME_RGB:
        return QStringLiteral("colour");
    case SANE_FRAME_RED:
    case SANE_FRAME_GREEN:
    case SANE_FRAME_BLUE:
        return QStringLiteral("colour in three passes");
    default:
        return QStringLiteral("format %1").arg(int(format));
    }
}

QString unsupported(const SANE_Parameters& p)
{
    return QStringLiteral("the scanner delivers images this program cannot store (%1 at depth %2)")
        .arg(formatName(p.format))
        .arg(p.depth);
}

/// One SANE line turned into one TIFF row of 8-bit samples (or packed bits).
/// Samples of 16 bits are in the machine's byte order; their high byte is kept.
void toEightBit(const uint8_t* line, int depth, qsizetype samples, uint8_t* out)
{
    if (depth == 8) {
        std::memcpy(out, line, size_t(samples));
        return;
    }
    for (qsizetype i = 0; i < samples; ++i) {
        uint16_t v;
        std::memcpy(&v, line + 2 * i, sizeof v);
        out[i] = uint8_t(v >> 8);
    }
}

} // namespace

ScanWorker::ScanWorker(const ScanBatch& batch, QObject* parent) : QThread(parent), m_batch(batch) {}

ScanWorker::~ScanWorker()
{
    if (isRunning()) {
        abort();
        wait();
    }
}

void ScanWorker::abort()
{
    // Only noted: the worker sees it between two reads and cancels the batch
    // itself. A cancel from here would join the backend's reader on the
    // window's thread, and a cancelled reader can leave behind a lock the
    // worker then waits for (the test backend's left the allocator's): the
    // window would wait on both for good.
    m_abort.storeRelaxed(1);
}

void ScanWorker::run()
{
    int nextFileNumber = 1;
    for (int page = 1;; ++page) {
        if (m_abort.loadRelaxed()) {
            m_failure = QStringLiteral("The scan was stopped before page %1.").arg(page);
            break;
        }
        const PageResult result = scanPage(page, nextFileNumber);
        if (result != PageResult::Written)
            break;
        ++m_pages;
        if (!m_batch.feeder)
            break;
        bool optionFailed = false;
        for (const DeferredOption& o : std::as_const(m_batch.deferred)) {
            if (o.afterPage != page)
                continue;
            const Outcome set = SaneOptions::setFromText(m_batch.handle, o.name, o.value);
            if (!set.ok()) {
                m_failure = set.text;
                optionFailed = true;
                break;
            }
        }
        if (optionFailed)
            break;
    }
    // Ends the batch on the device (and makes a feeder ready for the next one).
    sane_cancel(m_batch.handle);
    qCDebug(lcScan) << "batch ended:" << m_pages << "pages" << (m_failure.isEmpty() ? QString() : m_failure);
}

ScanWorker::PageResult ScanWorker::scanPage(int pageNumber, int& nextFileNumber)
{
    SANE_Handle h = m_batch.handle;
    auto failed = [&](const QString& text, SANE_Status why = SANE_STATUS_GOOD) {
        if (why != SANE_STATUS_GOOD && !m_abort.loadRelaxed())
            m_faultStatus = int(why);
        m_failure = m_abort.loadRelaxed()
                        ? QStringLiteral("The scan was stopped before page %1 was complete.").arg(pageNumber)
                        : QStringLiteral("Page %1 could not be scanned: %2").arg(pageNumber).arg(text);
        qCWarning(lcScan) << m_failure;
        return PageResult::Failed;
    };

    SANE_Status status = sane_start(h);
    if (status == SANE_STATUS_NO_DOCS) {
        // The feeder is empty: the normal end of a batch, not a fault.
        qCDebug(lcScan) << "feeder empty before page" << pageNumber;
        return PageResult::FeederEmpty;
    }
    if (status != SANE_STATUS_GOOD)
        return failed(saneText(status), status);
    SANE_Parameters p;
    status = sane_get_parameters(h, &p);
    if (status != SANE_STATUS_GOOD)
        return failed(saneText(status), status);
    qCDebug(lcScan) << "page" << pageNumber << "format" << p.format << "depth" << p.depth << "pixels"
                    << p.pixels_per_line << "bytes/line" << p.bytes_per_line << "lines" << p.lines
                    << "last frame" << p.last_frame;

    // Reads one frame to its end, handing over each whole line. A partial last
    // line (a short read at the end) carries no complete row and is dropped.
    QString lineFailure;
    qint64 frameBytes = 0;
    auto readFrame = [&](const SANE_Parameters& fp,
                         const std::function<bool(const uint8_t*)>& onLine) -> SANE_Status {
        QByteArray line(fp.bytes_per_line, '\0');
        QByteArray chunk(kReadChunk, '\0');
        qsizetype filled = 0;
        for (;;) {
            if (m_abort.loadRelaxed())
                return SANE_STATUS_CANCELLED;
            SANE_Int length = 0;
            const SANE_Status s =
                sane_read(h, reinterpret_cast<SANE_Byte*>(chunk.data()), kReadChunk, &length);
            if (s == SANE_STATUS_EOF)
                return SANE_STATUS_EOF;
            if (s != SANE_STATUS_GOOD)
                return s;
            frameBytes += length;
            const char* data = chunk.constData();
            while (length > 0) {
                const qsizetype take = std::min<qsizetype>(length, fp.bytes_per_line - filled);
                std::memcpy(line.data() + filled, data, size_t(take));
                filled += take;
                data += take;
                length -= SANE_Int(take);
                if (filled == fp.bytes_per_line) {
                    filled = 0;
                    if (!onLine(reinterpret_cast<const uint8_t*>(line.constData())))
                        return SANE_STATUS_GOOD;
                }
            }
        }
    };

    TiffPageWriter writer(m_batch.folder, m_batch.prefix);
    const qsizetype width = p.pixels_per_line;
    if (width <= 0 || p.bytes_per_line <= 0)
        return failed(QStringLiteral("the scanner reported a page without width"));

    if (p.format == SANE_FRAME_GRAY || p.format == SANE_FRAME_RGB) {
        const bool rgb = p.format == SANE_FRAME_RGB;
        const qsizetype samples = rgb ? 3 * width : width;
        TiffPageWriter::Kind kind = rgb ? TiffPageWriter::Kind::Rgb : TiffPageWriter::Kind::Gray;
        qsizetype needed = 0;
        if (p.depth == 1 && !rgb) {
            kind = TiffPageWriter::Kind::Bilevel;
            needed = (width + 7) / 8;
        } else if (p.depth == 8 || p.depth == 16) {
            needed = samples * (p.depth / 8);
        } else {
            return failed(unsupported(p));
        }
        if (p.bytes_per_line < needed)
            return failed(QStringLiteral("the scanner reported %1 bytes a line for %2 pixels")
                              .arg(p.bytes_per_line)
                              .arg(width));
        if (!writer.begin(kind, int(width), p.lines, m_batch.xDpi, m_batch.yDpi, nextFileNumber)) {
            m_failure = writer.error();
            return PageResult::Failed;
        }
        QByteArray row(kind == TiffPageWriter::Kind::Bilevel ? needed : samples, '\0');
        auto* out = reinterpret_cast<uint8_t*>(row.data());
        status = readFrame(p, [&](const uint8_t* line) {
            if (kind == TiffPageWriter::Kind::Bilevel) {
                std::memcpy(out, line, size_t(needed));
                // Bits past the last pixel are padding; make them white.
                if (width % 8)
                    out[needed - 1] &= uint8_t(0xFF << (8 - width % 8));
            } else {
                toEightBit(line, p.depth, samples, out);
            }
            if (writer.writeRow(out))
                return true;
            lineFailure = writer.error();
            return false;
        });
    } else if (p.format == SANE_FRAME_RED || p.format == SANE_FRAME_GREEN || p.format == SANE_FRAME_BLUE) {
        // Three-pass scanners send each colour as a frame of its own; the
        // planes are kept until the last one has come, then interleaved.
        std::array<QByteArray, 3> planes;
        std::array<bool, 3> seen = {false, false, false};
        SANE_Parameters fp = p;
        for (;;) {
            if ((fp.depth != 8 && fp.depth != 16) || fp.pixels_per_line != p.pixels_per_line ||
                fp.bytes_per_line < width * (fp.depth / 8))
                return failed(unsupported(fp));
            const int channel = fp.format == SANE_FRAME_RED ? 0 : fp.format == SANE_FRAME_GREEN ? 1 : 2;
            QByteArray& plane = planes[size_t(channel)];
            plane.clear();
            seen[size_t(channel)] = true;
            QByteArray row(width, '\0');
            status = readFrame(fp, [&](const uint8_t* line) {
                toEightBit(line, fp.depth, width, reinterpret_cast<uint8_t*>(row.data()));
                plane.append(row);
                return true;
            });
            if (status != SANE_STATUS_EOF)
                return failed(saneText(status), status);
            if (fp.last_frame)
                break;
            status = sane_start(h);
            if (status != SANE_STATUS_GOOD)
                return failed(saneText(status), status);
            status = sane_get_parameters(h, &fp);
            if (status != SANE_STATUS_GOOD)
                return failed(saneText(status), status);
            if (fp.format != SANE_FRAME_RED && fp.format != SANE_FRAME_GREEN && fp.format != SANE_FRAME_BLUE)
                return failed(unsupported(fp));
        }
        if (m_abort.loadRelaxed())
            return failed(saneText(SANE_STATUS_CANCELLED));
        if (!seen[0] || !seen[1] || !seen[2])
            return failed(QStringLiteral("the scanner did not deliver all three colours"));
        const qsizetype rows = std::min({planes[0].size(), planes[1].size(), planes[2].size()}) / width;
        if (!writer.begin(TiffPageWriter::Kind::Rgb, int(width), int(rows), m_batch.xDpi, m_batch.yDpi,
                          nextFileNumber)) {
            m_failure = writer.error();
            return PageResult::Failed;
        }
        QByteArray row(3 * width, '\0');
        for (qsizetype r = 0; r < rows; ++r) {
            for (qsizetype x = 0; x < width; ++x)
                for (size_t c = 0; c < 3; ++c)
                    row[3 * x + qsizetype(c)] = planes[c][r * width + x];
            if (!writer.writeRow(reinterpret_cast<const uint8_t*>(row.constData()))) {
                m_failure = writer.error();
                return PageResult::Failed;
            }
        }
        status = SANE_STATUS_EOF;
    } else {
        return failed(unsupported(p));
    }

    if (!lineFailure.isEmpty()) {
        m_failure = lineFailure;
        return PageResult::Failed;
    }
    // A read ended by sane_cancel may look like a normal end of the page;
    // only a page with every line it announced is kept then.
    if (m_abort.loadRelaxed() && !(status == SANE_STATUS_EOF && p.lines > 0 && writer.rows() >= p.lines)) {
        writer.discard();
        return failed(saneText(SANE_STATUS_CANCELLED));
    }
    if (status == SANE_STATUS_NO_DOCS && frameBytes == 0 && m_batch.feeder) {
        // Some backends find the feeder empty only at the first read.
        writer.discard();
        qCDebug(lcScan) << "feeder empty at page" << pageNumber;
        return PageResult::FeederEmpty;
    }
    if (status != SANE_STATUS_EOF) {
        writer.discard();
        return failed(saneText(status), status);
    }
    if (!writer.commit()) {
        m_failure = writer.error();
        return PageResult::Failed;
    }
    nextFileNumber = writer.committedNumber() + 1;
    if (m_batch.judgePages) {
        const PageJudge::Verdict v = PageJudge::judge(writer.committedPath(), m_batch.readCodes);
        qCDebug(lcScan) << "page" << pageNumber << (v.blank ? "blank:" : "not blank:") << v.reason << "codes"
                        << v.codes << v.error;
        emit pageJudged(pageNumber, v.blank, v.codes, v.error);
    }
    emit pageWritten(pageNumber, writer.committedNumber(), writer.committedPath());
    return PageResult::Written;
}
