#include "FlateWriter.h"

#include "TiffSupport.h"

#include <algorithm>

namespace tiff2pdf {

FlateWriter::FlateWriter(const ByteSink& sink, int level, int strategy) : m_sink(sink)
{
    if (deflateInit2(&m_z, level, Z_DEFLATED, 15, 8, strategy) != Z_OK)
        throw ConversionError("cannot start zlib compression");
    m_level = level;
    m_strategy = strategy;
}

FlateWriter::~FlateWriter()
{
    deflateEnd(&m_z);
}

void FlateWriter::setLevel(int level, int strategy)
{
    if (level == m_level && strategy == m_strategy)
        return;
    m_level = level;
    m_strategy = strategy;
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

void FlateWriter::restart(const std::uint8_t* dictionary, std::size_t size)
{
    if (deflateReset(&m_z) != Z_OK ||
        (size && deflateSetDictionary(&m_z, dictionary, static_cast<uInt>(size)) != Z_OK))
        throw ConversionError("zlib compression failed");
}

void FlateWriter::pump(const std::uint8_t* data, std::size_t size, int flush)
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

} // namespace tiff2pdf
