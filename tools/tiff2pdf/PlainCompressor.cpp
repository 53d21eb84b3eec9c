#include "PlainCompressor.h"

namespace tiff2pdf {

PlainCompressor::PlainCompressor(std::vector<std::uint8_t>& out)
    : m_out(out), m_sink([this](const std::uint8_t* data, std::size_t size) {
          m_out.insert(m_out.end(), data, data + size);
      })
{
    m_out.clear();
    m_thread = std::thread([this] { run(); });
}

void PlainCompressor::write(const std::uint8_t* row, std::size_t size)
{
    m_batch.insert(m_batch.end(), row, row + size);
    if (m_batch.size() >= kBatchBytes)
        handOver(false);
}

double PlainCompressor::rate() const
{
    const std::uint64_t in = consumed();
    return in ? double(m_produced.load(std::memory_order_relaxed)) / double(in) : 0;
}

std::optional<std::uint64_t> PlainCompressor::finish()
{
    handOver(true);
    m_thread.join();
    if (m_error)
        return std::nullopt;
    return m_out.size();
}

void PlainCompressor::abandon()
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

void PlainCompressor::handOver(bool last)
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

void PlainCompressor::run()
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

} // namespace tiff2pdf
