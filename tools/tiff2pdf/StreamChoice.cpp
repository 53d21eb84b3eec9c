#include "StreamChoice.h"

#include "FilteredRows.h"

#include <algorithm>

namespace tiff2pdf {

namespace {

/// Bands compressed both ways on a page tall enough to sample. Ten bands of 16 rows are 4.6 % of an A4
/// page at 300 dpi; with the band before each, 9 % of it is decoded and filtered.
constexpr std::uint32_t kSampleBands = 10;
/// Pages shorter than this are tried whole: sampled bands would be most of them anyway.
constexpr std::uint32_t kSampleAllBelow = kSampleBands * 2 * kEffortBand * 3;
/// How much smaller the filtered sample must be for the filtered stream to be chosen.
constexpr double kFilteredMargin = 0.02;

bool inside(std::uint32_t row, const std::vector<RowRange>& ranges)
{
    return std::any_of(ranges.begin(), ranges.end(),
                       [row](const RowRange& r) { return row >= r.first && row - r.first < r.count; });
}

} // namespace

std::vector<RowRange> sampleRows(std::uint32_t height)
{
    if (height < kSampleAllBelow)
        return {{0, height}};
    std::vector<RowRange> bands;
    for (std::uint32_t k = 0; k < kSampleBands; ++k) {
        // The middle of the k-th tenth of the page, down to an effort band's start.
        const std::uint64_t middle = (std::uint64_t(2 * k + 1) * height) / (2 * kSampleBands);
        const std::uint32_t first = static_cast<std::uint32_t>(middle / kEffortBand * kEffortBand);
        bands.push_back({std::max(first, kEffortBand), kEffortBand});
    }
    return bands;
}

StreamTrial trySample(BandReader& reader, std::uint32_t height, std::size_t outRow, unsigned bytesPerPixel)
{
    const std::vector<RowRange> sampled = sampleRows(height);
    std::vector<RowRange> read;
    for (const RowRange& r : sampled) {
        const std::uint32_t before = std::min(r.first, kEffortBand);
        read.push_back({r.first - before, r.count + before});
    }
    StreamTrial trial;
    const ByteSink countFiltered = [&](const std::uint8_t*, std::size_t size) { trial.filtered += size; };
    const ByteSink countPlain = [&](const std::uint8_t*, std::size_t size) { trial.plain += size; };
    const bool runLength = bytesPerPixel == 1;
    FlateWriter filteredFlate(countFiltered, FilteredRows::firstLevel(runLength), FilteredRows::strategy(runLength));
    FlateWriter plainFlate(countPlain, kFlateLevel);
    FilteredRows filtered(filteredFlate, outRow, bytesPerPixel, runLength);
    // Each band is a stream of its own, started with the rows before it (as they are, and filtered)
    // as its dictionary: its matches reach back as they would in the page's own stream.
    std::vector<std::uint8_t> before, beforeFiltered;
    bool fresh = true; // the streams as constructed, nothing written yet
    auto keepTail = [](std::vector<std::uint8_t>& tail, const std::uint8_t* data, std::size_t size) {
        tail.insert(tail.end(), data, data + size);
        constexpr std::size_t kWindow = 32 * 1024;
        if (tail.size() > kWindow)
            tail.erase(tail.begin(), tail.end() - kWindow);
    };
    reader.run(
        [&](const std::uint8_t* rows, std::uint32_t count) {
            for (std::uint32_t r = 0; r < count; ++r) {
                const std::uint8_t* row = rows + r * reader.rowBytesOut();
                const std::uint32_t y = reader.bandFirstRow() + r;
                if (inside(y, sampled)) {
                    if (!before.empty() || !beforeFiltered.empty()) {
                        if (!fresh) {
                            filteredFlate.finish();
                            plainFlate.finish();
                        }
                        filteredFlate.restart(beforeFiltered.data(), beforeFiltered.size());
                        plainFlate.restart(before.data(), before.size());
                        before.clear();
                        beforeFiltered.clear();
                    }
                    fresh = false;
                    filtered.write(row);
                    plainFlate.write(row, outRow);
                } else if (inside(y, read)) {
                    keepTail(beforeFiltered, filtered.prime(row), outRow + 1);
                    keepTail(before, row, outRow);
                }
            }
        },
        read);
    filteredFlate.finish();
    plainFlate.finish();
    return trial;
}

// Both streams are lossless, so a wrong choice costs size or time, never pixels. The sample is
// spread over the whole height, a band in every tenth of the page, and each band is compressed as
// the page's own pass would compress it (the same filter memory, the same effort), so a page that
// changes from text to photograph to halftone is tried on each in proportion; a page too short to
// sample is tried whole, and the choice on it is exact. The filtered stream must win by a margin:
// a sample close to a tie goes to the plain stream. A page can still fool the sample only with
// content that lies between the bands, is narrower than a tenth of the page, and favours the plain
// stream by enough to outweigh the margin won over the rest; the cost is then the difference
// between the two streams on that content, not a failure.
FlateStream chooseStream(const StreamTrial& trial)
{
    return double(trial.filtered) * (1 + kFilteredMargin) <= double(trial.plain) ? FlateStream::Filtered
                                                                                 : FlateStream::Plain;
}

} // namespace tiff2pdf
