#include "ImageData.h"

#include "BandReader.h"
#include "PassThrough.h"
#include "PlainCompressor.h"
#include "PngRowFilter.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>

namespace tiff2pdf {

namespace {

using RowSink = std::function<void(const std::uint8_t* row)>;

/// Channels of the image part: all samples, the colour ones, or the alpha one.
unsigned partChannels(const PagePlan& plan, ImagePart part)
{
    if (plan.alpha == Alpha::None)
        return plan.samplesPerPixel;
    return part == ImagePart::Colour ? plan.colourChannels : 1;
}

/// Hands on the rows of the image part one at a time: with alpha, the part's channels are picked out
/// of every pixel into a row of their own.
void forEachRow(BandReader& reader, const PagePlan& plan, ImagePart part, std::size_t outRow, const RowSink& sink)
{
    if (plan.alpha == Alpha::None) {
        reader.run([&](const std::uint8_t* rows, std::uint32_t count) {
            for (std::uint32_t r = 0; r < count; ++r)
                sink(rows + r * reader.rowBytesOut());
        });
        return;
    }
    // Alpha is only accepted with 8 or 16 bits per sample, so channels are whole bytes.
    const unsigned bytesPerSample = plan.bitsPerSample / 8;
    const unsigned channels = partChannels(plan, part);
    const unsigned spp = plan.samplesPerPixel;
    const unsigned first = part == ImagePart::Colour ? 0 : plan.colourChannels;
    std::vector<std::uint8_t> row(outRow);
    reader.run([&](const std::uint8_t* rows, std::uint32_t count) {
        for (std::uint32_t r = 0; r < count; ++r) {
            const std::uint8_t* src = rows + r * reader.rowBytesOut();
            std::uint8_t* dst = row.data();
            for (std::uint32_t x = 0; x < plan.width; ++x) {
                std::memcpy(dst, src + (std::size_t(x) * spp + first) * bytesPerSample, channels * bytesPerSample);
                dst += channels * bytesPerSample;
            }
            sink(row.data());
        }
    });
}

/// Pixels without row filters (palette indices, packed bits): compressed as they are.
void writeUnfiltered(BandReader& reader, const PagePlan& plan, ImagePart part, std::size_t outRow,
                     const ByteSink& sink)
{
    FlateWriter flate(sink, kFlateLevel);
    if (plan.alpha == Alpha::None)
        reader.run([&](const std::uint8_t* rows, std::uint32_t count) {
            flate.write(rows, static_cast<std::size_t>(reader.rowBytesOut() * count));
        });
    else
        forEachRow(reader, plan, part, outRow, [&](const std::uint8_t* row) { flate.write(row, outRow); });
    flate.finish();
}

/// Rows through the PNG filter into the compressor, its effort set band by band.
class FilteredRows
{
public:
    FilteredRows(FlateWriter& flate, std::size_t outRow, unsigned bytesPerPixel, bool runLength)
        : m_flate(flate), m_filter(outRow, bytesPerPixel), m_outRow(outRow), m_runLength(runLength)
    {
    }

    void write(const std::uint8_t* row)
    {
        m_flate.write(m_filter.filter(row), m_outRow + 1);
        m_extremes += m_filter.lastExtremes();
        if (m_runLength)
            return;
        // Smooth, flat or halftoned bands (few bits per byte after filtering) repeat far more than
        // the coder's order-0 estimate shows, and the full search (level 6) finds it: photographs and
        // prepress CMYK shrink by a third. Scanner noise does not, and there level 3 is as small and
        // several times faster. Decided per band of rows from the band before.
        m_bandBits += m_filter.lastBits();
        if (++m_bandRows == kBand) {
            m_flate.setLevel(m_bandBits < kSmoothBitsPerByte * double(kBand) * double(m_outRow) ? kFlateLevel : 3);
            m_bandBits = 0;
            m_bandRows = 0;
        }
    }

    /// Samples of the filtered rows so far that are 0 or 255.
    std::uint64_t extremes() const { return m_extremes; }

private:
    static constexpr std::uint32_t kBand = 16;
    static constexpr double kSmoothBitsPerByte = 1.5;

    FlateWriter& m_flate;
    PngRowFilter m_filter;
    std::size_t m_outRow;
    bool m_runLength;
    double m_bandBits = 0;
    std::uint32_t m_bandRows = 0;
    std::uint64_t m_extremes = 0;
};

/// Row filters win on nearly every page, but flat or halftoned samples can come out smaller as
/// they are, and the same pixels compressed plainly (as other converters do) are a size this
/// output must never exceed. The plain stream runs beside the filtered one on another core, until
/// it falls clearly behind; on scanned paper that happens within the first few hundred rows.
class PlainRace
{
public:
    /// Without `out` there is no race: the filtered stream alone is written.
    PlainRace(std::vector<std::uint8_t>* out, std::size_t outRow) : m_outRow(outRow)
    {
        if (!out)
            return;
        try {
            m_plain.emplace(*out);
        } catch (const std::system_error&) {
            // No thread to be had (a process limit): the filtered stream alone is still a sound page.
        }
    }

    /// Gives the row to the plain stream; whether the filtered one still wants it.
    bool take(const std::uint8_t* row, std::uint64_t filteredProduced, std::uint64_t extremes)
    {
        if (!m_plain)
            return true;
        m_plain->write(row, m_outRow);
        if (m_filteredStopped)
            return false;
        if (++m_rows % 16 == 0)
            judge(filteredProduced, extremes);
        return !m_filteredStopped;
    }

    /// Ends both streams; true when the plain one is to be written in place of the filtered one.
    bool finish(FlateWriter& filtered, const PagePlan& plan)
    {
        if (m_filteredStopped) {
            if (!m_plain->finish())
                throw ConversionError(pageText(plan) + ": compression failed");
            return true;
        }
        filtered.finish();
        // A plain stream that failed (it is only ever an alternative) leaves the filtered one.
        if (!m_plain)
            return false;
        const std::optional<std::uint64_t> plainSize = m_plain->finish();
        return plainSize && *plainSize < filtered.produced();
    }

private:
    // Compared per byte of samples, since the thread runs behind. Once it has taken an eighth MiB
    // and some rows, a plain stream 3 % behind will not win, except on halftoned samples (nearly all
    // 0 or full), where it wins by a hair and only over the whole page. There, once it leads, the
    // filtered stream stops instead: the plain one alone is never larger than what other converters
    // make, and the page costs one compression, not two.
    void judge(std::uint64_t filteredProduced, std::uint64_t extremes)
    {
        if (m_plain->consumed() < std::max<std::uint64_t>(128 * 1024, 32 * m_outRow))
            return;
        // Every row counted so far went through the filter, which the rate below is of.
        const double filteredBytes = double((m_rows - 1) * m_outRow);
        const double filtered = double(filteredProduced) / filteredBytes;
        const bool halftoned = double(extremes) >= 0.9 * filteredBytes;
        if (!halftoned && m_plain->rate() > filtered * 1.03)
            m_plain.reset();
        else if (halftoned && m_plain->rate() < filtered)
            m_filteredStopped = true;
    }

    std::size_t m_outRow;
    std::optional<PlainCompressor> m_plain;
    std::uint64_t m_rows = 0;
    bool m_filteredStopped = false;
};

bool writeFlate(TIFF* tif, const PagePlan& plan, ImagePart part, const ByteSink& sink, TiffMessages& messages,
                std::vector<std::uint8_t>* plainOut)
{
    BandReader reader(tif, plan, messages);
    const unsigned channels = partChannels(plan, part);
    const std::size_t outRow = static_cast<std::size_t>(rowBytes(plan, channels));
    if (!usesPngPredictor(plan)) {
        writeUnfiltered(reader, plan, part, outRow, sink);
        return false;
    }
    // After PNG filtering, scanner noise leaves few long matches. With one byte per pixel the useful
    // ones are runs, which Z_RLE finds as well as the full search at a fraction of its time; with
    // several bytes per pixel they repeat a pixel back, where a light full search (level 3) does best:
    // on scanned A4 pages both beat level 6 in size and take a quarter of its time.
    const unsigned bytesPerPixel = channels * (plan.bitsPerSample / 8);
    const bool runLength = bytesPerPixel == 1;
    FlateWriter flate(sink, runLength ? kFlateLevel : 3, runLength ? Z_RLE : Z_DEFAULT_STRATEGY);
    FilteredRows filtered(flate, outRow, bytesPerPixel, runLength);
    PlainRace race(plan.alpha == Alpha::None ? plainOut : nullptr, outRow);
    forEachRow(reader, plan, part, outRow, [&](const std::uint8_t* row) {
        if (race.take(row, flate.produced(), filtered.extremes()))
            filtered.write(row);
    });
    return race.finish(flate, plan);
}

void writeReencodedG4(TIFF* tif, const PagePlan& plan, const ByteSink& sink, TiffMessages& messages)
{
    // libtiff's own CCITT coder writes the G4 data: one strip holding the whole page, fed a row at a
    // time so that the decoded page is never held whole.
    MemoryFile encoded;
    TiffMessages encodeMessages;
    {
        TiffPtr out = openTiffMemory(encoded, "w", encodeMessages);
        TIFF* o = out.get();
        TIFFSetField(o, TIFFTAG_IMAGEWIDTH, plan.width);
        TIFFSetField(o, TIFFTAG_IMAGELENGTH, plan.height);
        TIFFSetField(o, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(o, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(o, TIFFTAG_PHOTOMETRIC, plan.photometric);
        TIFFSetField(o, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        TIFFSetField(o, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
        TIFFSetField(o, TIFFTAG_ROWSPERSTRIP, plan.height);
        TIFFSetField(o, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        BandReader reader(tif, plan, messages, 64 * 1024);
        std::uint32_t y = 0;
        reader.run([&](const std::uint8_t* rows, std::uint32_t count) {
            for (std::uint32_t r = 0; r < count; ++r, ++y)
                if (TIFFWriteScanline(o, const_cast<std::uint8_t*>(rows + r * reader.rowBytesOut()), y, 0) != 1)
                    throw ConversionError(encodeMessages.with(pageText(plan) + ": CCITT G4 encoding failed"));
        });
        if (!TIFFWriteDirectory(o))
            throw ConversionError(encodeMessages.with(pageText(plan) + ": CCITT G4 encoding failed"));
    }
    TiffPtr in = openTiffMemory(encoded, "r", encodeMessages);
    const std::uint64_t size = TIFFGetStrileByteCount(in.get(), 0);
    auto g4 = allocate(size, plan);
    if (size == 0 || TIFFReadRawStrip(in.get(), 0, g4.data(), static_cast<tmsize_t>(size)) !=
                         static_cast<tmsize_t>(size))
        throw ConversionError(encodeMessages.with(pageText(plan) + ": reading back the G4 data failed"));
    sink(g4.data(), g4.size());
}

} // namespace

bool usesPngPredictor(const PagePlan& plan)
{
    return plan.carriage == Carriage::Flate && plan.bitsPerSample >= 8 && plan.model != ColourModel::Indexed;
}

bool writeImageData(TIFF* tif, const PagePlan& plan, ImagePart part, const ByteSink& sink, TiffMessages& messages,
                    std::vector<std::uint8_t>* plain)
{
    if (plan.jpegToRgb)
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    if (part == ImagePart::Alpha)
        return writeFlate(tif, plan, part, sink, messages, nullptr);
    switch (plan.carriage) {
    case Carriage::PassCcitt:
    case Carriage::PassFlate: {
        const auto raw = readSingleChunk(tif, plan, messages);
        sink(raw.data(), raw.size());
        break;
    }
    case Carriage::PassJpeg: {
        const auto jpeg = completeJpeg(tif, readSingleChunk(tif, plan, messages));
        sink(jpeg.data(), jpeg.size());
        break;
    }
    case Carriage::ReencodeG4:
        writeReencodedG4(tif, plan, sink, messages);
        break;
    case Carriage::Flate:
        return writeFlate(tif, plan, part, sink, messages, plain);
    }
    return false;
}

} // namespace tiff2pdf
