// Producing the bytes of a page's image streams: raw strips passed through, or decoded pixels.
#pragma once

#include "PagePlan.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace tiff2pdf {

using ByteSink = std::function<void(const std::uint8_t* data, std::size_t size)>;

enum class ImagePart
{
    Colour,
    Alpha,
};

/// Writes the stream data of one image of the page (already encoded as its /Filter says) to `sink`.
/// The directory of the page must be current. Throws ConversionError.
///
/// With `plain` given, pixels that go with PNG row filters are also compressed without them, as a
/// plain zlib stream. When that comes out smaller, it is left in `plain` and true is returned: the
/// image is then to be written with it, without /DecodeParms, and what went to `sink` discarded.
bool writeImageData(TIFF* tif, const PagePlan& plan, ImagePart part, const ByteSink& sink, TiffMessages& messages,
                    std::vector<std::uint8_t>* plain = nullptr);

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

/// Compression level for the pixels that are compressed anew.
constexpr int kFlateLevel = 6;

/// Whether pixels compressed anew get PNG row filters (/Predictor 15). They pay off on continuous
/// tone samples of whole bytes; on palette indices and packed bits they only get in the way.
bool usesPngPredictor(const PagePlan& plan);

} // namespace tiff2pdf
