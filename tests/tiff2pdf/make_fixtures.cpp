// SPDX-License-Identifier: GPL-3.0-or-later
// Writes every fixture kind into a folder: the seed corpus of the fuzz target.
#include "TiffFixtures.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: tiff2pdf_make_fixtures FOLDER\n");
        return 2;
    }
    for (const auto& kind : fixtures::allKinds()) {
        const std::string path = std::string(argv[1]) + "/" + kind.name + ".tif";
        const std::string error = fixtures::writeTiff(path, kind.pages);
        if (!error.empty()) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
    }
    return 0;
}
