// SPDX-License-Identifier: GPL-3.0-or-later
// Stored image data that may reach the PDF as it is: reading it whole, and proving it sound first.
#pragma once

#include "PagePlan.h"

#include <cstdint>
#include <vector>

namespace tiff2pdf {

/// The stored bytes of the page's only strip or tile.
std::vector<std::uint8_t> readSingleChunk(TIFF* tif, const PagePlan& plan, TiffMessages& messages);

/// A complete JPEG stream for the strip: the shared JPEGTables, if any, merged in after the SOI.
std::vector<std::uint8_t> completeJpeg(TIFF* tif, std::vector<std::uint8_t> strip);

/// True when `jpeg` is a whole, structurally sound baseline or progressive JPEG of the given size and
/// component count, every table it uses defined: safe to hand to a PDF reader as it is.
bool jpegIsPassable(const std::vector<std::uint8_t>& jpeg, std::uint32_t width, std::uint32_t height,
                    unsigned components);

/// True when `data` is one complete zlib stream that inflates to at least `expected` bytes.
bool deflateIsPassable(const std::vector<std::uint8_t>& data, std::uint64_t expected);

} // namespace tiff2pdf
