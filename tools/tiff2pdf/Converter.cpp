#include "Converter.h"

#include "ImageData.h"
#include "PagePlan.h"
#include "TiffSupport.h"

#include <qpdf/Pipeline.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tiff2pdf {

namespace {

/// A conversion can hold at most this many pages; far beyond any scanned document.
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

/// The PDF under construction lives in a hidden file beside OUTPUT whose name no tool takes for a
/// document; it becomes OUTPUT by a rename only when it is complete.
class TemporaryOutput
{
public:
    explicit TemporaryOutput(const std::string& outputPath) : m_output(outputPath)
    {
        // The name is cut short so that the added parts never push it past the file system's limit.
        std::string pattern = folderOf(outputPath) + "/." + baseName(outputPath).substr(0, 200) + ".XXXXXX.part";
        if (pattern.size() >= PATH_MAX)
            throw ConversionError(outputPath + ": the name is too long");
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        const int fd = ::mkostemps(buffer.data(), 5, O_CLOEXEC);
        if (fd < 0)
            throw ConversionError(outputPath + ": cannot create a file in its folder: " + errnoText());
        m_path = buffer.data();
        std::memcpy(g_temporaryPath, m_path.c_str(), m_path.size() + 1);
        g_temporaryActive = 1;
        // mkstemp makes the file private; the PDF gets the permissions any new file would get.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        m_file = ::fdopen(fd, "wb");
        if (!m_file) {
            ::close(fd);
            discard();
            throw ConversionError(outputPath + ": " + errnoText());
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
    const std::string& path() const { return m_path; }

    /// Makes the finished file OUTPUT. Without `overwrite` an OUTPUT that exists by now is kept.
    void commit(bool overwrite)
    {
        const bool written = std::fflush(m_file) == 0 && ::fsync(::fileno(m_file)) == 0;
        const int flushErrno = errno;
        const bool closed = std::fclose(m_file) == 0;
        m_file = nullptr;
        if (!written || !closed) {
            errno = written ? errno : flushErrno;
            throw ConversionError(m_output + ": writing failed: " + errnoText());
        }
        if (overwrite) {
            if (::rename(m_path.c_str(), m_output.c_str()) != 0)
                throw ConversionError(m_output + ": cannot put the file in place: " + errnoText());
        } else if (::renameat2(AT_FDCWD, m_path.c_str(), AT_FDCWD, m_output.c_str(), RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST)
                throw ConversionError(m_output + ": it appeared while converting; left as it is");
            if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                throw ConversionError(m_output + ": cannot put the file in place: " + errnoText());
            // A file system without RENAME_NOREPLACE: a hard link fails the same way on an existing name.
            if (::link(m_path.c_str(), m_output.c_str()) != 0)
                throw ConversionError(m_output + (errno == EEXIST ? ": it appeared while converting; left as it is"
                                                                  : ": cannot put the file in place: " + errnoText()));
            ::unlink(m_path.c_str());
        }
        m_committed = true;
        g_temporaryActive = 0;
    }

private:
    void discard()
    {
        g_temporaryActive = 0;
        ::unlink(m_path.c_str());
    }

    std::string m_output;
    std::string m_path;
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
    case ORIENTATION_TOPRIGHT: m[0] = -w, m[1] = 0, m[2] = 0, m[3] = h, m[4] = w, m[5] = 0; break;
    case ORIENTATION_BOTRIGHT: m[0] = -w, m[1] = 0, m[2] = 0, m[3] = -h, m[4] = w, m[5] = h; break;
    case ORIENTATION_BOTLEFT: m[0] = w, m[1] = 0, m[2] = 0, m[3] = -h, m[4] = 0, m[5] = h; break;
    case ORIENTATION_LEFTTOP: m[0] = 0, m[1] = -h, m[2] = -w, m[3] = 0, m[4] = w, m[5] = h; break;
    case ORIENTATION_RIGHTTOP: m[0] = 0, m[1] = -h, m[2] = w, m[3] = 0, m[4] = 0, m[5] = h; break;
    case ORIENTATION_RIGHTBOT: m[0] = 0, m[1] = h, m[2] = w, m[3] = 0, m[4] = 0, m[5] = 0; break;
    case ORIENTATION_LEFTBOT: m[0] = 0, m[1] = h, m[2] = -w, m[3] = 0, m[4] = w, m[5] = 0; break;
    default: m[0] = w, m[1] = 0, m[2] = 0, m[3] = h, m[4] = 0, m[5] = 0; break;
    }
    std::string s = "q";
    for (double v : m) {
        s += ' ';
        s += number(v);
    }
    s += " cm /Im0 Do Q\n";
    return s;
}

using QOH = QPDFObjectHandle;

QOH decodeArray(std::initializer_list<int> values)
{
    std::vector<QOH> items;
    for (int v : values)
        items.push_back(QOH::newInteger(v));
    return QOH::newArray(items);
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
                throw ConversionError("more than " + std::to_string(kMaxPages) + " pages");
            m_messages.clear();
            // A broken link to the next page must fail the conversion, not shorten the document.
            if (!TIFFReadDirectory(m_tif))
                throw ConversionError(m_messages.with("page " + std::to_string(index + 2) + " cannot be read"));
        }
        if (m_plans.empty())
            throw ConversionError("holds no page, only reduced-resolution images or masks");
    }

    int pages() const { return static_cast<int>(m_plans.size()); }

    void write(FILE* out, const std::string& outName)
    {
        QPDF pdf;
        pdf.emptyPDF();
        QPDFPageDocumentHelper pages(pdf);
        for (std::size_t i = 0; i < m_plans.size(); ++i)
            pages.addPage(makePage(pdf, m_plans[i]), false);

        QPDFWriter writer(pdf);
        writer.setOutputFile(outName.c_str(), out, false);
        // The image data is already compressed as its /Filter says and must reach the file untouched;
        // the content streams are a few bytes each.
        writer.setCompressStreams(false);
        writer.setDecodeLevel(qpdf_dl_none);
        writer.setMinimumPDFVersion("1.4");
        try {
            writer.write();
        } catch (const std::exception& e) {
            if (m_failure.empty())
                m_failure = e.what();
        } catch (...) {
            if (m_failure.empty())
                m_failure = "unexpected error while writing the PDF";
        }
        if (!m_failure.empty())
            throw ConversionError(m_failure);
    }

private:
    QPDFPageObjectHelper makePage(QPDF& pdf, const PagePlan& p)
    {
        QOH image = makeImage(pdf, p, ImagePart::Colour);
        if (p.alpha != Alpha::None) {
            QOH mask = makeImage(pdf, p, ImagePart::Alpha);
            if (p.alpha == Alpha::Premultiplied) {
                std::vector<QOH> matte(p.colourChannels, QOH::newInteger(0));
                // Premultiplying draws samples towards 0, which min-is-white shows as white.
                if (p.model == ColourModel::Gray && p.minIsWhite)
                    matte.assign(1, QOH::newInteger(1));
                mask.getDict().replaceKey("/Matte", QOH::newArray(matte));
            }
            image.getDict().replaceKey("/SMask", mask);
        }
        QOH content = pdf.newStream(placement(p));
        QOH resources = QOH::newDictionary();
        QOH xobjects = QOH::newDictionary();
        xobjects.replaceKey("/Im0", image);
        resources.replaceKey("/XObject", xobjects);
        QOH page = QOH::newDictionary();
        page.replaceKey("/Type", QOH::newName("/Page"));
        page.replaceKey("/MediaBox", QOH::newArray({QOH::newInteger(0), QOH::newInteger(0),
                                                    QOH::newReal(number(p.pageWidthPt)),
                                                    QOH::newReal(number(p.pageHeightPt))}));
        page.replaceKey("/Resources", resources);
        page.replaceKey("/Contents", content);
        return QPDFPageObjectHelper(pdf.makeIndirectObject(page));
    }

    QOH makeImage(QPDF& pdf, const PagePlan& p, ImagePart part)
    {
        QOH image = pdf.newStream();
        QOH dict = image.getDict();
        dict.replaceKey("/Type", QOH::newName("/XObject"));
        dict.replaceKey("/Subtype", QOH::newName("/Image"));
        dict.replaceKey("/Width", QOH::newInteger(p.width));
        dict.replaceKey("/Height", QOH::newInteger(p.height));
        dict.replaceKey("/BitsPerComponent", QOH::newInteger(p.bitsPerSample));

        QOH filter = QOH::newName("/FlateDecode");
        QOH parms = QOH::newNull();
        if (usesPngPredictor(p) || part == ImagePart::Alpha) {
            const unsigned channels = part == ImagePart::Alpha ? 1 : p.colourChannels;
            parms = QOH::newDictionary();
            parms.replaceKey("/Predictor", QOH::newInteger(15));
            parms.replaceKey("/Colors", QOH::newInteger(channels));
            parms.replaceKey("/BitsPerComponent", QOH::newInteger(p.bitsPerSample));
            parms.replaceKey("/Columns", QOH::newInteger(p.width));
        }
        if (part == ImagePart::Alpha) {
            dict.replaceKey("/ColorSpace", QOH::newName("/DeviceGray"));
        } else {
            switch (p.model) {
            case ColourModel::Gray:
                dict.replaceKey("/ColorSpace", QOH::newName("/DeviceGray"));
                // CCITT data carries the sense of its bits in BlackIs1 instead.
                if (p.minIsWhite && p.carriage != Carriage::PassCcitt && p.carriage != Carriage::ReencodeG4)
                    dict.replaceKey("/Decode", decodeArray({1, 0}));
                break;
            case ColourModel::Rgb:
                dict.replaceKey("/ColorSpace", QOH::newName("/DeviceRGB"));
                break;
            case ColourModel::Cmyk:
                dict.replaceKey("/ColorSpace", QOH::newName("/DeviceCMYK"));
                break;
            case ColourModel::Indexed:
                dict.replaceKey("/ColorSpace",
                                QOH::newArray({QOH::newName("/Indexed"), QOH::newName("/DeviceRGB"),
                                               QOH::newInteger(static_cast<long long>(p.palette.size() / 3 - 1)),
                                               QOH::newString(p.palette)}));
                break;
            }
            switch (p.carriage) {
            case Carriage::PassCcitt:
            case Carriage::ReencodeG4: {
                filter = QOH::newName("/CCITTFaxDecode");
                parms = QOH::newDictionary();
                parms.replaceKey("/K", QOH::newInteger(p.carriage == Carriage::ReencodeG4 ? -1 : p.ccittK));
                parms.replaceKey("/Columns", QOH::newInteger(p.width));
                parms.replaceKey("/Rows", QOH::newInteger(p.height));
                // CCITT codes 0 bits as white runs. Min-is-white data decodes to what PDF expects by
                // default; min-is-black data holds black as 0, that is as "white" runs, so it is inverted.
                parms.replaceKey("/BlackIs1", QOH::newBool(!p.minIsWhite));
                break;
            }
            case Carriage::PassJpeg:
                filter = QOH::newName("/DCTDecode");
                if (p.jpegColorTransform >= 0) {
                    parms = QOH::newDictionary();
                    parms.replaceKey("/ColorTransform", QOH::newInteger(p.jpegColorTransform));
                }
                break;
            case Carriage::PassFlate:
                if (p.predictor == PREDICTOR_HORIZONTAL) {
                    parms = QOH::newDictionary();
                    parms.replaceKey("/Predictor", QOH::newInteger(2));
                    parms.replaceKey("/Colors", QOH::newInteger(p.samplesPerPixel));
                    parms.replaceKey("/BitsPerComponent", QOH::newInteger(p.bitsPerSample));
                    parms.replaceKey("/Columns", QOH::newInteger(p.width));
                }
                break;
            case Carriage::Flate:
                break;
            }
        }
        const std::size_t index = static_cast<std::size_t>(&p - m_plans.data());
        image.replaceStreamData([this, index, part](Pipeline* pipe) { provide(index, part, pipe); }, filter, parms);
        return image;
    }

    // Called by the PDF writer when it reaches the image: the pixels are read from the TIFF only now,
    // one image at a time, so memory holds at most one page's data.
    void provide(std::size_t index, ImagePart part, Pipeline* pipe)
    {
        if (!m_failure.empty()) {
            pipe->finish();
            return;
        }
        const PagePlan& plan = m_plans[index];
        try {
            m_messages.clear();
            if (!TIFFSetDirectory(m_tif, plan.directory))
                throw ConversionError(m_messages.with("page " + std::to_string(plan.directory + 1) +
                                                      " cannot be read again"));
            writeImageData(
                m_tif, plan, part, [pipe](const std::uint8_t* d, std::size_t n) { pipe->write(d, n); }, m_messages);
            pipe->finish();
        } catch (const std::exception& e) {
            m_failure = e.what();
            throw;
        } catch (...) {
            m_failure = "unexpected error while writing the image data";
            throw;
        }
    }

    TIFF* m_tif;
    TiffMessages& m_messages;
    std::vector<PagePlan> m_plans;
    std::string m_failure;
};

/// Refuses outputs that must not be written; returns normally when OUTPUT may be created.
void checkOutput(const std::string& outputPath, const struct stat* input, const Options& options)
{
    if (outputPath.empty())
        throw ConversionError("the output name is empty");
    if (outputPath.back() == '/')
        throw ConversionError(outputPath + ": names a folder, not a file");
    struct stat st {};
    if (::lstat(outputPath.c_str(), &st) == 0) {
        if (!options.overwrite)
            throw ConversionError(outputPath + ": already exists; not replaced (give -f to replace it)");
        if (S_ISDIR(st.st_mode))
            throw ConversionError(outputPath + ": is a folder");
        struct stat target {};
        if (input && ::stat(outputPath.c_str(), &target) == 0 && target.st_dev == input->st_dev &&
            target.st_ino == input->st_ino)
            throw ConversionError(outputPath + ": is the input file itself");
    }
    struct stat folder {};
    if (::stat(folderOf(outputPath).c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
        throw ConversionError(outputPath + ": its folder does not exist");
}

ConversionResult run(const std::string& inputName, const std::string& outputPath, const Options& options,
                     const std::function<TiffPtr(TiffMessages&)>& open, const struct stat* inputStat)
{
    ConversionResult result;
    try {
        checkOutput(outputPath, inputStat, options);
    } catch (const ConversionError& e) {
        result.message = e.what();
        return result;
    }
    try {
        TiffMessages messages;
        TiffPtr tif = open(messages);
        Conversion conversion(tif.get(), messages);
        conversion.planAll();
        TemporaryOutput out(outputPath);
        try {
            conversion.write(out.file(), out.path());
        } catch (const ConversionError& e) {
            throw ConversionError(inputName + ": " + e.what());
        }
        out.commit(options.overwrite);
        result.ok = true;
        result.pages = conversion.pages();
        return result;
    } catch (const ConversionError& e) {
        const std::string text = e.what();
        // Causes found in the TIFF are prefixed with its name here; output causes name OUTPUT already.
        const bool named = text.rfind(inputName + ": ", 0) == 0 || text.rfind(outputPath + ": ", 0) == 0;
        result.message = named ? text : inputName + ": " + text;
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

ConversionResult convertFile(const std::string& inputPath, const std::string& outputPath, const Options& options)
{
    struct stat input {};
    const bool haveInput = ::stat(inputPath.c_str(), &input) == 0;
    return run(
        inputPath, outputPath, options, [&](TiffMessages& messages) { return openTiffFile(inputPath, messages); },
        haveInput ? &input : nullptr);
}

ConversionResult convertBytes(const std::uint8_t* data, std::size_t size, const std::string& inputName,
                              const std::string& outputPath, const Options& options)
{
    MemoryFile file(data, size);
    return run(
        inputName, outputPath, options, [&](TiffMessages& messages) { return openTiffMemory(file, "r", messages); },
        nullptr);
}

void removeTemporaryOnSignal()
{
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);
}

} // namespace tiff2pdf
