#include "Converter.h"

#include "ConverterFiles.h"
#include "ImageData.h"
#include "PagePlan.h"
#include "TiffSupport.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace tiff2pdf {

namespace {

/// A conversion can hold at most this many pages; far beyond any scanned document. It bounds what
/// grows with the page count (the plans, the cross-reference table: about 0.6 KB a page).
constexpr tdir_t kMaxPages = 50000;

// The temporary file being written, for the signal handler.
char g_temporaryPath[PATH_MAX];
volatile std::sig_atomic_t g_temporaryActive = 0;

void onSignal(int sig)
{
    if (g_temporaryActive)
        ::unlink(g_temporaryPath);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

std::string errnoText()
{
    return std::strerror(errno);
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string baseName(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

/// The PDF under construction is a file without a name in OUTPUT's folder (O_TMPFILE) that gets
/// OUTPUT as its first name only when it is complete, so that a conversion killed at any moment
/// leaves nothing behind. Where the file system cannot make such a file, and for -f, it lives
/// under a hidden name beside OUTPUT ending in ".part", which the station neither lists nor sends,
/// and renamed when complete.
class TemporaryOutput
{
public:
    TemporaryOutput(const std::string& outputPath, bool overwrite) : m_output(outputPath)
    {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        int fd = -1;
        if (!overwrite) {
            fd = ::open(folderOf(outputPath).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666 & ~mask);
            if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
                throw OutputError(outputPath, "cannot create a file in its folder: " + errnoText());
        }
        if (fd < 0)
            fd = createNamed(outputPath);
        // mkstemp makes the file private; the PDF gets the permissions any new file would get.
        if (!m_path.empty())
            ::fchmod(fd, 0666 & ~mask);
        m_file = ::fdopen(fd, "wb");
        if (!m_file) {
            const int err = errno;
            ::close(fd);
            discard();
            errno = err;
            throw OutputError(outputPath, errnoText());
        }
    }

    ~TemporaryOutput()
    {
        if (m_file)
            std::fclose(m_file);
        m_file = nullptr;
        if (!m_committed)
            discard();
    }

    TemporaryOutput(const TemporaryOutput&) = delete;
    TemporaryOutput& operator=(const TemporaryOutput&) = delete;

    FILE* file() const { return m_file; }
    /// The name messages give the file being written.
    const std::string& path() const { return m_path.empty() ? m_output : m_path; }

    /// Makes the finished file OUTPUT. Without `overwrite` an OUTPUT that exists by now is kept.
    void commit(bool overwrite)
    {
        const bool written = std::fflush(m_file) == 0 && ::fsync(::fileno(m_file)) == 0;
        if (!written)
            throw OutputError(m_output, "writing failed: " + errnoText());
        if (m_path.empty())
            linkInPlace();
        else
            renameInPlace(overwrite);
        m_committed = true;
        g_temporaryActive = 0;
        const bool closed = std::fclose(m_file) == 0;
        m_file = nullptr;
        (void)closed; // the bytes are on disk already
        // The new name must survive a power cut as well as the bytes.
        const int dir = ::open(folderOf(m_output).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }

private:
    int createNamed(const std::string& outputPath)
    {
        std::string pattern =
            folderOf(outputPath) + "/" + ConverterFiles::temporaryTemplate(baseName(outputPath));
        if (pattern.size() >= PATH_MAX)
            throw OutputError(outputPath, "the name is too long");
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        const int fd =
            ::mkostemps(buffer.data(), static_cast<int>(ConverterFiles::kTemporarySuffix.size()), O_CLOEXEC);
        if (fd < 0)
            throw OutputError(outputPath, "cannot create a file in its folder: " + errnoText());
        m_path = buffer.data();
        std::memcpy(g_temporaryPath, m_path.c_str(), m_path.size() + 1);
        g_temporaryActive = 1;
        return fd;
    }

    void linkInPlace()
    {
        // linkat never replaces a name: an OUTPUT that appeared meanwhile is kept.
        const std::string self = "/proc/self/fd/" + std::to_string(::fileno(m_file));
        int rc = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, m_output.c_str(), AT_SYMLINK_FOLLOW);
        if (rc != 0 && errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0)
            rc = ::linkat(::fileno(m_file), "", AT_FDCWD, m_output.c_str(), AT_EMPTY_PATH);
        if (rc != 0)
            throw OutputError(m_output, errno == EEXIST ? "it appeared while converting; left as it is"
                                                        : "cannot put the file in place: " + errnoText());
    }

    void renameInPlace(bool overwrite)
    {
        if (overwrite) {
            if (::rename(m_path.c_str(), m_output.c_str()) != 0)
                throw OutputError(m_output, "cannot put the file in place: " + errnoText());
        } else if (::renameat2(AT_FDCWD, m_path.c_str(), AT_FDCWD, m_output.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST)
                throw OutputError(m_output, "it appeared while converting; left as it is");
            if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                throw OutputError(m_output, "cannot put the file in place: " + errnoText());
            // A file system without RENAME_NOREPLACE: a hard link fails the same way on an existing name.
            if (::link(m_path.c_str(), m_output.c_str()) != 0)
                throw OutputError(m_output, errno == EEXIST ? "it appeared while converting; left as it is"
                                                            : "cannot put the file in place: " + errnoText());
            ::unlink(m_path.c_str());
        }
    }

    void discard()
    {
        g_temporaryActive = 0;
        if (!m_path.empty())
            ::unlink(m_path.c_str());
    }

    std::string m_output;
    std::string m_path; ///< the named temporary; empty for a file without a name
    FILE* m_file = nullptr;
    bool m_committed = false;
};

std::string number(double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", v);
    std::string s(text);
    while (!s.empty() && s.back() == '0')
        s.pop_back();
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    if (s == "-0")
        s = "0";
    return s;
}

/// Places the image's unit square on the page so that the Orientation tag's row 0 and column 0 end up
/// where the tag says, filling the page.
std::string placement(const PagePlan& p)
{
    const double w = p.pageWidthPt, h = p.pageHeightPt;
    double m[6];
    switch (p.orientation) {
    case ORIENTATION_TOPRIGHT:
        m[0] = -w, m[1] = 0, m[2] = 0, m[3] = h, m[4] = w, m[5] = 0;
        break;
    case ORIENTATION_BOTRIGHT:
        m[0] = -w, m[1] = 0, m[2] = 0, m[3] = -h, m[4] = w, m[5] = h;
        break;
    case ORIENTATION_BOTLEFT:
        m[0] = w, m[1] = 0, m[2] = 0, m[3] = -h, m[4] = 0, m[5] = h;
        break;
    case ORIENTATION_LEFTTOP:
        m[0] = 0, m[1] = -h, m[2] = -w, m[3] = 0, m[4] = w, m[5] = h;
        break;
    case ORIENTATION_RIGHTTOP:
        m[0] = 0, m[1] = -h, m[2] = w, m[3] = 0, m[4] = 0, m[5] = h;
        break;
    case ORIENTATION_RIGHTBOT:
        m[0] = 0, m[1] = h, m[2] = w, m[3] = 0, m[4] = 0, m[5] = 0;
        break;
    case ORIENTATION_LEFTBOT:
        m[0] = 0, m[1] = h, m[2] = -w, m[3] = 0, m[4] = w, m[5] = 0;
        break;
    default:
        m[0] = w, m[1] = 0, m[2] = 0, m[3] = h, m[4] = 0, m[5] = 0;
        break;
    }
    std::string s = "q";
    for (double v : m) {
        s += ' ';
        s += number(v);
    }
    s += " cm /Im0 Do Q\n";
    return s;
}

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

    void put(const void* data, std::size_t size)
    {
        if (size && std::fwrite(data, 1, size, m_out) != size)
            throw OutputError(m_name, "writing failed: " + errnoText());
        m_position += size;
    }
    void put(const std::string& text) { put(text.data(), text.size()); }

    void object(int number, const std::string& body)
    {
        begin(number);
        put(body);
        put("\nendobj\n");
    }

    /// Another dictionary and data for a stream, in place of what its producer wrote.
    struct Replacement
    {
        std::string dict;
        std::vector<std::uint8_t> data;
    };
    using Producer = std::function<std::optional<Replacement>(const ByteSink&)>;

    /// A stream whose data `produce` writes through the sink it is given. When `produce` returns a
    /// replacement, what it wrote is taken back and the object written anew with it.
    void stream(int number, const std::string& dict, const Producer& produce)
    {
        const int length = reserve();
        const std::uint64_t objectStart = m_position;
        begin(number);
        put("<<" + dict + " /Length " + ref(length) + ">>\nstream\n");
        std::uint64_t start = m_position;
        if (auto replacement =
                produce([this](const std::uint8_t* data, std::size_t size) { put(data, size); })) {
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

    void finish(int root)
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

    static std::string ref(int number) { return std::to_string(number) + " 0 R"; }

private:
    void truncateTo(std::uint64_t position)
    {
        if (std::fflush(m_out) != 0 || ::ftruncate(::fileno(m_out), static_cast<off_t>(position)) != 0 ||
            ::fseeko(m_out, static_cast<off_t>(position), SEEK_SET) != 0)
            throw OutputError(m_name, "writing failed: " + errnoText());
        m_position = position;
    }

    void begin(int number)
    {
        m_offsets[static_cast<std::size_t>(number - 1)] = m_position;
        put(std::to_string(number) + " 0 obj\n");
    }

    FILE* m_out;
    std::string m_name;
    std::uint64_t m_position = 0;
    std::vector<std::uint64_t> m_offsets; // of objects 1, 2, ...
};

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
        pdf.stream(content, "", [&](const ByteSink& sink) -> std::optional<PdfOut::Replacement> {
            sink(reinterpret_cast<const std::uint8_t*>(drawing.data()), drawing.size());
            return std::nullopt;
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
        pdf.stream(image, dict, [&](const ByteSink& sink) -> std::optional<PdfOut::Replacement> {
            goTo(p.directory);
            std::vector<std::uint8_t> plain;
            switch (writeImageData(m_tif, p, part, sink, m_messages,
                                   part == ImagePart::Colour ? &plain : nullptr)) {
            case Stream::AsPlanned:
                break;
            case Stream::Plain:
                return PdfOut::Replacement{plainDict, std::move(plain)};
            case Stream::TwoLevel:
                return PdfOut::Replacement{twoLevelDict, std::move(plain)};
            }
            return std::nullopt;
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

/// Refuses outputs that must not be written; returns normally when OUTPUT may be created.
void checkOutput(const std::string& outputPath, const struct stat* input, const Options& options)
{
    if (outputPath.empty())
        throw ConversionError("the output name is empty");
    if (outputPath.back() == '/')
        throw OutputError(outputPath, "names a folder, not a file");
    struct stat st
    {
    };
    if (::lstat(outputPath.c_str(), &st) == 0) {
        if (!options.overwrite)
            throw OutputError(outputPath, "already exists; not replaced (give -f to replace it)");
        if (S_ISDIR(st.st_mode))
            throw OutputError(outputPath, "is a folder");
        struct stat target
        {
        };
        if (input && ::stat(outputPath.c_str(), &target) == 0 && target.st_dev == input->st_dev &&
            target.st_ino == input->st_ino)
            throw OutputError(outputPath, "is the input file itself");
    }
    struct stat folder
    {
    };
    if (::stat(folderOf(outputPath).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
        throw OutputError(outputPath, "its folder does not exist");
}

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

void removeTemporaryOnSignal()
{
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
}

} // namespace tiff2pdf
