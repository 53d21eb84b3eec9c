// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes to the converter as a TIFF file. Besides crashes, hangs and sanitizer
// findings it stops on broken promises: a failure that leaves output behind or says nothing, a
// success whose PDF does not read back with the pages it claims.
#include "Converter.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string workFolder()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_tiff2pdf.XXXXXX";
    if (!mkdtemp(pattern.data()))
        std::abort();
    return pattern;
}

int entries(const std::string& folder)
{
    int n = 0;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                ++n;
        closedir(d);
    }
    return n;
}

void fail(const char* why, const std::string& detail)
{
    std::fprintf(stderr, "fuzz_tiff2pdf: %s: %s\n", why, detail.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string folder = workFolder();
    const std::string out = folder + "/out.pdf";
    tiff2pdf::Options options;
    options.overwrite = true;
    const auto result = tiff2pdf::convertBytes(data, size, "input", out, options);
    struct stat st
    {
    };
    const bool exists = ::stat(out.c_str(), &st) == 0;
    if (!result.ok) {
        if (exists)
            fail("failed conversion left its output", result.message);
        if (result.message.empty())
            fail("failed conversion without a message", "");
    } else {
        if (!exists || st.st_size == 0)
            fail("successful conversion without output", "");
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        try {
            pdf.processFile(out.c_str());
            const auto pages = QPDFPageDocumentHelper(pdf).getAllPages().size();
            if (static_cast<int>(pages) != result.pages || pages == 0)
                fail("page count differs", std::to_string(pages) + " vs " + std::to_string(result.pages));
        } catch (const std::exception& e) {
            fail("output does not read back", e.what());
        }
        if (pdf.anyWarnings())
            fail("output reads back with warnings", "");
        ::unlink(out.c_str());
    }
    if (entries(folder) != 0)
        fail("files left in the output folder", "");
    return 0;
}
