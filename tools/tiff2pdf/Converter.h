// SPDX-License-Identifier: GPL-3.0-or-later
// The TIFF-to-PDF conversion, shared by the tiff2pdf program and its fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tiff2pdf {

struct Options
{
    /// Replace an OUTPUT that already exists. Without it an existing file is never touched.
    bool overwrite = false;
};

/// What a conversion came to. On failure `message` names the file and the cause, and no output exists.
struct ConversionResult
{
    bool ok = false;
    int pages = 0;
    std::string message;
};

/// Converts the TIFF file at inputPath into a PDF at outputPath. The PDF is written as a file without
/// a name (or under a hidden temporary name) in the output's folder and gets its name only when it
/// is complete.
ConversionResult convertFile(const std::string& inputPath, const std::string& outputPath,
                             const Options& options);

/// Same, from TIFF bytes held in memory; `inputName` is only used in messages.
ConversionResult convertBytes(const std::uint8_t* data, std::size_t size, const std::string& inputName,
                              const std::string& outputPath, const Options& options);

/// Makes SIGINT, SIGTERM and SIGHUP remove a half-written temporary file before the program dies.
void removeTemporaryOnSignal();

} // namespace tiff2pdf
