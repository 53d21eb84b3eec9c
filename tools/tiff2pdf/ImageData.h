// Producing the bytes of a page's image streams: raw strips passed through, or decoded pixels.
#pragma once

#include "FlateWriter.h"
#include "PagePlan.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tiff2pdf {

enum class ImagePart {
    Colour,
    Alpha,
};

/// Writes the stream data of one image of the page (already encoded as its /Filter says) to `sink`.
/// The directory of the page must be current. Throws ConversionError.
///
/// With `plain` given, pixels that go with PNG row filters may instead be compressed without them,
/// when a sample of the page shows that stream smaller. It is then left in `plain`, nothing goes to
/// `sink`, and true is returned: the image is to be written with it, without /DecodeParms.
bool writeImageData(TIFF* tif, const PagePlan& plan, ImagePart part, const ByteSink& sink,
                    TiffMessages& messages, std::vector<std::uint8_t>* plain = nullptr);

/// Whether pixels compressed anew get PNG row filters (/Predictor 15). They pay off on continuous
/// tone samples of whole bytes; on palette indices and packed bits they only get in the way.
bool usesPngPredictor(const PagePlan& plan);

} // namespace tiff2pdf
