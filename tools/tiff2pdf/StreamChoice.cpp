// SPDX-License-Identifier: GPL-3.0-or-later
#include "StreamChoice.h"

#include "FilteredRows.h"
#include "ParallelFlate.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

namespace tiff2pdf {

namespace {

/// Bands compressed every way on a page tall enough to sample: a small share of a full page, decoded
/// and filtered with the band before each.
constexpr std::uint32_t kSampleBands = 10;
/// Rows of a page to each sampled band, at the least: on a shorter page fewer bands are sampled, so
/// that it is compressed every way in a sixth of it at most, not whole three times over, which made
/// a short page the slowest of all.
constexpr std::uint32_t kRowsPerBand = 2 * kEffortBand * 3;
/// Pages shorter than this are tried whole: two bands and the rows before them would be most of it.
constexpr std::uint32_t kSampleAllBelow = 2 * kRowsPerBand;
/// How much smaller a filtered sample must be than the plain one for row filters to be chosen.
constexpr double kFilteredMargin = 0.02;
/// How much smaller the full search's sample must be than that of runs alone, several times faster.
constexpr double kSearchMargin = 0.03;
/// How much smaller than its bytes coded one by one the plain sample must be for the page's plain
/// stream to get the deeper search.
constexpr double kMatchGain = 0.10;

bool inside(std::uint32_t row, const std::vector<RowRange>& ranges)
{
    return std::any_of(ranges.begin(), ranges.end(),
                       [row](const RowRange& r) { return row >= r.first && row - r.first < r.count; });
}

} // namespace

bool twoLevel(const std::uint8_t* samples, std::size_t count)
{
    // No early exit: the loop is vectorised, and nearly every row of a page asked about is two-level.
    bool only = true;
    for (std::size_t i = 0; i < count; ++i)
        only &= samples[i] == 0 || samples[i] == 255;
    return only;
}

std::vector<RowRange> sampleRows(std::uint32_t height)
{
    if (height < kSampleAllBelow)
        return {{0, height}};
    const std::uint32_t count = std::min(kSampleBands, height / kRowsPerBand);
    std::vector<RowRange> bands;
    for (std::uint32_t k = 0; k < count; ++k) {
        // The middle of the k-th of `count` parts of the page, down to an effort band's start.
        const std::uint64_t middle = (std::uint64_t(2 * k + 1) * height) / (2 * count);
        const std::uint32_t first = static_cast<std::uint32_t>(middle / kEffortBand * kEffortBand);
        bands.push_back({std::max(first, kEffortBand), kEffortBand});
    }
    return bands;
}

namespace {

/// The sample compressed with row filters, counting bytes.
struct FilteredTrial
{
    FilteredTrial(std::size_t outRow, unsigned bytesPerPixel, BusyEffort busy, FlatePool& pool)
        : flate(count, FilteredRows::firstLevel(busy), FilteredRows::strategy(busy), pool),
          rows(flate, outRow, bytesPerPixel, busy)
    {
    }
    FilteredTrial(const FilteredTrial&) = delete;
    FilteredTrial& operator=(const FilteredTrial&) = delete;

    std::uint64_t bytes = 0;
    const ByteSink count = [this](const std::uint8_t*, std::size_t size) { bytes += size; };
    ParallelFlate flate;
    FilteredRows rows;
};

/// Keeps the last 32 KB (zlib's window) of what was added.
void keepWindow(std::vector<std::uint8_t>& tail, const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t kWindow = 32 * 1024;
    tail.insert(tail.end(), data, data + size);
    if (tail.size() > kWindow)
        tail.erase(tail.begin(), tail.end() - kWindow);
}

} // namespace

StreamTrial trySample(BandReader& reader, std::uint32_t height, std::size_t outRow, unsigned bytesPerPixel)
{
    const std::vector<RowRange> sampled = sampleRows(height);
    std::vector<RowRange> read;
    for (const RowRange& r : sampled) {
        const std::uint32_t before = std::min(r.first, kEffortBand);
        read.push_back({r.first - before, r.count + before});
    }
    std::uint64_t plainBytes = 0, sampledBytes = 0;
    // Each band's bytes are counted apart: a blank band costs nothing coded byte by byte either, and
    // counted with the others it would lower their entropy.
    std::array<std::uint64_t, 256> counts{};
    double literalBits = 0;
    const auto countBand = [&] {
        std::uint64_t total = 0;
        for (const std::uint64_t c : counts)
            total += c;
        sampledBytes += total;
        for (std::uint64_t& c : counts) {
            if (c != 0)
                literalBits += double(c) * std::log2(double(total) / double(c));
            c = 0;
        }
    };
    const ByteSink countPlain = [&](const std::uint8_t*, std::size_t size) { plainBytes += size; };
    // Every band is a stream of its own: the pool's threads compress them side by side.
    FlatePool pool;
    // At the level the page's own plain stream would have (writeUnfiltered).
    ParallelFlate plain(countPlain, kPlainLevel, Z_DEFAULT_STRATEGY, pool);
    FilteredTrial search(outRow, bytesPerPixel, BusyEffort::Search, pool);
    std::optional<FilteredTrial> runs;
    runs.emplace(outRow, bytesPerPixel, BusyEffort::Runs, pool);
    // Each band is a stream of its own, started with the rows before it (as they are, and filtered)
    // as its dictionary: its matches reach back as they would in the page's own stream.
    std::vector<std::uint8_t> before, beforeFiltered;
    bool fresh = true; // the streams as constructed, nothing written yet
    bool twoLevel = true;
    auto restart = [&](ParallelFlate& flate, const std::vector<std::uint8_t>& dictionary) {
        if (!fresh)
            flate.endStream();
        flate.presetDictionary(dictionary.data(), dictionary.size());
    };
    reader.run(
        [&](const std::uint8_t* rows, std::uint32_t count) {
            for (std::uint32_t r = 0; r < count; ++r) {
                const std::uint8_t* row = rows + r * reader.rowBytesOut();
                const std::uint32_t y = reader.bandFirstRow() + r;
                if (inside(y, sampled)) {
                    twoLevel = twoLevel && tiff2pdf::twoLevel(row, outRow);
                    if (std::any_of(sampled.begin(), sampled.end(),
                                    [y](const RowRange& band) { return band.first == y; }))
                        countBand();
                    if (!before.empty()) {
                        restart(plain, before);
                        restart(search.flate, beforeFiltered);
                        if (runs)
                            restart(runs->flate, beforeFiltered);
                        before.clear();
                        beforeFiltered.clear();
                    }
                    fresh = false;
                    for (std::size_t i = 0; i < outRow; ++i)
                        ++counts[row[i]];
                    plain.write(row, outRow);
                    search.rows.write(row);
                    if (runs)
                        runs->rows.write(row);
                } else if (inside(y, read)) {
                    keepWindow(before, row, outRow);
                    keepWindow(beforeFiltered, search.rows.prime(row), outRow + 1);
                    if (runs)
                        runs->rows.prime(row);
                }
            }
        },
        read);
    plain.finish();
    search.flate.finish();
    if (runs)
        runs->flate.finish();
    countBand();
    return {search.bytes,
            runs ? runs->bytes : search.bytes,
            plainBytes,
            sampledBytes,
            static_cast<std::uint64_t>(std::ceil(literalBits / 8)),
            twoLevel};
}

// Every stream is lossless, so a wrong choice costs size or time, never pixels. The sample is
// spread over the whole height, a band in every tenth of the page (fewer on a short one), and each band is
// compressed as the page's own pass would compress it (the same filter memory, the same effort, the rows
// before it in the window), so a page that changes from text to photograph to halftone is tried on each in
// proportion; a page too short to sample is tried whole, and the choice on it is exact. Row filters must win
// by a margin: a sample close to a tie goes to the plain stream. A page can still fool the sample only with
// content that lies between the bands, is narrower than the space between them, and favours the other stream
// by enough to outweigh what the sample saw; the cost is then the difference between the streams on that
// content, not a failure.
FlateStream chooseStream(const StreamTrial& trial)
{
    const std::uint64_t filtered = std::min(trial.filtered, trial.filteredRuns);
    if (double(filtered) * (1 + kFilteredMargin) > double(trial.plain))
        return FlateStream::Plain;
    // Runs alone are the faster of the two: taken unless the search wins by a margin.
    return double(trial.filtered) * (1 + kSearchMargin) <= double(trial.filteredRuns)
               ? FlateStream::Filtered
               : FlateStream::FilteredRuns;
}

// Pixels of a few levels scattered at random (a page of fine noise, some dithers) hold few repeats
// longer than a match's minimum: the deeper searches walk long chains of short matches for nothing,
// at many times the light search's cost for hardly fewer bytes. Where the sample's matches gain less than
// kMatchGain over its bytes coded one by one, the plain stream takes the light search that busy bands take.
int plainLevel(const StreamTrial& trial)
{
    return trial.literal > 0 && double(trial.plain) * (1 + kMatchGain) >= double(trial.literal) ? kBusyLevel
                                                                                                : kPlainLevel;
}

} // namespace tiff2pdf
