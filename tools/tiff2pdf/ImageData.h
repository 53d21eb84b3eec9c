// SPDX-License-Identifier: GPL-3.0-or-later
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

/// How the stream that writeImageData made is to be described.
enum class Stream {
    AsPlanned, ///< what went to the sink, as the plan says
    Plain,     ///< what went to `OtherForms::plain`: the samples without row filters, no /DecodeParms
    TwoLevel,  ///< left in `OtherForms::twoLevel`: as Plain, one bit per sample (all were 0 or 255)
};

/// Where a page's pixels go when they turn out better off in another form than the planned one.
struct OtherForms
{
    ByteSink plain;                      ///< the samples as they are, as they are compressed
    std::vector<std::uint8_t>* twoLevel; ///< a bit per sample, held: a sample of another value may
                                         ///< still be met, and the page then goes as planned
};

/// Writes the stream data of one image of the page (already encoded as its /Filter says) to `sink`.
/// The directory of the page must be current. Throws ConversionError.
///
/// With `others` given, pixels that go with PNG row filters may instead be compressed without them,
/// when a sample of the page shows that stream smaller, or packed a bit per sample when they are
/// all 0 or 255. Nothing then goes to `sink`, and the return says which form the image took. The
/// form is decided before any of its bytes are made.
Stream writeImageData(TIFF* tif, const PagePlan& plan, ImagePart part, const ByteSink& sink,
                      TiffMessages& messages, const OtherForms* others = nullptr);

/// Whether pixels compressed anew get PNG row filters (/Predictor 15). They pay off on continuous
/// tone samples of whole bytes; on palette indices and packed bits they only get in the way.
bool usesPngPredictor(const PagePlan& plan);

} // namespace tiff2pdf
