// SPDX-License-Identifier: GPL-3.0-or-later
// The names and the marker the station and its converter (tools/tiff2pdf) both read and write. Plain
// C++, so that both include it. Stations of other versions meet the same files on disk: what is made
// here stays byte for byte as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ConverterFiles {

/// The comment the converter puts among the PDF's first lines, naming the TIFF it was made of (device,
/// inode, size, modification time in nanoseconds): a station stopped between putting the PDF in
/// place and deleting the TIFF knows, at its next start, that this PDF is that TIFF's.
inline std::string sourceLine(std::uint64_t device, std::uint64_t inode, std::int64_t size,
                              std::int64_t mtimeNs)
{
    return "%QuillfeedSource " + std::to_string(device) + ' ' + std::to_string(inode) + ' ' +
           std::to_string(size) + ' ' + std::to_string(mtimeNs) + '\n';
}

/// What mkstemps fills in, and what stays after it, in the temporary name.
constexpr std::string_view kTemporaryRandom = "XXXXXX";
constexpr std::string_view kTemporarySuffix = ".part";
constexpr std::string_view kPdfExtension = ".pdf";

/// The hidden name a file is written under beside NAME until it is whole (the scanner's page in
/// progress): ".NAME.part".
inline std::string temporaryName(std::string_view name)
{
    std::string hidden(".");
    hidden.append(name).append(kTemporarySuffix);
    return hidden;
}

/// Whether `name` is hidden and ends as a temporary does: one of the station's own unfinished files
/// (a page in progress, or the converter's PDF where the file system cannot hold a file without a
/// name), which is neither listed nor sent.
inline bool isTemporary(std::string_view name)
{
    return name.size() > 1 + kTemporarySuffix.size() && name.front() == '.' &&
           name.substr(name.size() - kTemporarySuffix.size()) == kTemporarySuffix;
}
/// The temporary's own name is cut to this much of OUTPUT's, so that the added parts never push it
/// past the file system's limit.
constexpr std::size_t kTemporaryBaseChars = 200;

/// The hidden name a PDF is written under beside OUTPUT, for mkstemps: ".OUTPUT.XXXXXX.part".
inline std::string temporaryTemplate(std::string_view outputName)
{
    std::string name(".");
    name.append(outputName.substr(0, kTemporaryBaseChars)).append(".");
    name.append(kTemporaryRandom).append(kTemporarySuffix);
    return name;
}

/// Whether `name` is a temporary the converter made for a PDF: ".<something>.pdf.XXXXXX.part", the
/// six filled in with letters and digits, the something on one line.
inline bool isPdfTemporary(std::string_view name)
{
    const std::size_t fixed = kPdfExtension.size() + 1 + kTemporaryRandom.size() + kTemporarySuffix.size();
    if (name.size() < 2 + fixed || !isTemporary(name))
        return false;
    const std::string_view random =
        name.substr(name.size() - kTemporarySuffix.size() - kTemporaryRandom.size(), kTemporaryRandom.size());
    for (char c : random)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    const std::string_view middle = name.substr(1, name.size() - 1 - fixed);
    return name.substr(1 + middle.size(), kPdfExtension.size()) == kPdfExtension &&
           name[1 + middle.size() + kPdfExtension.size()] == '.' &&
           middle.find('\n') == std::string_view::npos;
}

/// The n-th name a TIFF's PDF may take: "base.pdf", then "base-2.pdf", "base-3.pdf" and on.
inline std::string pdfName(std::string_view base, int n)
{
    std::string name(base);
    if (n > 1)
        name += '-' + std::to_string(n);
    name.append(kPdfExtension);
    return name;
}

/// BASE for a PDF's name "BASE.pdf" (BASE not empty); none for a name that does not end so.
inline std::optional<std::string_view> pdfBase(std::string_view name)
{
    if (name.size() <= kPdfExtension.size() ||
        name.substr(name.size() - kPdfExtension.size()) != kPdfExtension)
        return std::nullopt;
    return name.substr(0, name.size() - kPdfExtension.size());
}

/// The bases a PDF's name (without ".pdf") may have come from by pdfName: the name itself and, where
/// it ends in a dash and digits, whatever is before them; any number, not only those tried so far.
inline std::vector<std::string> basesOf(std::string_view name)
{
    std::vector<std::string> bases{std::string(name)};
    const std::size_t dash = name.rfind('-');
    if (dash == std::string_view::npos || dash == 0 || dash + 1 == name.size())
        return bases;
    for (char c : name.substr(dash + 1))
        if (c < '0' || c > '9')
            return bases;
    bases.emplace_back(name.substr(0, dash));
    return bases;
}

} // namespace ConverterFiles
