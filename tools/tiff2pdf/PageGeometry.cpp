// SPDX-License-Identifier: GPL-3.0-or-later
#include "PageGeometry.h"

#include <cstdio>

namespace tiff2pdf {

std::string number(double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", v);
    std::string s(text);
    while (!s.empty() && s.back() == '0')
        s.pop_back();
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    if (s == "-0")
        s = "0";
    return s;
}

/// Places the image's unit square on the page so that the Orientation tag's row 0 and column 0 end up
/// where the tag says, filling the page.
std::string placement(const PagePlan& p)
{
    const double w = p.pageWidthPt, h = p.pageHeightPt;
    double m[6];
    switch (p.orientation) {
    case ORIENTATION_TOPRIGHT:
        m[0] = -w, m[1] = 0, m[2] = 0, m[3] = h, m[4] = w, m[5] = 0;
        break;
    case ORIENTATION_BOTRIGHT:
        m[0] = -w, m[1] = 0, m[2] = 0, m[3] = -h, m[4] = w, m[5] = h;
        break;
    case ORIENTATION_BOTLEFT:
        m[0] = w, m[1] = 0, m[2] = 0, m[3] = -h, m[4] = 0, m[5] = h;
        break;
    case ORIENTATION_LEFTTOP:
        m[0] = 0, m[1] = -h, m[2] = -w, m[3] = 0, m[4] = w, m[5] = h;
        break;
    case ORIENTATION_RIGHTTOP:
        m[0] = 0, m[1] = -h, m[2] = w, m[3] = 0, m[4] = 0, m[5] = h;
        break;
    case ORIENTATION_RIGHTBOT:
        m[0] = 0, m[1] = h, m[2] = w, m[3] = 0, m[4] = 0, m[5] = 0;
        break;
    case ORIENTATION_LEFTBOT:
        m[0] = 0, m[1] = h, m[2] = -w, m[3] = 0, m[4] = w, m[5] = 0;
        break;
    default:
        m[0] = w, m[1] = 0, m[2] = 0, m[3] = h, m[4] = 0, m[5] = 0;
        break;
    }
    std::string s = "q";
    for (double v : m) {
        s += ' ';
        s += number(v);
    }
    s += " cm /Im0 Do Q\n";
    return s;
}

} // namespace tiff2pdf
