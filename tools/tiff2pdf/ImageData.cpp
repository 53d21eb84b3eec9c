// SPDX-License-Identifier: GPL-3.0-or-later
#include "ImageData.h"

#include "BandReader.h"
#include "FilteredRows.h"
#include "ParallelFlate.h"
#include "PassThrough.h"
#include "StreamChoice.h"

#include <cstring>
#include <optional>
#include <string>

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
void forEachRow(BandReader& reader, const PagePlan& plan, ImagePart part, std::size_t outRow,
                const RowSink& sink)
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
                std::memcpy(dst, src + (std::size_t(x) * spp + first) * bytesPerSample,
                            channels * bytesPerSample);
                dst += channels * bytesPerSample;
            }
            sink(row.data());
        }
    });
}

/// How large a page's pieces may grow where they compress well: a sixteenth of the page, so that
/// what they hold in flight (a piece per thread and one waiting per helper, at most 8 threads) stays
/// within the page. It does not depend on the machine, nor then do the stream's bytes.
std::size_t largestPiece(const PagePlan& plan, std::size_t streamRow)
{
    return static_cast<std::size_t>(std::uint64_t(streamRow) * plan.height / 16);
}

/// What the page's sample packed into, in the stream chosen for the page.
struct SamplePacking
{
    std::uint64_t in = 0;
    std::uint64_t out = 0;
};

void expect(ParallelFlate& flate, const std::optional<SamplePacking>& sample)
{
    if (sample)
        flate.expectPacking(sample->in, sample->out);
}

/// Pixels without row filters (palette indices, packed bits, or a page better off without them):
/// compressed as they are (kPlainLevel unless the page's sample says otherwise).
void writeUnfiltered(BandReader& reader, const PagePlan& plan, ImagePart part, std::size_t outRow,
                     const ByteSink& sink, const std::optional<SamplePacking>& sample = std::nullopt,
                     int level = kPlainLevel)
{
    FlatePool pool;
    ParallelFlate flate(sink, level, Z_DEFAULT_STRATEGY, pool, largestPiece(plan, outRow));
    expect(flate, sample);
    if (plan.alpha == Alpha::None)
        reader.run([&](const std::uint8_t* rows, std::uint32_t count) {
            flate.write(rows, static_cast<std::size_t>(reader.rowBytesOut() * count));
        });
    else
        forEachRow(reader, plan, part, outRow, [&](const std::uint8_t* row) { flate.write(row, outRow); });
    flate.finish();
}

void writeFiltered(BandReader& reader, const PagePlan& plan, ImagePart part, std::size_t outRow,
                   unsigned bytesPerPixel, BusyEffort busy, const ByteSink& sink,
                   const std::optional<SamplePacking>& sample)
{
    FlatePool pool;
    ParallelFlate flate(sink, FilteredRows::firstLevel(busy), FilteredRows::strategy(busy), pool,
                        largestPiece(plan, outRow + 1));
    expect(flate, sample);
    FilteredRows filtered(flate, outRow, bytesPerPixel, busy);
    forEachRow(reader, plan, part, outRow, [&](const std::uint8_t* row) { filtered.write(row); });
    flate.finish();
}

/// A pass over the page stopped by a sample that is neither 0 nor 255.
struct NotTwoLevel
{
};

/// Halftoned and dithered pages hold samples of 0 and 255 alone: a bit per sample says the same
/// (the image's /Decode, if any, maps 1 where it mapped 255), and deflate, with eight times fewer
/// bytes to search, is several times faster and a third smaller than on the bytes. The page's
/// sampled bands tell whether to try; the pass stops at the first other value, and the page then
/// goes the usual way, decoded again: a page that is two-level in its sampled bands alone costs
/// that partial pass, never a pixel.
bool writeTwoLevel(BandReader& reader, const PagePlan& plan, std::size_t outRow,
                   std::vector<std::uint8_t>& out)
{
    out.clear();
    const ByteSink keep = [&](const std::uint8_t* data, std::size_t size) {
        out.insert(out.end(), data, data + size);
    };
    const std::size_t packedRow = (outRow + 7) / 8;
    FlatePool pool;
    ParallelFlate flate(keep, kFlateLevel, Z_DEFAULT_STRATEGY, pool, largestPiece(plan, packedRow));
    std::vector<std::uint8_t> packed(packedRow);
    try {
        reader.run([&](const std::uint8_t* rows, std::uint32_t count) {
            for (std::uint32_t r = 0; r < count; ++r) {
                const std::uint8_t* row = rows + r * reader.rowBytesOut();
                if (!twoLevel(row, outRow))
                    throw NotTwoLevel();
                // Each sample is 0 or 255: it has the bit of its place in the byte, or none.
                std::fill(packed.begin(), packed.end(), 0);
                for (std::size_t i = 0; i < outRow; ++i)
                    packed[i / 8] |= static_cast<std::uint8_t>(row[i] & (0x80u >> (i % 8)));
                flate.write(packed.data(), packedRow);
            }
        });
    } catch (const NotTwoLevel&) {
        out.clear();
        return false;
    }
    flate.finish();
    return true;
}

Stream writeFlate(TIFF* tif, const PagePlan& plan, ImagePart part, const ByteSink& sink,
                  TiffMessages& messages, const OtherForms* others)
{
    BandReader reader(tif, plan, messages);
    const unsigned channels = partChannels(plan, part);
    const std::size_t outRow = static_cast<std::size_t>(rowBytes(plan, channels));
    if (!usesPngPredictor(plan)) {
        writeUnfiltered(reader, plan, part, outRow, sink);
        return Stream::AsPlanned;
    }
    const unsigned bytesPerPixel = channels * (plan.bitsPerSample / 8);
    // Row filters win on nearly every page, but flat, dithered or halftoned samples can come out
    // smaller as they are. A sample of the page decides which; the page is then compressed once.
    // Pages with alpha keep the light search (runs alone for a channel of single bytes): their alpha
    // goes with row filters in any case.
    FlateStream stream = bytesPerPixel == 1 ? FlateStream::FilteredRuns : FlateStream::Filtered;
    std::optional<SamplePacking> sample;
    int level = kPlainLevel;
    if (others && plan.alpha == Alpha::None) {
        const StreamTrial trial = trySample(reader, plan.height, outRow, bytesPerPixel);
        if (trial.twoLevel && plan.bitsPerSample == 8 &&
            writeTwoLevel(reader, plan, outRow, *others->twoLevel))
            return Stream::TwoLevel;
        stream = chooseStream(trial);
        level = plainLevel(trial);
        sample = SamplePacking{trial.sampled, stream == FlateStream::Plain      ? trial.plain
                                              : stream == FlateStream::Filtered ? trial.filtered
                                                                                : trial.filteredRuns};
    }
    if (stream == FlateStream::Plain) {
        writeUnfiltered(reader, plan, part, outRow, others->plain, sample, level);
        return Stream::Plain;
    }
    writeFiltered(reader, plan, part, outRow, bytesPerPixel,
                  stream == FlateStream::FilteredRuns ? BusyEffort::Runs : BusyEffort::Search, sink, sample);
    return Stream::AsPlanned;
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
                if (TIFFWriteScanline(o, const_cast<std::uint8_t*>(rows + r * reader.rowBytesOut()), y, 0) !=
                    1)
                    throw ConversionError(encodeMessages.with(pageText(plan) + ": CCITT G4 encoding failed"));
        });
        if (!TIFFWriteDirectory(o))
            throw ConversionError(encodeMessages.with(pageText(plan) + ": CCITT G4 encoding failed"));
    }
    TiffPtr in = openTiffMemory(encoded, "r", encodeMessages);
    const std::uint64_t size = TIFFGetStrileByteCount(in.get(), 0);
    auto g4 = allocate(size, plan);
    if (size == 0 ||
        TIFFReadRawStrip(in.get(), 0, g4.data(), static_cast<tmsize_t>(size)) != static_cast<tmsize_t>(size))
        throw ConversionError(encodeMessages.with(pageText(plan) + ": reading back the G4 data failed"));
    sink(g4.data(), g4.size());
}

} // namespace

bool usesPngPredictor(const PagePlan& plan)
{
    return plan.carriage == Carriage::Flate && plan.bitsPerSample >= 8 && plan.model != ColourModel::Indexed;
}

Stream writeImageData(TIFF* tif, const PagePlan& plan, ImagePart part, const ByteSink& sink,
                      TiffMessages& messages, const OtherForms* others)
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
        return writeFlate(tif, plan, part, sink, messages, others);
    }
    return Stream::AsPlanned;
}

} // namespace tiff2pdf
