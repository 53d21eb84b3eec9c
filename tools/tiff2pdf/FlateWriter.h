// zlib compression into a sink, its effort changeable between rows.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tiff2pdf {

using ByteSink = std::function<void(const std::uint8_t* data, std::size_t size)>;

/// Compression level for the pixels that are compressed anew.
constexpr int kFlateLevel = 6;

/// Where compressed pixels go: bytes in, their effort changeable between writes.
class FlateTarget
{
public:
    virtual ~FlateTarget() = default;
    virtual void write(const std::uint8_t* data, std::size_t size) = 0;
    virtual void setLevel(int level, int strategy = Z_DEFAULT_STRATEGY) = 0;
};

/// zlib compression into a sink.
class FlateWriter final : public FlateTarget
{
public:
    FlateWriter(const ByteSink& sink, int level, int strategy = Z_DEFAULT_STRATEGY);
    ~FlateWriter();
    FlateWriter(const FlateWriter&) = delete;
    FlateWriter& operator=(const FlateWriter&) = delete;

    void write(const std::uint8_t* data, std::size_t size) override { pump(data, size, Z_NO_FLUSH); }
    void setLevel(int level, int strategy = Z_DEFAULT_STRATEGY) override;
    void finish() { pump(nullptr, 0, Z_FINISH); }
    /// After finish: a new stream at the same level and strategy, whose matches may reach back
    /// into `dictionary` as if it had just been compressed.
    void restart(const std::uint8_t* dictionary, std::size_t size);
    /// Compressed bytes handed to the sink so far.
    std::uint64_t produced() const { return m_z.total_out; }

private:
    void pump(const std::uint8_t* data, std::size_t size, int flush);

    const ByteSink& m_sink;
    z_stream m_z{};
    int m_level = 0;
    int m_strategy = Z_DEFAULT_STRATEGY;
    std::uint8_t m_out[64 * 1024];
};

} // namespace tiff2pdf
