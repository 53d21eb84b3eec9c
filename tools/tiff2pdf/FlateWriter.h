// SPDX-License-Identifier: GPL-3.0-or-later
// Where compressed pixels go, their effort changeable between rows.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tiff2pdf {

using ByteSink = std::function<void(const std::uint8_t* data, std::size_t size)>;

/// Compression level for the pixels that are compressed anew.
constexpr int kFlateLevel = 6;
/// For bands whose matches are short and few (scanner noise): as small as a full search, several
/// times faster.
constexpr int kBusyLevel = 3;
/// For pixels compressed without row filters, as img2pdf compresses them at zlib's default level:
/// with no filter's gain to spare, a level tighter than libdeflate's 6 keeps the stream the smaller.
constexpr int kPlainLevel = kFlateLevel + 1;

/// Where compressed pixels go: bytes in, their effort changeable between writes.
class FlateTarget
{
public:
    virtual ~FlateTarget() = default;
    virtual void write(const std::uint8_t* data, std::size_t size) = 0;
    virtual void setLevel(int level, int strategy = Z_DEFAULT_STRATEGY) = 0;
};

} // namespace tiff2pdf
