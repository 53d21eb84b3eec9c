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

/// Uncompressed bytes per piece. Each piece costs its stream a few bytes (a flush marker and a new
/// block); a piece in flight holds this much input and at most about as much output.
constexpr std::size_t kPieceBytes = 512 * 1024;

/// A zlib stream (header, deflate data, Adler-32) made of pieces compressed apart, each after the
/// 32 KB before it as its dictionary, so that its matches reach back as far as one stream's would.
/// Every piece but the last ends byte-aligned on an empty stored block, and the pieces are joined
/// in order: one stream that any inflater reads. The bytes made do not depend on the number of
/// threads, so a machine without a thread to spare makes the same stream on its own thread.
class ParallelFlate final : public FlateTarget
{
public:
    /// `threads`: the most threads compressing at once, the calling one included.
    ParallelFlate(const ByteSink& sink, int level, int strategy = Z_DEFAULT_STRATEGY,
                  unsigned threads = defaultThreads());
    /// Stops and joins the helper threads, whatever state the stream is in.
    ~ParallelFlate() override;
    ParallelFlate(const ParallelFlate&) = delete;
    ParallelFlate& operator=(const ParallelFlate&) = delete;

    void write(const std::uint8_t* data, std::size_t size) override;
    void setLevel(int level, int strategy = Z_DEFAULT_STRATEGY) override;
    /// Compresses what is left, hands every piece to the sink and ends the stream.
    void finish();

    /// The machine's cores, at most 8.
    static unsigned defaultThreads();

    /// Level and strategy from `offset` of a piece's input on.
    struct Setting
    {
        std::size_t offset = 0;
        int level = 0;
        int strategy = 0;
    };

    struct Piece
    {
        enum class State
        {
            Waiting,
            Taken,
            Done,
        };
        std::vector<std::uint8_t> input; ///< the dictionary, then the piece's own bytes
        std::size_t dictionary = 0;
        std::vector<Setting> settings; ///< offsets counted from the end of the dictionary
        bool last = false;
        std::vector<std::uint8_t> output;
        std::size_t outputSize = 0;
        unsigned long adler = 0;
        std::exception_ptr error;
        State state = State::Waiting;
    };

private:
    void startPiece();
    void submit(bool last);
    /// Writes out the pieces done at the front; with `block`, also makes progress: compresses a
    /// waiting piece here or waits for the front one.
    void drain(bool block);
    void writeOut(Piece& piece);
    void work();
    Piece* waitingPiece();

    const ByteSink& m_sink;
    unsigned m_helpers;
    int m_firstLevel;
    int m_firstStrategy;
    int m_level;
    int m_strategy;
    bool m_headerWritten = false;
    unsigned long m_adler;
    std::unique_ptr<Piece> m_current;

    std::mutex m_mutex;
    std::condition_variable m_work; ///< a piece waits, or the helpers are to stop
    std::condition_variable m_done; ///< a piece is done
    std::deque<std::unique_ptr<Piece>> m_pieces; ///< handed over, in stream order, not written out
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};

} // namespace tiff2pdf
