#include "PdfWriter.h"

#include "TiffSupport.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

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

void PdfOut::stream(int number, const std::string& dict, const Producer& produce)
{
    const int length = reserve();
    const std::uint64_t objectStart = m_position;
    begin(number);
    put("<<" + dict + " /Length " + ref(length) + ">>\nstream\n");
    std::uint64_t start = m_position;
    if (auto replacement = produce([this](const std::uint8_t* data, std::size_t size) { put(data, size); })) {
        truncateTo(objectStart);
        begin(number);
        put("<<" + replacement->dict + " /Length " + ref(length) + ">>\nstream\n");
        start = m_position;
        put(replacement->data.data(), replacement->data.size());
    }
    const std::uint64_t size = m_position - start;
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

void PdfOut::truncateTo(std::uint64_t position)
{
    if (std::fflush(m_out) != 0 || ::ftruncate(::fileno(m_out), static_cast<off_t>(position)) != 0 ||
        ::fseeko(m_out, static_cast<off_t>(position), SEEK_SET) != 0)
        throw OutputError(m_name, std::string("writing failed: ") + std::strerror(errno));
    m_position = position;
}

void PdfOut::begin(int number)
{
    m_offsets[static_cast<std::size_t>(number - 1)] = m_position;
    put(std::to_string(number) + " 0 obj\n");
}

} // namespace tiff2pdf
