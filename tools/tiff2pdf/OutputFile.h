// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Converter.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace tiff2pdf {

/// The PDF under construction is a file without a name in OUTPUT's folder (O_TMPFILE) that gets
/// OUTPUT as its first name only when it is complete, so that a conversion killed at any moment
/// leaves nothing behind. Where the file system cannot make such a file, and for -f, it lives
/// under a hidden name beside OUTPUT ending in ".part", which the station neither lists nor sends,
/// and renamed when complete.
class TemporaryOutput
{
public:
    TemporaryOutput(const std::string& outputPath, bool overwrite);
    ~TemporaryOutput();

    TemporaryOutput(const TemporaryOutput&) = delete;
    TemporaryOutput& operator=(const TemporaryOutput&) = delete;

    FILE* file() const { return m_file; }
    /// The name messages give the file being written.
    const std::string& path() const { return m_path.empty() ? m_output : m_path; }

    /// Makes the finished file OUTPUT. Without `overwrite` an OUTPUT that exists by now is kept.
    void commit(bool overwrite);

private:
    int createNamed(const std::string& outputPath);
    void linkInPlace();
    void renameInPlace(bool overwrite);
    void discard();

    std::string m_output;
    std::string m_path; ///< the named temporary; empty for a file without a name
    FILE* m_file = nullptr;
    bool m_committed = false;
};

/// Refuses outputs that must not be written; returns normally when OUTPUT may be created.
void checkOutput(const std::string& outputPath, const struct stat* input, const Options& options);

} // namespace tiff2pdf
