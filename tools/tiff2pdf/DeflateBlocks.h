// SPDX-License-Identifier: GPL-3.0-or-later
// Finding the blocks of a raw deflate stream without inflating it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

namespace tiff2pdf {

/// Where the last block of a raw deflate stream begins and where the stream ends, in bits. The
/// stream's codes are read, not its bytes made: it is a fraction of inflating it. Empty when the
/// stream is not well formed, reaches back before its start, or does not come to `expectedSize`
/// bytes ending exactly in its last byte.
std::optional<std::pair<std::uint64_t, std::uint64_t>> lastBlock(const std::uint8_t* data, std::size_t size,
                                                                 std::uint64_t expectedSize);

} // namespace tiff2pdf
