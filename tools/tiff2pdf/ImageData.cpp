#include "ImageData.h"

#include <zlib.h>

#include <cmath>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <memory>
#include <optional>
#include <cstring>
#include <string>
#include <system_error>

namespace tiff2pdf {

namespace {

/// Decoded pixels are handed on in bands of this many bytes at most; a single strip larger than
/// this is read row by row.
constexpr std::uint64_t kBandLimit = 64ull * 1024 * 1024;

std::string pageText(const PagePlan& plan)
{
    return "page " + std::to_string(plan.directory + 1);
}

std::vector<std::uint8_t> allocate(std::uint64_t size, const PagePlan& plan)
{
    if (size > kMaxAlloc)
        throw ConversionError(pageText(plan) + " needs a " + std::to_string(size >> 20) +
                              " MiB buffer, more than the converter allows");
    return std::vector<std::uint8_t>(static_cast<std::size_t>(size));
}

void swapToBigEndian16(std::uint8_t* data, std::size_t bytes)
{
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        for (std::size_t i = 0; i + 1 < bytes; i += 2)
            std::swap(data[i], data[i + 1]);
    }
}

/// Decodes the page through libtiff and hands on whole rows (interleaved samples, 16-bit samples
/// big-endian as PDF wants them) in bands.
class BandReader
{
public:
    using RowsSink = std::function<void(const std::uint8_t* rows, std::uint32_t count)>;

    /// Strips larger than `bandLimit` bytes are read a row at a time.
    BandReader(TIFF* tif, const PagePlan& plan, TiffMessages& messages, std::uint64_t bandLimit = kBandLimit)
        : m_tif(tif), m_plan(plan), m_messages(messages), m_rowBytes(rowBytes(plan, plan.samplesPerPixel)),
          m_bandLimit(bandLimit)
    {
    }

    std::uint64_t rowBytesOut() const { return m_rowBytes; }

    void run(const RowsSink& sink)
    {
        if (m_plan.tiled)
            readTiles(sink);
        else if (m_plan.planar == PLANARCONFIG_SEPARATE && m_plan.samplesPerPixel > 1)
            readSeparateStrips(sink);
        else
            readContigStrips(sink);
    }

private:
    [[noreturn]] void fail(const std::string& what)
    {
        throw ConversionError(m_messages.with(pageText(m_plan) + ": " + what));
    }

    void deliver(std::uint8_t* rows, std::uint32_t count, const RowsSink& sink)
    {
        if (m_plan.bitsPerSample == 16)
            swapToBigEndian16(rows, static_cast<std::size_t>(m_rowBytes * count));
        sink(rows, count);
    }

    void readContigStrips(const RowsSink& sink)
    {
        const std::uint64_t scanline = TIFFScanlineSize64(m_tif);
        if (scanline != m_rowBytes)
            fail("unexpected row size " + std::to_string(scanline) + " bytes, expected " +
                 std::to_string(m_rowBytes));
        const std::uint32_t rps = std::min(m_plan.rowsPerStrip, m_plan.height);
        if (std::uint64_t(rps) * m_rowBytes > m_bandLimit) {
            readScanlines(sink);
            return;
        }
        const std::uint32_t strips = TIFFNumberOfStrips(m_tif);
        const std::uint64_t needed = (std::uint64_t(m_plan.height) + rps - 1) / rps;
        if (strips < needed)
            fail("has " + std::to_string(strips) + " strips, " + std::to_string(needed) + " needed");
        auto band = allocate(std::uint64_t(rps) * m_rowBytes, m_plan);
        for (std::uint32_t s = 0; s < needed; ++s) {
            const std::uint32_t rows = std::min<std::uint32_t>(rps, m_plan.height - s * rps);
            const tmsize_t want = static_cast<tmsize_t>(std::uint64_t(rows) * m_rowBytes);
            m_messages.clear();
            const tmsize_t got = TIFFReadEncodedStrip(m_tif, s, band.data(), want);
            if (got < want)
                fail("strip " + std::to_string(s + 1) + " is truncated or corrupt");
            deliver(band.data(), rows, sink);
        }
    }

    void readScanlines(const RowsSink& sink)
    {
        constexpr std::uint32_t kRows = 16;
        auto band = allocate(std::uint64_t(kRows) * m_rowBytes, m_plan);
        std::uint32_t inBand = 0;
        for (std::uint32_t row = 0; row < m_plan.height; ++row) {
            m_messages.clear();
            if (TIFFReadScanline(m_tif, band.data() + inBand * m_rowBytes, row, 0) != 1)
                fail("row " + std::to_string(row + 1) + " is truncated or corrupt");
            if (++inBand == kRows) {
                deliver(band.data(), inBand, sink);
                inBand = 0;
            }
        }
        if (inBand)
            deliver(band.data(), inBand, sink);
    }

    void readSeparateStrips(const RowsSink& sink)
    {
        const unsigned spp = m_plan.samplesPerPixel;
        const unsigned bytesPerSample = m_plan.bitsPerSample / 8;
        const std::uint32_t rps = std::min(m_plan.rowsPerStrip, m_plan.height);
        const std::uint64_t planeRow = std::uint64_t(m_plan.width) * bytesPerSample;
        if (TIFFScanlineSize64(m_tif) != planeRow)
            fail("unexpected row size in a separate plane");
        const std::uint32_t perPlane = static_cast<std::uint32_t>((std::uint64_t(m_plan.height) + rps - 1) / rps);
        if (std::uint64_t(TIFFNumberOfStrips(m_tif)) < std::uint64_t(perPlane) * spp)
            fail("has too few strips for its planes");
        auto plane = allocate(std::uint64_t(rps) * planeRow, m_plan);
        auto band = allocate(std::uint64_t(rps) * m_rowBytes, m_plan);
        for (std::uint32_t s = 0; s < perPlane; ++s) {
            const std::uint32_t rows = std::min<std::uint32_t>(rps, m_plan.height - s * rps);
            const tmsize_t want = static_cast<tmsize_t>(std::uint64_t(rows) * planeRow);
            for (unsigned p = 0; p < spp; ++p) {
                m_messages.clear();
                if (TIFFReadEncodedStrip(m_tif, s + p * perPlane, plane.data(), want) < want)
                    fail("strip " + std::to_string(s + p * perPlane + 1) + " is truncated or corrupt");
                const std::uint64_t pixels = std::uint64_t(rows) * m_plan.width;
                for (std::uint64_t i = 0; i < pixels; ++i)
                    std::memcpy(&band[(i * spp + p) * bytesPerSample], &plane[i * bytesPerSample], bytesPerSample);
            }
            deliver(band.data(), rows, sink);
        }
    }

    void readTiles(const RowsSink& sink)
    {
        const bool separate = m_plan.planar == PLANARCONFIG_SEPARATE && m_plan.samplesPerPixel > 1;
        const unsigned spp = m_plan.samplesPerPixel;
        const unsigned planes = separate ? spp : 1;
        const std::uint32_t tw = m_plan.tileWidth;
        const std::uint32_t th = m_plan.tileLength;
        const std::uint64_t tileRow = TIFFTileRowSize64(m_tif);
        const std::uint64_t tileSize = TIFFTileSize64(m_tif);
        const unsigned bitsPerTilePixel = separate ? m_plan.bitsPerSample : m_plan.bitsPerSample * spp;
        if (tileRow != (std::uint64_t(tw) * bitsPerTilePixel + 7) / 8 || tileSize != tileRow * th)
            fail("unexpected tile size");
        if ((std::uint64_t(tw) * bitsPerTilePixel) % 8 != 0)
            fail("tile width " + std::to_string(tw) + " does not end on a byte boundary");
        auto tile = allocate(tileSize, m_plan);
        auto band = allocate(std::uint64_t(th) * m_rowBytes, m_plan);
        const unsigned bytesPerSample = m_plan.bitsPerSample / 8;
        for (std::uint32_t y = 0; y < m_plan.height; y += th) {
            const std::uint32_t rows = std::min(th, m_plan.height - y);
            for (std::uint32_t x = 0; x < m_plan.width; x += tw) {
                const std::uint32_t cols = std::min(tw, m_plan.width - x);
                for (unsigned p = 0; p < planes; ++p) {
                    const std::uint32_t index = TIFFComputeTile(m_tif, x, y, 0, static_cast<std::uint16_t>(p));
                    if (index >= TIFFNumberOfTiles(m_tif))
                        fail("has too few tiles");
                    m_messages.clear();
                    if (TIFFReadEncodedTile(m_tif, index, tile.data(), static_cast<tmsize_t>(tileSize)) <
                        static_cast<tmsize_t>(tileSize))
                        fail("tile " + std::to_string(index + 1) + " is truncated or corrupt");
                    for (std::uint32_t r = 0; r < rows; ++r) {
                        const std::uint8_t* src = tile.data() + r * tileRow;
                        std::uint8_t* dst = band.data() + r * m_rowBytes;
                        if (!separate) {
                            const std::uint64_t start = std::uint64_t(x) * bitsPerTilePixel / 8;
                            const std::uint64_t count = std::min<std::uint64_t>(tileRow, m_rowBytes - start);
                            std::memcpy(dst + start, src, static_cast<std::size_t>(count));
                        } else {
                            for (std::uint32_t c = 0; c < cols; ++c)
                                std::memcpy(dst + ((std::uint64_t(x) + c) * spp + p) * bytesPerSample,
                                            src + std::uint64_t(c) * bytesPerSample, bytesPerSample);
                        }
                    }
                }
            }
            deliver(band.data(), rows, sink);
        }
    }

    TIFF* m_tif;
    const PagePlan& m_plan;
    TiffMessages& m_messages;
    std::uint64_t m_rowBytes;
    std::uint64_t m_bandLimit;
};

/// PNG row filtering with an adaptive choice per row: the filter whose output would take the fewest
/// bits with an order-0 entropy coder (what deflate's Huffman stage is). The usual choice, the
/// smallest sum of magnitudes, is close to this on photographs and scanned paper, but picks a
/// difference filter for halftoned or flat-toned rows (a CMYK page of 0 and 255 dots), whose
/// differences take three symbols where the samples take two.
class PngRowFilter
{
public:
    PngRowFilter(std::size_t rowBytes, unsigned bytesPerPixel)
        : m_rowBytes(rowBytes), m_bpp(bytesPerPixel), m_previous(rowBytes, 0), m_candidates(5 * (rowBytes + 1)),
          m_cLogC(rowBytes + 1)
    {
        for (std::size_t c = 1; c <= rowBytes; ++c)
            m_cLogC[c] = static_cast<float>(double(c) * std::log2(double(c)));
    }

    /// The filtered row, its filter type byte first (rowBytes + 1 bytes).
    const std::uint8_t* filter(const std::uint8_t* row)
    {
        const std::size_t n = m_rowBytes, bpp = m_bpp;
        std::uint8_t* c[5];
        for (int f = 0; f < 5; ++f) {
            c[f] = m_candidates.data() + f * (n + 1);
            c[f][0] = static_cast<std::uint8_t>(f);
            ++c[f];
        }
        const std::uint8_t* up = m_previous.data();
        std::memset(m_histogram, 0, sizeof m_histogram);
        for (std::size_t i = 0; i < n; ++i) {
            const int x = row[i];
            const int a = i >= bpp ? row[i - bpp] : 0;
            const int b = up[i];
            const int cc = i >= bpp ? up[i - bpp] : 0;
            const int p = a + b - cc;
            const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - cc);
            const int paeth = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : cc);
            const std::uint8_t v[5] = {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(x - a),
                                       static_cast<std::uint8_t>(x - b), static_cast<std::uint8_t>(x - ((a + b) >> 1)),
                                       static_cast<std::uint8_t>(x - paeth)};
            for (int f = 0; f < 5; ++f) {
                c[f][i] = v[f];
                ++m_histogram[f][v[f]];
            }
        }
        // Bits of the row = n log2 n - sum of c log2 c over its byte counts: the largest sum wins.
        int best = 0;
        float bestSum = -1;
        for (int f = 0; f < 5; ++f) {
            float sum = 0;
            for (int v = 0; v < 256; ++v)
                sum += m_cLogC[m_histogram[f][v]];
            if (sum > bestSum) {
                bestSum = sum;
                best = f;
            }
        }
        std::memcpy(m_previous.data(), row, n);
        m_lastBits = static_cast<double>(n ? m_cLogC[n] : 0) - bestSum;
        return c[best] - 1;
    }

    /// What the last row's filtered bytes take at best with an order-0 coder, in bits.
    double lastBits() const { return m_lastBits; }
    /// How many samples of the last row were 0 or all ones (its unfiltered bytes' counts).
    std::uint32_t lastExtremes() const { return m_histogram[0][0] + m_histogram[0][0xFF]; }

private:
    std::size_t m_rowBytes;
    std::size_t m_bpp;
    std::vector<std::uint8_t> m_previous;
    std::vector<std::uint8_t> m_candidates;
    std::vector<float> m_cLogC; // c log2 c for every count a row can have
    std::uint32_t m_histogram[5][256];
    double m_lastBits = 0;
};

/// zlib compression into a sink.
class FlateWriter
{
public:
    FlateWriter(const ByteSink& sink, int level, int strategy = Z_DEFAULT_STRATEGY) : m_sink(sink)
    {
        if (deflateInit2(&m_z, level, Z_DEFLATED, 15, 8, strategy) != Z_OK)
            throw ConversionError("cannot start zlib compression");
        m_level = level;
    }
    ~FlateWriter() { deflateEnd(&m_z); }
    FlateWriter(const FlateWriter&) = delete;
    FlateWriter& operator=(const FlateWriter&) = delete;

    void write(const std::uint8_t* data, std::size_t size) { pump(data, size, Z_NO_FLUSH); }
    void setLevel(int level, int strategy = Z_DEFAULT_STRATEGY)
    {
        if (level == m_level)
            return;
        m_level = level;
        // deflateParams compresses what it holds with the old level into next_out: hand it all
        // out first, then give it room, and hand out whatever it still wrote.
        pump(nullptr, 0, Z_BLOCK);
        m_z.next_out = m_out;
        m_z.avail_out = sizeof m_out;
        if (deflateParams(&m_z, level, strategy) != Z_OK)
            throw ConversionError("zlib compression failed");
        if (const std::size_t produced = sizeof m_out - m_z.avail_out)
            m_sink(m_out, produced);
    }
    void finish() { pump(nullptr, 0, Z_FINISH); }
    /// Compressed bytes handed to the sink so far.
    std::uint64_t produced() const { return m_z.total_out; }

private:
    void pump(const std::uint8_t* data, std::size_t size, int flush)
    {
        while (size > 0 || flush != Z_NO_FLUSH) {
            const uInt chunk = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
            m_z.next_in = const_cast<Bytef*>(data);
            m_z.avail_in = chunk;
            int rc;
            do {
                m_z.next_out = m_out;
                m_z.avail_out = sizeof m_out;
                rc = deflate(&m_z, flush);
                if (rc == Z_STREAM_ERROR)
                    throw ConversionError("zlib compression failed");
                const std::size_t produced = sizeof m_out - m_z.avail_out;
                if (produced)
                    m_sink(m_out, produced);
            } while (m_z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
            if (flush != Z_NO_FLUSH)
                return;
            data += chunk;
            size -= chunk;
        }
    }

    const ByteSink& m_sink;
    z_stream m_z{};
    int m_level = 0;
    std::uint8_t m_out[64 * 1024];
};

/// The page's samples compressed plainly (no row filters, zlib's default level, as other converters
/// do), on a thread of its own beside the filtered stream, into memory. Rows are handed over in
/// batches; at most a few batches wait, so memory stays bounded when the thread falls behind.
class PlainCompressor
{
public:
    explicit PlainCompressor(std::vector<std::uint8_t>& out)
        : m_out(out), m_sink([this](const std::uint8_t* data, std::size_t size) {
              m_out.insert(m_out.end(), data, data + size);
          })
    {
        m_out.clear();
        m_thread = std::thread([this] { run(); });
    }
    ~PlainCompressor() { abandon(); }
    PlainCompressor(const PlainCompressor&) = delete;
    PlainCompressor& operator=(const PlainCompressor&) = delete;

    void write(const std::uint8_t* row, std::size_t size)
    {
        m_batch.insert(m_batch.end(), row, row + size);
        if (m_batch.size() >= kBatchBytes)
            handOver(false);
    }
    /// Sample bytes compressed so far; the thread may be a few batches behind what was written.
    std::uint64_t consumed() const { return m_consumed.load(std::memory_order_relaxed); }
    /// Compressed bytes per sample byte so far (0 until a batch has been compressed).
    double rate() const
    {
        const std::uint64_t in = consumed();
        return in ? double(m_produced.load(std::memory_order_relaxed)) / double(in) : 0;
    }
    /// Ends the stream; its size, or nothing when it failed on the thread (out of memory).
    std::optional<std::uint64_t> finish()
    {
        handOver(true);
        m_thread.join();
        if (m_error)
            return std::nullopt;
        return m_out.size();
    }
    /// Stops the thread and frees what it holds; the stream is not wanted.
    void abandon()
    {
        if (!m_thread.joinable())
            return;
        {
            std::lock_guard lock(m_mutex);
            m_abandoned = true;
        }
        m_changed.notify_all();
        m_thread.join();
        std::vector<std::uint8_t>().swap(m_out);
    }

private:
    static constexpr std::size_t kBatchBytes = 128 * 1024;
    static constexpr std::size_t kMaxWaiting = 4;

    void handOver(bool last)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_waiting.size() < kMaxWaiting || m_abandoned || m_done; });
        // A thread that has stopped (on an error, which finish reports) takes nothing more.
        if (!m_done)
            m_waiting.push_back(std::move(m_batch));
        m_batch.clear();
        m_last = last;
        m_changed.notify_all();
    }

    void run()
    {
        try {
            FlateWriter flate(m_sink, kFlateLevel);
            for (;;) {
                std::vector<std::uint8_t> batch;
                bool last = false;
                {
                    std::unique_lock lock(m_mutex);
                    m_changed.wait(lock, [this] { return !m_waiting.empty() || m_abandoned; });
                    if (m_abandoned)
                        return;
                    batch = std::move(m_waiting.front());
                    m_waiting.pop_front();
                    last = m_last && m_waiting.empty();
                }
                m_changed.notify_all();
                flate.write(batch.data(), batch.size());
                if (last) {
                    flate.finish();
                    break;
                }
                m_produced.store(flate.produced(), std::memory_order_relaxed);
                m_consumed.store(m_consumed.load(std::memory_order_relaxed) + batch.size(), std::memory_order_relaxed);
            }
        } catch (...) {
            m_error = std::current_exception();
        }
        std::lock_guard lock(m_mutex);
        m_done = true;
        m_changed.notify_all();
    }

    std::vector<std::uint8_t>& m_out;
    const ByteSink m_sink;
    std::vector<std::uint8_t> m_batch;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::vector<std::uint8_t>> m_waiting;
    bool m_last = false;
    bool m_abandoned = false;
    bool m_done = false;
    std::atomic<std::uint64_t> m_produced{0};
    std::atomic<std::uint64_t> m_consumed{0};
    std::exception_ptr m_error;
    std::thread m_thread;
};

bool writeFlate(TIFF* tif, const PagePlan& plan, ImagePart part, const ByteSink& sink, TiffMessages& messages,
                std::vector<std::uint8_t>* plainOut)
{
    BandReader reader(tif, plan, messages);
    const bool png = usesPngPredictor(plan);
    const unsigned bytesPerSample = plan.bitsPerSample / 8;
    const unsigned channels = plan.alpha == Alpha::None ? plan.samplesPerPixel
                              : part == ImagePart::Colour ? plan.colourChannels
                                                          : 1;
    // After PNG filtering, scanner noise leaves few long matches. With one byte per pixel the useful
    // ones are runs, which Z_RLE finds as well as the full search at a fraction of its time; with
    // several bytes per pixel they repeat a pixel back, where a light full search (level 3) does best:
    // on scanned A4 pages both beat level 6 in size and take a quarter of its time.
    const bool runLength = png && channels * bytesPerSample == 1;
    FlateWriter flate(sink, png ? (runLength ? kFlateLevel : 3) : kFlateLevel,
                      runLength ? Z_RLE : Z_DEFAULT_STRATEGY);
    const std::size_t outRow = static_cast<std::size_t>(rowBytes(plan, channels));
    std::unique_ptr<PngRowFilter> filter;
    if (png)
        filter = std::make_unique<PngRowFilter>(outRow, channels * bytesPerSample);
    // Smooth, flat or halftoned bands (few bits per byte after filtering) repeat far more than
    // the coder's order-0 estimate shows, and the full search (level 6) finds it: photographs and
    // prepress CMYK shrink by a third. Scanner noise does not, and there level 3 is as small and
    // several times faster. Decided per band of rows from the band before.
    constexpr std::uint32_t kBand = 16;
    constexpr double kSmoothBitsPerByte = 1.5;
    double bandBits = 0;
    std::uint32_t bandRows = 0;
    // Row filters win on nearly every page, but flat or halftoned samples can come out smaller as
    // they are, and the same pixels compressed plainly (as other converters do) are a size this
    // output must never exceed. The plain stream runs beside the filtered one on another core, until
    // it falls clearly behind; on scanned paper that happens within the first few hundred rows.
    std::optional<PlainCompressor> plain;
    if (plainOut && filter && plan.alpha == Alpha::None) {
        try {
            plain.emplace(*plainOut);
        } catch (const std::system_error&) {
            // No thread to be had (a process limit): the filtered stream alone is still a sound page.
        }
    }
    std::uint64_t plainRows = 0;
    std::uint64_t extremes = 0; // samples of the filtered rows that are 0 or 255
    bool filteredStopped = false;
    // Compared per byte of samples, since the thread runs behind. Once it has taken an eighth MiB
    // and some rows, a plain stream 3 % behind will not win, except on halftoned samples (nearly all
    // 0 or full), where it wins by a hair and only over the whole page. There, once it leads, the
    // filtered stream stops instead: the plain one alone is never larger than what other converters
    // make, and the page costs one compression, not two.
    auto judgePlain = [&] {
        if (plain->consumed() < std::max<std::uint64_t>(128 * 1024, 32 * outRow))
            return;
        // Every row counted so far went through the filter, which the rate below is of.
        const double filteredBytes = double((plainRows - 1) * outRow);
        const double filtered = double(flate.produced()) / filteredBytes;
        const bool halftoned = double(extremes) >= 0.9 * filteredBytes;
        if (!halftoned && plain->rate() > filtered * 1.03)
            plain.reset();
        else if (halftoned && plain->rate() < filtered)
            filteredStopped = true;
    };
    auto emit = [&](const std::uint8_t* row) {
        if (!filter) {
            flate.write(row, outRow);
            return;
        }
        if (plain) {
            plain->write(row, outRow);
            if (filteredStopped)
                return;
            if (++plainRows % 16 == 0)
                judgePlain();
            if (filteredStopped)
                return;
        }
        flate.write(filter->filter(row), outRow + 1);
        extremes += filter->lastExtremes();
        if (runLength)
            return;
        bandBits += filter->lastBits();
        if (++bandRows == kBand) {
            flate.setLevel(bandBits < kSmoothBitsPerByte * double(kBand) * double(outRow) ? kFlateLevel : 3);
            bandBits = 0;
            bandRows = 0;
        }
    };
    if (plan.alpha == Alpha::None) {
        reader.run([&](const std::uint8_t* rows, std::uint32_t count) {
            if (!filter) {
                flate.write(rows, static_cast<std::size_t>(reader.rowBytesOut() * count));
                return;
            }
            for (std::uint32_t r = 0; r < count; ++r)
                emit(rows + r * reader.rowBytesOut());
        });
    } else {
        // Alpha is only accepted with 8 or 16 bits per sample, so channels are whole bytes.
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
                emit(row.data());
            }
        });
    }
    if (filteredStopped) {
        if (!plain->finish())
            throw ConversionError(pageText(plan) + ": compression failed");
        return true;
    }
    flate.finish();
    // A plain stream that failed (it is only ever an alternative) leaves the filtered one.
    if (!plain)
        return false;
    const std::optional<std::uint64_t> plainSize = plain->finish();
    return plainSize && *plainSize < flate.produced();
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

std::uint16_t be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

} // namespace

bool usesPngPredictor(const PagePlan& plan)
{
    return plan.carriage == Carriage::Flate && plan.bitsPerSample >= 8 && plan.model != ColourModel::Indexed;
}

std::uint64_t rowBytes(const PagePlan& plan, unsigned channels)
{
    return (std::uint64_t(plan.width) * channels * plan.bitsPerSample + 7) / 8;
}

std::vector<std::uint8_t> readSingleChunk(TIFF* tif, const PagePlan& plan, TiffMessages& messages)
{
    int err = 0;
    const std::uint64_t size = TIFFGetStrileByteCountWithErr(tif, 0, &err);
    if (err || size == 0)
        throw ConversionError(messages.with(pageText(plan) + " holds no image data"));
    auto data = allocate(size, plan);
    messages.clear();
    const tmsize_t got = plan.tiled ? TIFFReadRawTile(tif, 0, data.data(), static_cast<tmsize_t>(size))
                                    : TIFFReadRawStrip(tif, 0, data.data(), static_cast<tmsize_t>(size));
    if (got != static_cast<tmsize_t>(size))
        throw ConversionError(messages.with(pageText(plan) + ": its image data is truncated"));
    return data;
}

std::vector<std::uint8_t> completeJpeg(TIFF* tif, std::vector<std::uint8_t> strip)
{
    std::uint32_t count = 0;
    const std::uint8_t* tables = nullptr;
    if (!TIFFGetField(tif, TIFFTAG_JPEGTABLES, &count, &tables) || !tables || count <= 4)
        return strip;
    if (tables[0] != 0xFF || tables[1] != 0xD8 || tables[count - 2] != 0xFF || tables[count - 1] != 0xD9 ||
        strip.size() < 2 || strip[0] != 0xFF || strip[1] != 0xD8)
        return strip; // left as it is; jpegIsPassable decides whether a reader can use it
    std::vector<std::uint8_t> merged;
    merged.reserve(count - 4 + strip.size());
    merged.insert(merged.end(), strip.begin(), strip.begin() + 2);          // SOI
    merged.insert(merged.end(), tables + 2, tables + count - 2);            // DQT/DHT...
    merged.insert(merged.end(), strip.begin() + 2, strip.end());            // frame and scans
    return merged;
}

bool jpegIsPassable(const std::vector<std::uint8_t>& jpeg, std::uint32_t width, std::uint32_t height,
                    unsigned components)
{
    const std::size_t n = jpeg.size();
    if (n < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return false;
    bool quant[4] = {}, dc[4] = {}, ac[4] = {};
    bool frame = false, progressive = false, scanned = false;
    unsigned frameQuant[4] = {};
    unsigned frameIds[4] = {};
    std::size_t pos = 2;
    while (pos < n) {
        if (jpeg[pos] != 0xFF)
            return false;
        while (pos < n && jpeg[pos] == 0xFF)
            ++pos;
        if (pos >= n)
            return false;
        const std::uint8_t marker = jpeg[pos++];
        if (marker == 0xD9) // EOI
            return frame && scanned;
        if (marker == 0xD8 || marker == 0x00 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01)
            return false; // out of place here
        if (pos + 2 > n)
            return false;
        const std::size_t len = be16(&jpeg[pos]);
        if (len < 2 || pos + len > n)
            return false;
        const std::uint8_t* seg = &jpeg[pos + 2];
        const std::size_t segLen = len - 2;
        switch (marker) {
        case 0xDB: { // DQT
            std::size_t i = 0;
            while (i < segLen) {
                const unsigned pq = seg[i] >> 4, tq = seg[i] & 15;
                if (tq > 3 || pq > 1)
                    return false;
                quant[tq] = true;
                i += 1 + (pq ? 128 : 64);
            }
            if (i != segLen)
                return false;
            break;
        }
        case 0xC4: { // DHT
            std::size_t i = 0;
            while (i < segLen) {
                if (i + 17 > segLen)
                    return false;
                const unsigned tc = seg[i] >> 4, th = seg[i] & 15;
                if (tc > 1 || th > 3)
                    return false;
                std::size_t symbols = 0;
                for (int k = 1; k <= 16; ++k)
                    symbols += seg[i + k];
                if (symbols > 256)
                    return false;
                (tc ? ac : dc)[th] = true;
                i += 17 + symbols;
            }
            if (i != segLen)
                return false;
            break;
        }
        case 0xC0:
        case 0xC1:
        case 0xC2: { // baseline, extended or progressive Huffman frames: what PDF readers take
            if (frame || segLen < 6)
                return false;
            const unsigned precision = seg[0];
            const unsigned h = be16(seg + 1), w = be16(seg + 3), nc = seg[5];
            if (precision != 8 || h != height || w != width || nc != components || segLen != 6 + 3 * nc)
                return false;
            for (unsigned c = 0; c < nc; ++c) {
                frameIds[c] = seg[6 + 3 * c];
                const unsigned sampling = seg[7 + 3 * c];
                if ((sampling >> 4) < 1 || (sampling >> 4) > 4 || (sampling & 15) < 1 || (sampling & 15) > 4)
                    return false;
                frameQuant[c] = seg[8 + 3 * c];
                if (frameQuant[c] > 3)
                    return false;
            }
            frame = true;
            progressive = marker == 0xC2;
            break;
        }
        case 0xDA: { // SOS, then entropy-coded data up to the next marker that is not a restart
            if (!frame || segLen < 1)
                return false;
            const unsigned ns = seg[0];
            if (ns < 1 || ns > components || segLen != 1 + 2 * ns + 3)
                return false;
            const unsigned ss = seg[1 + 2 * ns];
            const unsigned ah = seg[3 + 2 * ns] >> 4;
            for (unsigned c = 0; c < components; ++c)
                if (!quant[frameQuant[c]])
                    return false;
            // A progressive DC refinement carries raw bits and needs no table; every other scan does.
            const bool needDc = progressive ? (ss == 0 && ah == 0) : true;
            const bool needAc = progressive ? ss > 0 : true;
            for (unsigned k = 0; k < ns; ++k) {
                const unsigned id = seg[1 + 2 * k], td = seg[2 + 2 * k] >> 4, ta = seg[2 + 2 * k] & 15;
                if (std::find(frameIds, frameIds + components, id) == frameIds + components || td > 3 || ta > 3)
                    return false;
                if ((needDc && !dc[td]) || (needAc && !ac[ta]))
                    return false;
            }
            pos += len;
            while (pos + 1 < n) {
                if (jpeg[pos] == 0xFF && jpeg[pos + 1] != 0x00 && !(jpeg[pos + 1] >= 0xD0 && jpeg[pos + 1] <= 0xD7) &&
                    jpeg[pos + 1] != 0xFF)
                    break;
                ++pos;
            }
            if (pos + 1 >= n)
                return false; // ran off the end: no EOI
            scanned = true;
            continue;
        }
        case 0xDC: // DNL: height given after the scan, not what the frame says
            return false;
        default:
            if ((marker >= 0xC3 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC))
                return false; // lossless, hierarchical or arithmetic coding
            break; // APPn, COM, DRI, DAC...: carried along
        }
        pos += len;
    }
    return false;
}

bool deflateIsPassable(const std::vector<std::uint8_t>& data, std::uint64_t expected)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    std::uint8_t out[64 * 1024];
    z.next_in = const_cast<Bytef*>(data.data());
    std::size_t left = data.size();
    std::uint64_t total = 0;
    int rc = Z_OK;
    // A stream that inflates far past the image would only be cut short by a reader: not ours to pass on.
    const std::uint64_t ceiling = expected * 2 + (1u << 20);
    while (rc == Z_OK && total <= ceiling) {
        if (z.avail_in == 0 && left > 0) {
            const uInt chunk = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
            z.avail_in = chunk;
            left -= chunk;
        }
        z.next_out = out;
        z.avail_out = sizeof out;
        rc = inflate(&z, Z_NO_FLUSH);
        total += sizeof out - z.avail_out;
        if (rc == Z_BUF_ERROR && z.avail_in == 0 && left == 0)
            break; // input ended before the stream did
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END && total >= expected && total <= ceiling;
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
