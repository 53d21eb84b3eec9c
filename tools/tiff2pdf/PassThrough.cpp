// SPDX-License-Identifier: GPL-3.0-or-later
#include "PassThrough.h"

#include <zlib.h>

#include <algorithm>

namespace tiff2pdf {

namespace {

std::uint16_t be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

} // namespace

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
    merged.insert(merged.end(), strip.begin(), strip.begin() + 2); // SOI
    merged.insert(merged.end(), tables + 2, tables + count - 2);   // DQT/DHT...
    merged.insert(merged.end(), strip.begin() + 2, strip.end());   // frame and scans
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
                if (std::find(frameIds, frameIds + components, id) == frameIds + components || td > 3 ||
                    ta > 3)
                    return false;
                if ((needDc && !dc[td]) || (needAc && !ac[ta]))
                    return false;
            }
            pos += len;
            while (pos + 1 < n) {
                if (jpeg[pos] == 0xFF && jpeg[pos + 1] != 0x00 &&
                    !(jpeg[pos + 1] >= 0xD0 && jpeg[pos + 1] <= 0xD7) && jpeg[pos + 1] != 0xFF)
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
            break;            // APPn, COM, DRI, DAC...: carried along
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

} // namespace tiff2pdf
