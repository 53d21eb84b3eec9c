// SPDX-License-Identifier: GPL-3.0-or-later
// tiff2pdf: converts a TIFF file, every page of it, into one PDF file without losing a pixel.
#include "Converter.h"

#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <unistd.h>

namespace {

/// Beside EXIT_SUCCESS and EXIT_FAILURE (the conversion failed): the command line was wrong. The
/// usage text promises these three.
constexpr int EXIT_USAGE = 2;

const char kUsage[] =
    "Usage: tiff2pdf [-f] INPUT OUTPUT\n"
    "       tiff2pdf -h\n"
    "\n"
    "Converts every page of the TIFF file INPUT into the PDF file OUTPUT, losslessly: each page's\n"
    "image in the PDF decodes to exactly the pixels of the TIFF. CCITT G4 (and plain G3), JPEG and\n"
    "Deflate data held in one strip are carried over untouched; everything else is decoded and\n"
    "compressed again without loss (bilevel pages as CCITT G4, the rest with Flate). Bilevel, gray\n"
    "(1 to 16 bit), RGB, palette and CMYK images, in strips or tiles, are supported; an alpha\n"
    "channel becomes the image's soft mask.\n"
    "\n"
    "The page size follows the resolution tags; a page without them is taken as 300 dpi.\n"
    "The Orientation tag is honoured.\n"
    "\n"
    "Limits: at most 50000 pages, each at most 2^32 pixels and 2^20 pixels a side, and no single buffer\n"
    "above 512 MiB; a file past them is refused, with the reason, before anything is written.\n"
    "\n"
    "OUTPUT gets its name only when it is complete: it is written as a file without a name in its\n"
    "folder, or, where the file system cannot make one (and with -f), under the hidden temporary\n"
    "name .OUTPUT.XXXXXX.part, which is renamed.\n"
    "An existing OUTPUT is never replaced unless -f is given.\n"
    "\n"
    "Options:\n"
    "  -f   replace OUTPUT if it exists\n"
    "  -h   show this help and exit\n"
    "\n"
    "Exit status: 0 when OUTPUT holds a complete PDF of every page; 1 when the conversion failed\n"
    "(the cause is printed on stderr and no OUTPUT is left behind); 2 on wrong usage.\n";

} // namespace

int main(int argc, char** argv)
{
    tiff2pdf::Options options;
    int opt;
    // "+": options only before the file names, so a name that starts with '-' after INPUT stays a name.
    while ((opt = getopt(argc, argv, "+fh")) != -1) {
        switch (opt) {
        case 'f':
            options.overwrite = true;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return EXIT_SUCCESS;
        default:
            std::fputs(kUsage, stderr);
            return EXIT_USAGE;
        }
    }
    if (argc - optind != 2) {
        std::fprintf(stderr, "tiff2pdf: %s\n",
                     argc - optind < 2 ? "INPUT and OUTPUT are needed" : "too many arguments");
        std::fputs(kUsage, stderr);
        return EXIT_USAGE;
    }
    tiff2pdf::removeTemporaryOnSignal();
    // A page's buffers (a strip, a band of rows) are freed and allocated again as the pages are
    // planned and written. Kept by malloc instead of returned to the system, they are not faulted
    // in afresh each time, which costs more than the conversion of a passed-through page.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
    const auto result = tiff2pdf::convertFile(argv[optind], argv[optind + 1], options);
    if (!result.ok) {
        std::fprintf(stderr, "tiff2pdf: %s\n", result.message.c_str());
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
