// SPDX-License-Identifier: GPL-3.0-or-later
#include "Converter.h"

#include "ConverterFiles.h"
#include "ImageData.h"
#include "OutputFile.h"
#include "PageGeometry.h"
#include "PagePlan.h"
#include "PdfWriter.h"
#include "TiffSupport.h"

#include <optional>
#include <sys/stat.h>

namespace tiff2pdf {

namespace {

/// A conversion can hold at most this many pages; far beyond any scanned document. It bounds what
/// grows with the page count (the plans, the cross-reference table: about 0.6 KB a page).
constexpr tdir_t kMaxPages = 50000;

std::string hexString(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s = "<";
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s + ">";
}

class Conversion
{
public:
    Conversion(TIFF* tif, TiffMessages& messages) : m_tif(tif), m_messages(messages) {}

    /// Reads and checks every page; nothing is written before all of them are known to be usable.
    void planAll()
    {
        for (tdir_t index = 0;; ++index) {
            // Thumbnails and transparency masks that scanners add beside the pages are not pages.
            std::uint32_t subfileType = 0;
            if (!TIFFGetField(m_tif, TIFFTAG_SUBFILETYPE, &subfileType) ||
                !(subfileType & (FILETYPE_REDUCEDIMAGE | FILETYPE_MASK)))
                m_plans.push_back(planPage(m_tif, index, m_messages));
            if (TIFFLastDirectory(m_tif))
                break;
            if (index + 1 >= kMaxPages)
                throw ConversionError("more than " + std::to_string(kMaxPages) +
                                      " pages, the most a conversion takes");
            m_messages.clear();
            // A broken link to the next page must fail the conversion, not shorten the document.
            if (!TIFFReadDirectory(m_tif)) {
                const std::string page = "page " + std::to_string(index + 2) + " cannot be read";
                // libtiff refuses a link back to an earlier page without saying why.
                throw ConversionError(m_messages.firstError.empty()
                                          ? page +
                                                ": the link to it is broken or leads back to an earlier page"
                                          : m_messages.with(page));
            }
        }
        if (m_plans.empty())
            throw ConversionError("holds no page, only reduced-resolution images or masks");
    }

    int pages() const { return static_cast<int>(m_plans.size()); }

    void write(FILE* out, const std::string& outName, const std::string& sourceLine)
    {
        PdfOut pdf(out, outName);
        pdf.put("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
        pdf.put(sourceLine);
        const int catalog = pdf.reserve();
        const int pageTree = pdf.reserve();
        std::string kids;
        for (const PagePlan& plan : m_plans) {
            if (!kids.empty())
                kids += ' ';
            kids += PdfOut::ref(writePage(pdf, plan, pageTree));
        }
        pdf.object(pageTree,
                   "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(m_plans.size()) + " >>");
        pdf.object(catalog, "<< /Type /Catalog /Pages " + PdfOut::ref(pageTree) + " >>");
        pdf.finish(catalog);
    }

private:
    int writePage(PdfOut& pdf, const PagePlan& p, int pageTree)
    {
        std::string smask;
        if (p.alpha != Alpha::None) {
            std::string extra;
            if (p.alpha == Alpha::Premultiplied) {
                // Premultiplying draws samples towards 0, which min-is-white shows as white.
                const bool white = p.model == ColourModel::Gray && p.minIsWhite;
                extra = " /Matte [";
                for (unsigned c = 0; c < (white ? 1u : p.colourChannels); ++c)
                    extra += c ? (white ? " 1" : " 0") : (white ? "1" : "0");
                extra += "]";
            }
            smask = " /SMask " + PdfOut::ref(writeImage(pdf, p, ImagePart::Alpha, extra));
        }
        const int image = writeImage(pdf, p, ImagePart::Colour, smask);
        const int content = pdf.reserve();
        const std::string drawing = placement(p);
        pdf.stream(content, [&](const PdfOut::Start& start) {
            start("")(reinterpret_cast<const std::uint8_t*>(drawing.data()), drawing.size());
        });
        const int page = pdf.reserve();
        pdf.object(page, "<< /Type /Page /Parent " + PdfOut::ref(pageTree) + " /MediaBox [0 0 " +
                             number(p.pageWidthPt) + " " + number(p.pageHeightPt) +
                             "] /Resources << /XObject << /Im0 " + PdfOut::ref(image) + " >> >> /Contents " +
                             PdfOut::ref(content) + " >>");
        return page;
    }

    int writeImage(PdfOut& pdf, const PagePlan& p, ImagePart part, const std::string& extra)
    {
        auto integer = [](long long v) { return std::to_string(v); };
        const std::string size = " /Type /XObject /Subtype /Image /Width " + integer(p.width) + " /Height " +
                                 integer(p.height) + " /BitsPerComponent ";
        std::string dict;
        std::string filter = "/FlateDecode";
        std::string parms;
        if (usesPngPredictor(p) || part == ImagePart::Alpha) {
            const unsigned channels = part == ImagePart::Alpha ? 1 : p.colourChannels;
            parms = "<< /Predictor 15 /Colors " + integer(channels) + " /BitsPerComponent " +
                    integer(p.bitsPerSample) + " /Columns " + integer(p.width) + " >>";
        }
        if (part == ImagePart::Alpha) {
            dict += " /ColorSpace /DeviceGray";
        } else {
            switch (p.model) {
            case ColourModel::Gray:
                dict += " /ColorSpace /DeviceGray";
                // CCITT data carries the sense of its bits in BlackIs1 instead.
                if (p.minIsWhite && p.carriage != Carriage::PassCcitt && p.carriage != Carriage::ReencodeG4)
                    dict += " /Decode [1 0]";
                break;
            case ColourModel::Rgb:
                dict += " /ColorSpace /DeviceRGB";
                break;
            case ColourModel::Cmyk:
                dict += " /ColorSpace /DeviceCMYK";
                break;
            case ColourModel::Indexed:
                dict += " /ColorSpace [/Indexed /DeviceRGB " +
                        integer(static_cast<long long>(p.palette.size() / 3 - 1)) + " " +
                        hexString(p.palette) + "]";
                break;
            }
            switch (p.carriage) {
            case Carriage::PassCcitt:
            case Carriage::ReencodeG4:
                filter = "/CCITTFaxDecode";
                // CCITT codes 0 bits as white runs. Min-is-white data decodes to what PDF expects by
                // default; min-is-black data holds black as 0, that is as "white" runs, so it is inverted.
                parms = "<< /K " + integer(p.carriage == Carriage::ReencodeG4 ? -1 : p.ccittK) +
                        " /Columns " + integer(p.width) + " /Rows " + integer(p.height) + " /BlackIs1 " +
                        (p.minIsWhite ? "false" : "true") + " >>";
                break;
            case Carriage::PassJpeg:
                filter = "/DCTDecode";
                parms = p.jpegColorTransform >= 0
                            ? "<< /ColorTransform " + integer(p.jpegColorTransform) + " >>"
                            : "";
                break;
            case Carriage::PassFlate:
                parms = p.predictor == PREDICTOR_HORIZONTAL
                            ? "<< /Predictor 2 /Colors " + integer(p.samplesPerPixel) +
                                  " /BitsPerComponent " + integer(p.bitsPerSample) + " /Columns " +
                                  integer(p.width) + " >>"
                            : "";
                break;
            case Carriage::Flate:
                break;
            }
        }
        const std::string plainDict =
            size + integer(p.bitsPerSample) + dict + " /Filter /FlateDecode" + extra;
        const std::string twoLevelDict = size + "1" + dict + " /Filter /FlateDecode" + extra;
        dict = size + integer(p.bitsPerSample) + dict + " /Filter " + filter;
        if (!parms.empty())
            dict += " /DecodeParms " + parms;
        dict += extra;
        const int image = pdf.reserve();
        // The pixels are read from the TIFF only now, one image at a time, so memory holds at most
        // one page's data.
        pdf.stream(image, [&](const PdfOut::Start& start) {
            goTo(p.directory);
            // The planned or the plain form's data goes out as it is made, under the dictionary
            // of the form, which is decided before any of it; a page that turns out two-level is
            // held until it has been seen whole (it is an eighth of the samples or less).
            std::optional<ByteSink> out;
            const auto into = [&](const std::string& dictionary) {
                return [&, dictionary](const std::uint8_t* data, std::size_t size) {
                    if (!out)
                        out = start(dictionary);
                    (*out)(data, size);
                };
            };
            std::vector<std::uint8_t> twoLevel;
            const OtherForms others{into(plainDict), &twoLevel};
            const Stream form = writeImageData(m_tif, p, part, into(dict), m_messages,
                                               part == ImagePart::Colour ? &others : nullptr);
            if (form == Stream::TwoLevel)
                start(twoLevelDict)(twoLevel.data(), twoLevel.size());
            else if (!out)
                start(form == Stream::Plain ? plainDict : dict);
        });
        return image;
    }

    /// Makes `directory` the current one. The pages are written in the order they were planned, so
    /// after one return to the first directory this only steps forward, reading each directory once:
    /// TIFFSetDirectory walks the chain from the first directory every time, which made a file of
    /// many pages take time with the square of their number.
    void goTo(tdir_t directory)
    {
        m_messages.clear();
        if (directory < TIFFCurrentDirectory(m_tif) && !TIFFSetDirectory(m_tif, 0))
            throw ConversionError(m_messages.with("page 1 cannot be read again"));
        while (TIFFCurrentDirectory(m_tif) < directory) {
            if (!TIFFReadDirectory(m_tif))
                throw ConversionError(m_messages.with(
                    "page " + std::to_string(TIFFCurrentDirectory(m_tif) + 2) + " cannot be read again"));
        }
    }

    TIFF* m_tif;
    TiffMessages& m_messages;
    std::vector<PagePlan> m_plans;
};

/// A comment naming the TIFF the PDF was made of (device, inode, size,
/// modification time): a station stopped between linking the PDF and deleting
/// the TIFF recognises its own pair by it, and nothing else that bears the name.
std::string sourceLine(const struct stat* input)
{
    if (!input)
        return {};
    return ConverterFiles::sourceLine(input->st_dev, input->st_ino, input->st_size,
                                      std::int64_t(input->st_mtim.tv_sec) * 1'000'000'000 +
                                          input->st_mtim.tv_nsec);
}

ConversionResult run(const std::string& inputName, const std::string& outputPath, const Options& options,
                     const std::function<TiffPtr(TiffMessages&)>& open, const struct stat* inputStat)
{
    ConversionResult result;
    try {
        checkOutput(outputPath, inputStat, options);
    } catch (const OutputError& e) {
        result.message = e.file() + ": " + e.what();
        return result;
    } catch (const ConversionError& e) {
        result.message = e.what();
        return result;
    }
    try {
        TiffMessages messages;
        TiffPtr tif = open(messages);
        Conversion conversion(tif.get(), messages);
        conversion.planAll();
        TemporaryOutput out(outputPath, options.overwrite);
        try {
            conversion.write(out.file(), out.path(), sourceLine(inputStat));
        } catch (const OutputError& e) {
            // Writing is part of converting this input: named first, then the file that failed.
            result.message = inputName + ": " + e.file() + ": " + e.what();
            return result;
        }
        out.commit(options.overwrite);
        result.ok = true;
        result.pages = conversion.pages();
        return result;
    } catch (const OutputError& e) {
        result.message = e.file() + ": " + e.what();
    } catch (const ConversionError& e) {
        result.message = inputName + ": " + e.what();
    } catch (const std::bad_alloc&) {
        result.message = inputName + ": out of memory";
    } catch (const std::exception& e) {
        result.message = inputName + ": " + e.what();
    } catch (...) {
        result.message = inputName + ": unexpected error";
    }
    return result;
}

} // namespace

ConversionResult convertFile(const std::string& inputPath, const std::string& outputPath,
                             const Options& options)
{
    struct stat input
    {
    };
    const bool haveInput = ::stat(inputPath.c_str(), &input) == 0;
    return run(
        inputPath, outputPath, options,
        [&](TiffMessages& messages) { return openTiffFile(inputPath, messages); },
        haveInput ? &input : nullptr);
}

ConversionResult convertBytes(const std::uint8_t* data, std::size_t size, const std::string& inputName,
                              const std::string& outputPath, const Options& options)
{
    MemoryFile file(data, size);
    return run(
        inputName, outputPath, options,
        [&](TiffMessages& messages) { return openTiffMemory(file, "r", messages); }, nullptr);
}

} // namespace tiff2pdf
