// The page's samples compressed without row filters on a thread of its own.
#pragma once

#include "FlateWriter.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tiff2pdf {

/// The page's samples compressed plainly (no row filters, zlib's default level, as other converters
/// do), on a thread of its own beside the filtered stream, into memory. Rows are handed over in
/// batches; at most a few batches wait, so memory stays bounded when the thread falls behind.
class PlainCompressor
{
public:
    explicit PlainCompressor(std::vector<std::uint8_t>& out);
    ~PlainCompressor() { abandon(); }
    PlainCompressor(const PlainCompressor&) = delete;
    PlainCompressor& operator=(const PlainCompressor&) = delete;

    void write(const std::uint8_t* row, std::size_t size);
    /// Sample bytes compressed so far; the thread may be a few batches behind what was written.
    std::uint64_t consumed() const { return m_consumed.load(std::memory_order_relaxed); }
    /// Compressed bytes per sample byte so far (0 until a batch has been compressed).
    double rate() const;
    /// Ends the stream; its size, or nothing when it failed on the thread (out of memory).
    std::optional<std::uint64_t> finish();
    /// Stops the thread and frees what it holds; the stream is not wanted.
    void abandon();

private:
    static constexpr std::size_t kBatchBytes = 128 * 1024;
    static constexpr std::size_t kMaxWaiting = 4;

    void handOver(bool last);
    void run();

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

} // namespace tiff2pdf
