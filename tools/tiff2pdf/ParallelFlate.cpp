// SPDX-License-Identifier: GPL-3.0-or-later
#include "ParallelFlate.h"

#include "DeflateBlocks.h"
#include "TiffSupport.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <system_error>

namespace tiff2pdf {

/// Level and strategy from `offset` of a piece's input on.
struct FlateSetting
{
    std::size_t offset = 0;
    int level = 0;
    int strategy = 0;
};

/// Leaves the bytes a vector grows by as they are: a piece's output is made room for at its worst
/// case, and a piece that packs well writes a few pages of it; the rest is never touched, nor then
/// made resident.
template <class T> struct Uninitialised : std::allocator<T>
{
    // std::allocator's own rebind (before C++20) would lose this allocator in the vector.
    template <class U> struct rebind
    {
        using other = Uninitialised<U>;
    };
    Uninitialised() = default;
    template <class U> Uninitialised(const Uninitialised<U>&) noexcept {}
    template <class U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
};

struct FlatePiece
{
    enum class State {
        Waiting,
        Taken,
        Done,
    };
    std::vector<std::uint8_t> input; ///< the dictionary, then the piece's own bytes
    std::size_t dictionary = 0;
    std::vector<FlateSetting> settings; ///< offsets counted from the end of the dictionary
    bool endOfStream = false;
    bool packsTightly = false; ///< the stream packs tighter than kTightPacking
    std::size_t index = 0;     ///< the piece's place in its stream, from 0
    std::vector<std::uint8_t, Uninitialised<std::uint8_t>> output;
    std::size_t outputSize = 0;
    unsigned long adler = 0;
    std::exception_ptr error;
    State state = State::Waiting;
};

namespace {

/// How far back deflate's matches reach: each piece starts with this much of what came before.
constexpr std::size_t kWindow = 32 * 1024;
/// How many bytes to one a stream must pack (its first piece, and its page's sample where it has
/// one) for its smooth bands to get libdeflate's deeper search.
constexpr std::size_t kTightPacking = 40;
/// Of a plain stream's pieces one in this many searches a level deeper than the others.
constexpr std::size_t kDeepEvery = 3;
/// Of the pieces of a stream that packs tightly, one in this many.
constexpr std::size_t kTightDeepEvery = 6;
/// How many bytes to one a piece must pack to hold nothing but repeats. Pieces of a form or of
/// prepress tints that hold text or a vignette pack 40 to 250 to one, their blank ones over 700.
constexpr std::size_t kRepeatsPacking = 512;

using Piece = FlatePiece;

struct Deflater
{
    Deflater() = default;
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    ~Deflater()
    {
        if (open)
            deflateEnd(&z);
    }
    z_stream z{};
    bool open = false;
};

/// Runs deflate over `size` bytes with `flush`, growing the piece's output as it fills.
void pump(z_stream& z, Piece& piece, const std::uint8_t* data, std::size_t size, int flush)
{
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    for (;;) {
        if (piece.output.size() - piece.outputSize < 4096)
            piece.output.resize(piece.output.size() +
                                std::max<std::size_t>(piece.output.size() / 2, 64 * 1024));
        z.next_out = piece.output.data() + piece.outputSize;
        z.avail_out = static_cast<uInt>(piece.output.size() - piece.outputSize);
        const int rc = deflate(&z, flush);
        piece.outputSize = piece.output.size() - z.avail_out;
        if (rc == Z_STREAM_ERROR)
            throw ConversionError("zlib compression failed");
        if (flush == Z_FINISH ? rc == Z_STREAM_END : z.avail_in == 0 && z.avail_out != 0)
            return;
    }
}

/// libdeflate's level for a piece, from the setting that covers most of its bytes; 0 where zlib is
/// the better: libdeflate has no runs-only search, and zlib's Z_RLE is faster than any of its levels
/// and as tight. A light level packs busy bands as tightly as zlib's deeper ones in far less time.
/// Where a stream packs tighter than kTightPacking (flat forms, prepress tints) the few matches
/// between the runs, text above all, need its deeper search, which costs time on every piece it
/// covers: a share of the pieces at the deepest level buys most of its gain in size for a fraction
/// of its time. The plain stream (palette indices, halftones) has no filter's gain to spare, and
/// gets the deeper level on a share of its pieces for the same reason. The piece's place in its
/// stream decides, never the thread it runs on (bench/README.md has the figures).
int fastLevel(const Piece& piece, std::size_t size)
{
    const bool deep = piece.index % kDeepEvery == kDeepEvery - 1;
    const bool deepTight = piece.index % kTightDeepEvery == kTightDeepEvery - 1;
    int level = 0;
    std::size_t most = 0;
    for (std::size_t i = 0; i < piece.settings.size(); ++i) {
        const FlateSetting& s = piece.settings[i];
        const std::size_t end = i + 1 < piece.settings.size() ? piece.settings[i + 1].offset : size;
        if (end - s.offset < most)
            continue;
        most = end - s.offset;
        level = s.strategy == Z_RLE      ? 0
                : s.level < kFlateLevel  ? 4
                : piece.packsTightly     ? (deepTight ? 8 : 7)
                : s.level == kFlateLevel ? 6
                                         : (deep ? 7 : 6);
    }
    return level;
}

/// The piece through libdeflate, which has neither a preset dictionary nor a way to end a stream
/// anywhere but in a final block. That block is made an ordinary one and followed by an empty
/// stored block, as zlib's Z_SYNC_FLUSH ends a piece, so the pieces join into one stream; the
/// stream's codes are read through first, and the bits are touched only where that found the block.
/// False when anything fails: the piece is then compressed with zlib.
bool compressFast(Piece& piece)
{
    const std::uint8_t* data = piece.input.data() + piece.dictionary;
    const std::size_t size = piece.input.size() - piece.dictionary;
    if (size == 0)
        return false;
    const int level = fastLevel(piece, size);
    if (level == 0)
        return false;
    // A compressor holds 650 KB of tables: one per thread, made again only when the level changes,
    // which costs a few microseconds against a piece's milliseconds.
    struct Compressor
    {
        int level = 0;
        std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> made{
            nullptr, libdeflate_free_compressor};
    };
    thread_local Compressor c;
    if (c.level != level) {
        c.made.reset();
        c.made.reset(libdeflate_alloc_compressor(level));
        c.level = c.made ? level : 0;
    }
    if (!c.made)
        return false;
    piece.output.resize(libdeflate_deflate_compress_bound(c.made.get(), size) + 5);
    const std::size_t length =
        libdeflate_deflate_compress(c.made.get(), data, size, piece.output.data(), piece.output.size());
    if (length == 0)
        return false;
    const auto bits = lastBlock(piece.output.data(), length, size);
    if (!bits)
        return false;
    piece.outputSize = length;
    if (!piece.endOfStream) {
        std::uint8_t* out = piece.output.data();
        out[bits->first / 8] &= static_cast<std::uint8_t>(~(1u << (bits->first % 8)));
        // A stored block's 3 header bits, zero, from the end on, then the byte boundary.
        if (bits->second % 8)
            out[bits->second / 8] &= static_cast<std::uint8_t>((1u << (bits->second % 8)) - 1);
        const std::size_t aligned = static_cast<std::size_t>((bits->second + 3 + 7) / 8);
        for (std::size_t i = length; i < aligned; ++i)
            out[i] = 0;
        const std::uint8_t empty[4] = {0x00, 0x00, 0xFF, 0xFF};
        std::memcpy(out + aligned, empty, 4);
        piece.outputSize = aligned + 4;
    }
    piece.adler = libdeflate_adler32(1, data, size);
    return true;
}

/// The piece through zlib: its dictionary preset, its settings applied where they start (with
/// `runsAlone`, their levels only, every one with runs alone).
void compressZlib(Piece& piece, bool runsAlone = false)
{
    piece.outputSize = 0;
    const auto strategy = [runsAlone](const FlateSetting& s) { return runsAlone ? Z_RLE : s.strategy; };
    Deflater d;
    const FlateSetting& first = piece.settings.front();
    if (deflateInit2(&d.z, first.level, Z_DEFLATED, -15, 8, strategy(first)) != Z_OK)
        throw ConversionError("cannot start zlib compression");
    d.open = true;
    if (piece.dictionary &&
        deflateSetDictionary(&d.z, piece.input.data(), static_cast<uInt>(piece.dictionary)) != Z_OK)
        throw ConversionError("zlib compression failed");
    const std::uint8_t* data = piece.input.data() + piece.dictionary;
    const std::size_t size = piece.input.size() - piece.dictionary;
    for (std::size_t i = 0; i < piece.settings.size(); ++i) {
        const FlateSetting& s = piece.settings[i];
        const std::size_t end = i + 1 < piece.settings.size() ? piece.settings[i + 1].offset : size;
        if (i > 0 && s.offset == size)
            break; // set after the last byte (the stream ends): nothing to do
        if (i > 0) {
            // deflateParams compresses what it holds with the old setting: end the block first,
            // then give it room.
            pump(d.z, piece, nullptr, 0, Z_BLOCK);
            if (piece.output.size() - piece.outputSize < 4096)
                piece.output.resize(piece.output.size() + 64 * 1024);
            d.z.next_out = piece.output.data() + piece.outputSize;
            d.z.avail_out = static_cast<uInt>(piece.output.size() - piece.outputSize);
            const int rc = deflateParams(&d.z, s.level, strategy(s));
            piece.outputSize = piece.output.size() - d.z.avail_out;
            if (rc != Z_OK)
                throw ConversionError("zlib compression failed");
        }
        pump(d.z, piece, data + s.offset, end - s.offset, Z_NO_FLUSH);
    }
    pump(d.z, piece, nullptr, 0, piece.endOfStream ? Z_FINISH : Z_SYNC_FLUSH);
    piece.adler = adler32_z(adler32(0, nullptr, 0), data, size);
}

/// Raw deflate data of one piece, ended byte-aligned (or, the last piece, as the final block).
/// Never throws: a failure is left in the piece for the thread that writes it out.
void compress(Piece& piece) noexcept
{
    try {
        if (!compressFast(piece)) {
            compressZlib(piece);
            return;
        }
        // Where a piece is nothing but long repeats (blank paper, rules, rows like the one above),
        // its bytes are the blocks' headers and the repeats' codes: libdeflate ends its blocks far
        // less often than zlib's runs alone do, which then packs smaller. Runs alone are tried on
        // such pieces only, and the smaller goes.
        if (piece.input.size() - piece.dictionary < kRepeatsPacking * piece.outputSize)
            return;
        auto fast = std::move(piece.output);
        const std::size_t fastSize = piece.outputSize;
        piece.output.clear();
        compressZlib(piece, true);
        if (piece.outputSize >= fastSize) {
            piece.output = std::move(fast);
            piece.outputSize = fastSize;
        }
    } catch (...) {
        piece.error = std::current_exception();
    }
}

} // namespace

FlatePool::FlatePool(unsigned threads) : m_helpers(threads > 1 ? threads - 1 : 0) {}

FlatePool::~FlatePool()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_all();
    for (std::thread& t : m_threads)
        t.join();
}

unsigned FlatePool::defaultThreads()
{
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

void FlatePool::start()
{
    if (m_started)
        return;
    m_started = true;
    // A thread that cannot be had leaves the work to those there are, down to the calling one.
    try {
        for (unsigned i = 0; i < m_helpers; ++i)
            m_threads.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
    }
}

FlatePiece* FlatePool::take()
{
    if (m_waiting.empty())
        return nullptr;
    FlatePiece* piece = m_waiting.front();
    m_waiting.pop_front();
    piece->state = Piece::State::Taken;
    return piece;
}

void FlatePool::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return m_stop || !m_waiting.empty(); });
        if (m_stop)
            return;
        FlatePiece* piece = take();
        lock.unlock();
        compress(*piece);
        lock.lock();
        piece->state = Piece::State::Done;
        m_done.notify_all();
    }
}

ParallelFlate::ParallelFlate(const ByteSink& sink, int level, int strategy, FlatePool& pool,
                             std::size_t largestPiece)
    : m_sink(sink), m_pool(pool), m_level(level), m_strategy(strategy), m_adler(adler32(0, nullptr, 0)),
      m_largestPiece(std::max(largestPiece, kPieceBytes)), m_current(std::make_unique<Piece>())
{
    m_current->input.reserve(kPieceBytes);
    m_current->settings.push_back({0, level, strategy});
}

ParallelFlate::~ParallelFlate()
{
    std::unique_lock<std::mutex> lock(m_pool.m_mutex);
    for (const std::unique_ptr<Piece>& p : m_pieces)
        if (p->state == Piece::State::Waiting)
            m_pool.m_waiting.erase(std::find(m_pool.m_waiting.begin(), m_pool.m_waiting.end(), p.get()));
    m_pool.m_done.wait(lock, [this] {
        return std::none_of(m_pieces.begin(), m_pieces.end(),
                            [](const std::unique_ptr<Piece>& p) { return p->state == Piece::State::Taken; });
    });
}

void ParallelFlate::write(const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const std::size_t held = m_current->input.size() - m_current->dictionary;
        const std::size_t take = std::min(size, m_pieceBytes - held);
        m_current->input.insert(m_current->input.end(), data, data + take);
        data += take;
        size -= take;
        if (held + take == m_pieceBytes)
            submit(false, false);
    }
}

void ParallelFlate::setLevel(int level, int strategy)
{
    if (level == m_level && strategy == m_strategy)
        return;
    m_level = level;
    m_strategy = strategy;
    const std::size_t offset = m_current->input.size() - m_current->dictionary;
    if (m_current->settings.back().offset == offset)
        m_current->settings.back() = {offset, level, strategy};
    else
        m_current->settings.push_back({offset, level, strategy});
}

void ParallelFlate::presetDictionary(const std::uint8_t* dictionary, std::size_t size)
{
    size = std::min(size, kWindow);
    m_current->input.assign(dictionary, dictionary + size);
    m_current->dictionary = size;
}

void ParallelFlate::expectPacking(std::uint64_t in, std::uint64_t out)
{
    m_sampleLoose = in <= kTightPacking * out;
}

void ParallelFlate::endStream()
{
    submit(true, false);
}

void ParallelFlate::finish()
{
    submit(true, true);
    while (handedOver() > 0)
        drain(true);
}

std::size_t ParallelFlate::handedOver()
{
    std::lock_guard<std::mutex> lock(m_pool.m_mutex);
    return m_pieces.size();
}

void ParallelFlate::submit(bool endOfStream, bool closing)
{
    // The next piece of the same stream starts with the 32 KB before it as its dictionary.
    std::vector<std::uint8_t> tail;
    if (!closing && !endOfStream) {
        const std::vector<std::uint8_t>& before = m_current->input;
        tail.assign(before.end() - static_cast<std::ptrdiff_t>(std::min(kWindow, before.size())),
                    before.end());
    }
    m_current->endOfStream = endOfStream;
    m_current->index = m_pieceIndex;
    m_pieceIndex = endOfStream ? 0 : m_pieceIndex + 1;
    if (!closing) {
        // Helpers start with the second piece: a short stream alone is compressed here, at no cost
        // in threads.
        m_pool.start();
    }
    {
        std::lock_guard<std::mutex> lock(m_pool.m_mutex);
        m_pool.m_waiting.push_back(m_current.get());
        m_pieces.push_back(std::move(m_current));
    }
    m_pool.m_work.notify_one();
    if (!closing) {
        if (!endOfStream && ++m_piecesCut == 2)
            sizePieces();
        m_current = std::make_unique<Piece>();
        m_current->input = std::move(tail);
        m_current->input.reserve(m_current->input.size() + m_pieceBytes);
        m_current->dictionary = m_current->input.size();
        m_current->settings.push_back({0, m_level, m_strategy});
        m_current->packsTightly = m_packsTightly;
    }
    // Memory holds the pieces being compressed and one waiting for each; beyond that this thread
    // compresses a waiting piece itself (the cores stay busy) or waits for the oldest.
    const std::size_t limit = m_pool.m_threads.empty() ? 0 : m_pool.m_threads.size() + 1;
    drain(false);
    while (handedOver() > limit)
        drain(true);
}

// Where deflate packs a piece into a few hundred bytes (a blank page, a flat tint), the few bytes a
// piece costs would be percents. The first piece shows how well the stream packs, and the pieces
// after the second are made large enough to come out at about 32 KB, which keeps their cost under
// a thousandth wherever `largestPiece` allows. It is decided from the first piece alone, whichever
// thread has compressed it, so the stream's bytes stay the same however many threads there are.
// The stream packs tightly where its first piece does and the page's sample, if it has one, agrees:
// either alone is fooled, the first piece by a blank margin above a noisy scan (a thousand to one),
// the sample by busy content between its bands, and the deep pieces at libdeflate's 8 then cost the
// page half as much time again for a few bytes.
void ParallelFlate::sizePieces()
{
    // Waits for the first piece if need be; the second one is handed over already.
    while (m_firstIn == 0 && handedOver() > 0)
        drain(true);
    if (m_firstIn == 0)
        return;
    constexpr std::size_t kPieceOutput = 32 * 1024;
    const double grown = double(m_firstIn) * kPieceOutput / double(std::max<std::size_t>(m_firstOut, 1));
    m_packsTightly = !m_sampleLoose && m_firstIn > kTightPacking * m_firstOut;
    m_pieceBytes = std::clamp(static_cast<std::size_t>(std::min(grown, double(m_largestPiece))), kPieceBytes,
                              m_largestPiece);
}

void ParallelFlate::drain(bool block)
{
    bool progressed = false;
    for (;;) {
        std::unique_ptr<Piece> ready;
        Piece* mine = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_pool.m_mutex);
            if (m_pieces.empty())
                return;
            if (m_pieces.front()->state == Piece::State::Done) {
                ready = std::move(m_pieces.front());
                m_pieces.pop_front();
            } else if (!block || progressed) {
                return;
            } else if (!(mine = m_pool.take())) {
                m_pool.m_done.wait(lock, [this] { return m_pieces.front()->state == Piece::State::Done; });
                continue;
            }
        }
        progressed = true;
        if (ready) {
            writeOut(*ready);
            continue;
        }
        // Possibly another stream's piece: each stream's owner writes out its own.
        compress(*mine);
        std::lock_guard<std::mutex> lock(m_pool.m_mutex);
        mine->state = Piece::State::Done;
        m_pool.m_done.notify_all();
    }
}

void ParallelFlate::writeOut(Piece& piece)
{
    if (piece.error)
        std::rethrow_exception(piece.error);
    if (!m_headerWritten) {
        // The header zlib itself writes for a 32 KB window at the stream's first level and strategy.
        const FlateSetting& first = piece.settings.front();
        unsigned header = (Z_DEFLATED + ((15 - 8) << 4)) << 8;
        const unsigned levelFlags = first.strategy >= Z_HUFFMAN_ONLY || first.level < 2 ? 0
                                    : first.level < 6                                   ? 1
                                    : first.level == 6                                  ? 2
                                                                                        : 3;
        header |= levelFlags << 6;
        header += 31 - header % 31;
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(header >> 8),
                                       static_cast<std::uint8_t>(header)};
        m_sink(bytes, 2);
        m_headerWritten = true;
    }
    if (piece.outputSize)
        m_sink(piece.output.data(), piece.outputSize);
    if (m_firstIn == 0) {
        m_firstIn = piece.input.size() - piece.dictionary;
        m_firstOut = piece.outputSize;
    }
    m_adler =
        adler32_combine(m_adler, piece.adler, static_cast<z_off_t>(piece.input.size() - piece.dictionary));
    if (piece.endOfStream) {
        const std::uint8_t trailer[4] = {
            static_cast<std::uint8_t>(m_adler >> 24), static_cast<std::uint8_t>(m_adler >> 16),
            static_cast<std::uint8_t>(m_adler >> 8), static_cast<std::uint8_t>(m_adler)};
        m_sink(trailer, 4);
        m_headerWritten = false;
        m_adler = adler32(0, nullptr, 0);
    }
}

} // namespace tiff2pdf
