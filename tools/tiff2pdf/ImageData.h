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

/// How the stream left in `plain` by writeImageData is to be described.
enum class Stream {
    AsPlanned, ///< what went to the sink, as the plan says
    Plain,     ///< in `plain`: the samples without row filters, Flate, no /DecodeParms
    TwoLevel,  ///< in `plain`: as Plain, one bit per sample (every sample was 0 or 255)
};

/// Writes the stream data of one image of the page (already encoded as its /Filter says) to `sink`.
/// The directory of the page must be current. Throws ConversionError.
///
/// With `plain` given, pixels that go with PNG row filters may instead be compressed without them,
/// when a sample of the page shows that stream smaller, or packed a bit per sample when they are
/// all 0 or 255. That stream is then left in `plain`, nothing goes to `sink`, and the return says
/// how the image is to be written with it.
Stream writeImageData(TIFF* tif, const PagePlan& plan, ImagePart part, const ByteSink& sink,
                      TiffMessages& messages, std::vector<std::uint8_t>* plain = nullptr);

/// Whether pixels compressed anew get PNG row filters (/Predictor 15). They pay off on continuous
/// tone samples of whole bytes; on palette indices and packed bits they only get in the way.
bool usesPngPredictor(const PagePlan& plan);

} // namespace tiff2pdf
