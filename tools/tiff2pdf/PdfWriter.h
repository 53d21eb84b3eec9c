#pragma once

#include "FlateWriter.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
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

    /// Another dictionary and data for a stream, in place of what its producer wrote.
    struct Replacement
    {
        std::string dict;
        std::vector<std::uint8_t> data;
    };
    using Producer = std::function<std::optional<Replacement>(const ByteSink&)>;

    /// A stream whose data `produce` writes through the sink it is given. When `produce` returns a
    /// replacement, what it wrote is taken back and the object written anew with it.
    void stream(int number, const std::string& dict, const Producer& produce);

    void finish(int root);

    static std::string ref(int number) { return std::to_string(number) + " 0 R"; }

private:
    void truncateTo(std::uint64_t position);
    void begin(int number);

    FILE* m_out;
    std::string m_name;
    std::uint64_t m_position = 0;
    std::vector<std::uint64_t> m_offsets; // of objects 1, 2, ...
};

} // namespace tiff2pdf
