// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "FlateWriter.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace tiff2pdf {

/// Writes a PDF file object by object, recording where each begins for the cross-reference table.
/// An image's data goes straight from the TIFF to the file; its length, known only afterwards, is
/// an object of its own.
class PdfOut
{
public:
    PdfOut(FILE* out, const std::string& name) : m_out(out), m_name(name) {}

    int reserve()
    {
        m_offsets.push_back(0);
        return static_cast<int>(m_offsets.size());
    }

    void put(const void* data, std::size_t size);
    void put(const std::string& text) { put(text.data(), text.size()); }

    void object(int number, const std::string& body);

    /// Called by a stream's producer once, before the first byte of its data, with the stream's
    /// dictionary; it returns the sink the data goes through.
    using Start = std::function<ByteSink(const std::string& dict)>;
    using Producer = std::function<void(const Start&)>;

    /// A stream whose producer chooses its form, and so its dictionary, before it writes any of
    /// its data, which goes straight to the file.
    void stream(int number, const Producer& produce);

    void finish(int root);

    static std::string ref(int number) { return std::to_string(number) + " 0 R"; }

private:
    void begin(int number);

    FILE* m_out;
    std::string m_name;
    std::uint64_t m_position = 0;
    std::vector<std::uint64_t> m_offsets; // of objects 1, 2, ...
};

} // namespace tiff2pdf
