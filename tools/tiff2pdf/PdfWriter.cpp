// SPDX-License-Identifier: GPL-3.0-or-later
#include "PdfWriter.h"

#include "TiffSupport.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace tiff2pdf {

void PdfOut::put(const void* data, std::size_t size)
{
    if (size && std::fwrite(data, 1, size, m_out) != size)
        throw OutputError(m_name, std::string("writing failed: ") + std::strerror(errno));
    m_position += size;
}

void PdfOut::object(int number, const std::string& body)
{
    begin(number);
    put(body);
    put("\nendobj\n");
}

void PdfOut::stream(int number, const Producer& produce)
{
    const int length = reserve();
    std::optional<std::uint64_t> start;
    produce([&](const std::string& dict) -> ByteSink {
        if (start)
            throw std::logic_error("a stream's dictionary was given twice");
        begin(number);
        put("<<" + dict + " /Length " + ref(length) + ">>\nstream\n");
        start = m_position;
        return [this](const std::uint8_t* data, std::size_t size) { put(data, size); };
    });
    if (!start)
        throw std::logic_error("a stream was left without its dictionary");
    const std::uint64_t size = m_position - *start;
    put("\nendstream\nendobj\n");
    object(length, std::to_string(size));
}

void PdfOut::finish(int root)
{
    const std::uint64_t xref = m_position;
    std::string table = "xref\n0 " + std::to_string(m_offsets.size() + 1) + "\n0000000000 65535 f \n";
    char entry[32];
    for (std::uint64_t offset : m_offsets) {
        std::snprintf(entry, sizeof entry, "%010llu 00000 n \n", static_cast<unsigned long long>(offset));
        table += entry;
    }
    table += "trailer\n<< /Size " + std::to_string(m_offsets.size() + 1) + " /Root " + ref(root) +
             " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    put(table);
}

void PdfOut::begin(int number)
{
    m_offsets[static_cast<std::size_t>(number - 1)] = m_position;
    put(std::to_string(number) + " 0 obj\n");
}

} // namespace tiff2pdf
