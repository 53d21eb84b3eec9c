// SPDX-License-Identifier: GPL-3.0-or-later
// One zlib stream compressed in pieces on the machine's cores.
#pragma once

#include "FlateWriter.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tiff2pdf {

/// Uncompressed bytes of the first pieces of a stream. Each piece costs the stream 10 to 30 bytes
/// (a flush marker and a block of its own, with its code tables); a piece in flight holds its input
/// and at most about as much output.
constexpr std::size_t kPieceBytes = 512 * 1024;

struct FlatePiece;

/// Threads that compress pieces of zlib streams, shared by the streams made at the same time.
class FlatePool
{
public:
    /// `threads`: the most threads compressing at once, the calling one included. They start with
    /// the first stream that needs more than one piece.
    explicit FlatePool(unsigned threads = defaultThreads());
    /// Stops and joins the helper threads. Streams using the pool must be gone first.
    ~FlatePool();
    FlatePool(const FlatePool&) = delete;
    FlatePool& operator=(const FlatePool&) = delete;

    /// The machine's cores, at most 8.
    static unsigned defaultThreads();

private:
    friend class ParallelFlate;
    void start();
    void work();
    /// The oldest piece no thread has taken, marked taken; null when there is none.
    FlatePiece* take();

    unsigned m_helpers;
    bool m_started = false;
    std::mutex m_mutex;
    std::condition_variable m_work; ///< a piece waits, or the helpers are to stop
    std::condition_variable m_done; ///< a piece is done
    std::deque<FlatePiece*> m_waiting;
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};

/// A zlib stream (header, deflate data, Adler-32) made of pieces compressed apart, each after the
/// 32 KB before it as its dictionary, so that its matches reach back as far as one stream's would.
/// Every piece but the last ends byte-aligned on an empty stored block, and the pieces are joined
/// in order: one stream that any inflater reads. The bytes made do not depend on the number of
/// threads, so a machine without a thread to spare makes the same stream on its own thread.
///
/// Whatever the page holds, an inflater decodes the same bytes: a piece's matches reach only into
/// its own bytes and the 32 KB before it, which the inflater has just produced, and the Adler-32 is
/// that of all the bytes. What content changes is the cost: 10 to 30 bytes per piece (an empty
/// stored block and code tables sent again), a thousandth of a piece that packs 1:16. Pages that
/// pack far better (blank, flat tints) get larger pieces from their first one. A page blank below a
/// busy first piece keeps 512 KB pieces and pays those bytes on each of them: on an A4 CMYK page
/// 68 pieces, about 1.2 KB beside what its busy top alone comes to.
class ParallelFlate final : public FlateTarget
{
public:
    /// `largestPiece`: how large pieces may grow where the first one compressed well.
    ParallelFlate(const ByteSink& sink, int level, int strategy, FlatePool& pool,
                  std::size_t largestPiece = kPieceBytes);
    /// Waits for the pool's threads to let go of this stream's pieces.
    ~ParallelFlate() override;
    ParallelFlate(const ParallelFlate&) = delete;
    ParallelFlate& operator=(const ParallelFlate&) = delete;

    void write(const std::uint8_t* data, std::size_t size) override;
    void setLevel(int level, int strategy = Z_DEFAULT_STRATEGY) override;
    /// Ends the zlib stream; what is written next starts another one, behind the same sink.
    void endStream();
    /// Before anything is written to a stream: matches may reach back into `dictionary` (at most
    /// 32 KB) as if it had just been compressed.
    void presetDictionary(const std::uint8_t* dictionary, std::size_t size);
    /// Compresses what is left, hands every piece to the sink and ends the stream.
    void finish();
    /// Before anything is written: a sample spread over the page packed `in` bytes into `out`.
    /// The stream then packs tightly only where the sample agrees with its first piece, which may
    /// be the paper's blank margin above a scan.
    void expectPacking(std::uint64_t in, std::uint64_t out);

private:
    void submit(bool endOfStream, bool closing);
    /// Writes out the pieces done at the front; with `block`, also makes progress: compresses a
    /// waiting piece here or waits for the front one.
    void drain(bool block);
    void writeOut(FlatePiece& piece);
    std::size_t handedOver();
    void sizePieces();

    const ByteSink& m_sink;
    FlatePool& m_pool;
    int m_level;
    int m_strategy;
    bool m_headerWritten = false;
    unsigned long m_adler;
    std::size_t m_largestPiece;
    std::size_t m_pieceBytes = kPieceBytes;
    unsigned m_piecesCut = 0;
    std::size_t m_pieceIndex = 0; ///< of the piece being filled, in its stream
    std::size_t m_firstIn = 0;    ///< input of the stream's first piece, once written out
    std::size_t m_firstOut = 0;   ///< and its output
    bool m_packsTightly = false;  ///< pieces from the third on search deeper (fastLevel)
    bool m_sampleLoose = false;   ///< the page's sample packed looser than kTightPacking
    std::unique_ptr<FlatePiece> m_current;
    std::deque<std::unique_ptr<FlatePiece>> m_pieces; ///< handed over, in stream order, not written out
};

} // namespace tiff2pdf
