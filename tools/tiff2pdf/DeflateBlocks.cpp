// SPDX-License-Identifier: GPL-3.0-or-later
#include "DeflateBlocks.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tiff2pdf {

namespace {

/// Reads a raw deflate stream's bits, least significant first, as deflate packs them.
class BitReader
{
public:
    BitReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    /// The next `n` bits (at most 32) without taking them; zero bits past the end.
    std::uint32_t peek(unsigned n) const
    {
        const std::size_t byte = static_cast<std::size_t>(m_pos / 8);
        std::uint64_t word = 0;
        if (byte + 8 <= m_size)
            std::memcpy(&word, m_data + byte, 8);
        else
            for (std::size_t i = byte; i < m_size; ++i)
                word |= std::uint64_t(m_data[i]) << (8 * (i - byte));
        return static_cast<std::uint32_t>((word >> (m_pos % 8)) & ((std::uint64_t(1) << n) - 1));
    }
    void skip(unsigned n) { m_pos += n; }
    std::uint32_t take(unsigned n)
    {
        const std::uint32_t v = peek(n);
        m_pos += n;
        return v;
    }
    void align() { m_pos = (m_pos + 7) / 8 * 8; }
    std::uint64_t position() const { return m_pos; }
    bool overrun() const { return m_pos > std::uint64_t(m_size) * 8; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::uint64_t m_pos = 0;
};

/// A canonical Huffman code as deflate defines it, looked up by the next bits of the stream.
class HuffmanCode
{
public:
    /// False when the lengths over-subscribe the code. An incomplete code is allowed (deflate allows
    /// one for a single distance); its unused bit patterns decode as errors.
    bool build(const std::uint8_t* lengths, unsigned count)
    {
        unsigned perLength[16] = {};
        m_bits = 0;
        for (unsigned s = 0; s < count; ++s) {
            ++perLength[lengths[s]];
            m_bits = std::max<unsigned>(m_bits, lengths[s]);
        }
        perLength[0] = 0;
        int left = 1;
        for (unsigned l = 1; l <= 15; ++l) {
            left = left * 2 - int(perLength[l]);
            if (left < 0)
                return false;
        }
        m_table.assign(std::size_t(1) << m_bits, 0);
        unsigned next[16] = {};
        for (unsigned l = 1, code = 0; l <= 15; ++l) {
            code = (code + perLength[l - 1]) << 1;
            next[l] = code;
        }
        for (unsigned s = 0; s < count; ++s) {
            const unsigned l = lengths[s];
            if (l == 0)
                continue;
            unsigned reversed = 0;
            for (unsigned i = 0, c = next[l]++; i < l; ++i, c >>= 1)
                reversed = reversed << 1 | (c & 1);
            for (std::size_t i = reversed; i < m_table.size(); i += std::size_t(1) << l)
                m_table[i] = static_cast<std::uint16_t>(s << 4 | l);
        }
        return true;
    }
    /// The next symbol, taken from the stream; -1 for a bit pattern the code does not use.
    int decode(BitReader& in) const
    {
        const std::uint16_t entry = m_table[in.peek(m_bits)];
        if (entry == 0)
            return -1;
        in.skip(entry & 15);
        return entry >> 4;
    }

private:
    std::vector<std::uint16_t> m_table; ///< symbol << 4 | length, by the code's bits as they come
    unsigned m_bits = 0;
};

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint32_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                             33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                             1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

} // namespace

std::optional<std::pair<std::uint64_t, std::uint64_t>> lastBlock(const std::uint8_t* data, std::size_t size,
                                                                 std::uint64_t expectedSize)
{
    BitReader in(data, size);
    HuffmanCode literals, distances, lengthsCode;
    std::uint64_t produced = 0, header = 0;
    bool last = false;
    while (!last) {
        header = in.position();
        last = in.take(1);
        const unsigned type = in.take(2);
        if (type == 0) {
            in.align();
            const std::uint32_t length = in.take(16);
            if ((in.take(16) ^ 0xFFFF) != length)
                return std::nullopt;
            in.skip(length * 8);
            produced += length;
        } else if (type == 3) {
            return std::nullopt;
        } else {
            std::uint8_t lengths[288 + 32] = {};
            unsigned nLiterals = 288, nDistances = 32;
            if (type == 1) {
                std::fill(lengths, lengths + 144, 8);
                std::fill(lengths + 144, lengths + 256, 9);
                std::fill(lengths + 256, lengths + 280, 7);
                std::fill(lengths + 280, lengths + 288, 8);
                std::fill(lengths + 288, lengths + 320, 5);
            } else {
                nLiterals = in.take(5) + 257;
                nDistances = in.take(5) + 1;
                const unsigned nCodeLengths = in.take(4) + 4;
                constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                     11, 4,  12, 3, 13, 2, 14, 1, 15};
                std::uint8_t codeLengths[19] = {};
                for (unsigned i = 0; i < nCodeLengths; ++i)
                    codeLengths[kOrder[i]] = static_cast<std::uint8_t>(in.take(3));
                if (!lengthsCode.build(codeLengths, 19))
                    return std::nullopt;
                std::uint8_t previous = 0;
                for (unsigned i = 0; i < nLiterals + nDistances;) {
                    const int s = lengthsCode.decode(in);
                    if (s < 0)
                        return std::nullopt;
                    unsigned repeat = 1;
                    std::uint8_t value = static_cast<std::uint8_t>(s);
                    if (s == 16) {
                        if (i == 0)
                            return std::nullopt;
                        value = previous;
                        repeat = 3 + in.take(2);
                    } else if (s == 17) {
                        value = 0;
                        repeat = 3 + in.take(3);
                    } else if (s == 18) {
                        value = 0;
                        repeat = 11 + in.take(7);
                    }
                    if (i + repeat > nLiterals + nDistances)
                        return std::nullopt;
                    // Distances' lengths follow the literals' in the same run of lengths.
                    for (; repeat > 0; --repeat, ++i)
                        lengths[i < nLiterals ? i : 288 + i - nLiterals] = value;
                    previous = value;
                }
            }
            if (lengths[256] == 0 || !literals.build(lengths, nLiterals) ||
                !distances.build(lengths + 288, nDistances))
                return std::nullopt;
            for (;;) {
                const int s = literals.decode(in);
                if (s < 0 || s > 285 || in.overrun())
                    return std::nullopt;
                if (s < 256) {
                    ++produced;
                    continue;
                }
                if (s == 256)
                    break;
                const unsigned length = kLengthBase[s - 257] + in.take(kLengthExtra[s - 257]);
                const int d = distances.decode(in);
                if (d < 0 || d > 29)
                    return std::nullopt;
                const std::uint32_t distance = kDistanceBase[d] + in.take(kDistanceExtra[d]);
                if (distance > produced)
                    return std::nullopt;
                produced += length;
            }
        }
        if (in.overrun())
            return std::nullopt;
    }
    const std::uint64_t end = in.position();
    if (produced != expectedSize || (end + 7) / 8 != size)
        return std::nullopt;
    return std::make_pair(header, end);
}

} // namespace tiff2pdf
