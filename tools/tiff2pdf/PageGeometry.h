// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "PagePlan.h"

#include <string>

namespace tiff2pdf {

/// A length in points as the PDF writes it: four decimals at most, no trailing zeros.
std::string number(double v);

/// Places the image's unit square on the page so that the Orientation tag's row 0 and column 0 end up
/// where the tag says, filling the page.
std::string placement(const PagePlan& p);

} // namespace tiff2pdf
