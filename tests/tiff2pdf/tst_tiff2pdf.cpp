// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the tiff2pdf program built beside quillfeed on TIFF files written here with libtiff, and checks
// each PDF with qpdf (structure, stream data) and poppler (what a reader shows).
#include "DeflateBlocks.h"
#include "ParallelFlate.h"
#include "StreamChoice.h"
#include "TiffFixtures.h"

#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <libdeflate.h>
#include <optional>
#include <sys/stat.h>
#include <vector>
#include <zlib.h>

using namespace fixtures;

Q_DECLARE_METATYPE(fixtures::Named)

namespace {

constexpr int kZoom = 8;

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

struct Raster
{
    int width = 0;
    int height = 0;
    int channels = 0; // 1 gray, 3 rgb
    QByteArray data;
    int at(int x, int y, int c = 0) const
    {
        return static_cast<unsigned char>(data[(y * width + x) * channels + c]);
    }
};

/// Whether zlib reads the stream to its end with its Adler-32 right: qpdf and poppler do not look
/// at the checksum, stricter readers refuse the image.
bool inflatesWhole(const std::string& stream)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
    z.avail_in = static_cast<uInt>(stream.size());
    std::vector<Bytef> out(64 * 1024);
    int rc;
    do {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        rc = inflate(&z, Z_NO_FLUSH);
    } while (rc == Z_OK);
    inflateEnd(&z);
    return rc == Z_STREAM_END && z.avail_in == 0;
}

struct PdfImage
{
    long long width = 0;
    long long height = 0;
    int bpc = 0;
    std::string filter;
    bool hasDecode = false;
    bool hasSMask = false;
    bool hasMatte = false;
    std::string smask;       // the soft mask's samples
    std::string colourSpace; // a name, or the first item of an array
    long long hival = -1;    // Indexed only
    std::string decoded;     // filters qpdf can undo, undone
    std::string raw;
};

QString converter()
{
    const QString dir = qEnvironmentVariable("QUILLFEED_BIN_DIR");
    return dir.isEmpty() ? QString() : dir + "/tiff2pdf";
}

Run run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(10000) || !p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        r.err = "did not run or did not finish: " + program.toUtf8();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

Run convert(const QStringList& args)
{
    return run(converter(), args);
}

std::string sp(const QString& s)
{
    return QFile::encodeName(s).toStdString();
}

bool readNetpbm(const QString& path, Raster& r)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray all = f.readAll();
    // "P5\n<w> <h>\n255\n" or P6; pdftoppm writes exactly this header.
    QList<QByteArray> fields;
    int pos = 0;
    while (fields.size() < 4 && pos < all.size()) {
        while (pos < all.size() && isspace(static_cast<unsigned char>(all[pos])))
            ++pos;
        int start = pos;
        while (pos < all.size() && !isspace(static_cast<unsigned char>(all[pos])))
            ++pos;
        fields.append(all.mid(start, pos - start));
    }
    ++pos;
    if (fields.size() < 4 || (fields[0] != "P5" && fields[0] != "P6") || fields[3] != "255")
        return false;
    r.channels = fields[0] == "P5" ? 1 : 3;
    r.width = fields[1].toInt();
    r.height = fields[2].toInt();
    r.data = all.mid(pos);
    return r.data.size() == r.width * r.height * r.channels;
}

/// Renders one page with poppler at `dpi`, in gray or RGB.
bool render(const QString& pdf, int page, int dpi, bool gray, Raster& r)
{
    const QString prefix = pdf + ".render";
    QStringList args{"-r", QString::number(dpi),  "-f",          QString::number(page),
                     "-l", QString::number(page), "-singlefile", "-aa",
                     "no", "-aaVector",           "no"};
    if (gray)
        args << "-gray";
    args << pdf << prefix;
    const Run rr = run("pdftoppm", args);
    return rr.exitCode == 0 && readNetpbm(prefix + (gray ? ".pgm" : ".ppm"), r);
}

std::vector<PdfImage> pageImages(const QString& pdf, std::vector<std::pair<double, double>>* sizes = nullptr)
{
    QPDF doc;
    doc.processFile(sp(pdf).c_str());
    std::vector<PdfImage> images;
    for (auto& page : QPDFPageDocumentHelper(doc).getAllPages()) {
        QPDFObjectHandle obj = page.getObjectHandle();
        if (sizes) {
            QPDFObjectHandle box = obj.getKey("/MediaBox");
            sizes->emplace_back(box.getArrayItem(2).getNumericValue(), box.getArrayItem(3).getNumericValue());
        }
        QPDFObjectHandle im = obj.getKey("/Resources").getKey("/XObject").getKey("/Im0");
        PdfImage img;
        QPDFObjectHandle dict = im.getDict();
        img.width = dict.getKey("/Width").getIntValue();
        img.height = dict.getKey("/Height").getIntValue();
        img.bpc = static_cast<int>(dict.getKey("/BitsPerComponent").getIntValue());
        img.filter = dict.getKey("/Filter").isName() ? dict.getKey("/Filter").getName() : "";
        img.hasDecode = dict.hasKey("/Decode");
        QPDFObjectHandle cs = dict.getKey("/ColorSpace");
        if (cs.isName()) {
            img.colourSpace = cs.getName();
        } else if (cs.isArray()) {
            img.colourSpace = cs.getArrayItem(0).getName();
            img.hival = cs.getArrayItem(2).getIntValue();
        }
        auto raw = im.getRawStreamData();
        img.raw.assign(reinterpret_cast<const char*>(raw->getBuffer()), raw->getSize());
        if (img.filter == "/FlateDecode") {
            auto d = im.getStreamData(qpdf_dl_generalized);
            img.decoded.assign(reinterpret_cast<const char*>(d->getBuffer()), d->getSize());
        }
        if (dict.hasKey("/SMask")) {
            img.hasSMask = true;
            img.hasMatte = dict.getKey("/SMask").getDict().hasKey("/Matte");
            auto d = dict.getKey("/SMask").getStreamData(qpdf_dl_generalized);
            img.smask.assign(reinterpret_cast<const char*>(d->getBuffer()), d->getSize());
        }
        images.push_back(img);
    }
    return images;
}

/// The bytes the PDF image must decode to: the TIFF's samples (16-bit big-endian), colour channels only
/// or the alpha channel only.
std::string expectedSamples(const Page& page, bool alphaPart)
{
    const PageLayout& s = page.layout;
    const unsigned bytesPerSample = s.bps == 16 ? 2 : 1;
    std::string out;
    if (s.extraSample == kNoExtraSample) {
        out.assign(reinterpret_cast<const char*>(page.pixels.data()), page.pixels.size());
    } else {
        const unsigned colour = s.spp - 1;
        const unsigned first = alphaPart ? colour : 0, take = alphaPart ? 1 : colour;
        for (std::uint32_t i = 0; i < s.width * s.height; ++i)
            out.append(reinterpret_cast<const char*>(&page.pixels[(i * s.spp + first) * bytesPerSample]),
                       take * bytesPerSample);
    }
    if (s.bps == 16 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
        for (std::size_t i = 0; i + 1 < out.size(); i += 2)
            std::swap(out[i], out[i + 1]);
    return out;
}

unsigned sample(const Page& page, std::uint32_t x, std::uint32_t y, unsigned c)
{
    const PageLayout& s = page.layout;
    const std::uint8_t* row = page.pixels.data() + y * rowBytes(s, s.spp);
    const std::size_t index = std::size_t(x) * s.spp + c;
    if (s.bps == 16) {
        std::uint16_t v;
        std::memcpy(&v, row + index * 2, 2);
        return v;
    }
    if (s.bps == 8)
        return row[index];
    const std::size_t bit = index * s.bps;
    return (row[bit / 8] >> (8 - s.bps - bit % 8)) & ((1u << s.bps) - 1);
}

/// What a reader shows for the source pixel, as 8-bit gray or RGB; false when not well defined here.
bool appearance(const Page& page, std::uint32_t x, std::uint32_t y, int rgb[3])
{
    const PageLayout& s = page.layout;
    const unsigned max = (1u << s.bps) - 1;
    switch (s.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK: {
        if (s.spp != 1 || s.bps > 8 || s.compression == COMPRESSION_JPEG)
            return false;
        unsigned v = sample(page, x, y, 0) * 255 / max;
        if (s.photometric == PHOTOMETRIC_MINISWHITE)
            v = 255 - v;
        rgb[0] = rgb[1] = rgb[2] = static_cast<int>(v);
        return true;
    }
    case PHOTOMETRIC_RGB:
        if (s.spp != 3 || s.bps != 8 || s.compression == COMPRESSION_JPEG)
            return false;
        for (int c = 0; c < 3; ++c)
            rgb[c] = static_cast<int>(sample(page, x, y, c));
        return true;
    case PHOTOMETRIC_PALETTE: {
        const unsigned i = sample(page, x, y, 0), n = 1u << s.bps;
        for (int c = 0; c < 3; ++c)
            rgb[c] = s.colormap[c * n + i] >> 8;
        return true;
    }
    default:
        return false;
    }
}

/// Compares a rendering of the page with the source pixels, seen through the Orientation tag.
void compareRendering(const QString& pdf, int pageNo, const Page& page)
{
    const PageLayout& s = page.layout;
    int probe[3];
    if (!appearance(page, 0, 0, probe))
        return;
    Raster r;
    const bool gray = s.photometric == PHOTOMETRIC_MINISWHITE || s.photometric == PHOTOMETRIC_MINISBLACK;
    // Rendered eight times enlarged and read at the centre of each pixel's square: at 1:1 a renderer
    // may blend neighbouring pixels, enlarged by a whole factor it repeats them.
    QVERIFY2(render(pdf, pageNo, 72 * kZoom, gray, r), "pdftoppm failed");
    const bool turned = s.orientation >= ORIENTATION_LEFTTOP;
    const std::uint32_t W = s.width, H = s.height;
    QCOMPARE(r.width, int(turned ? H : W) * kZoom);
    QCOMPARE(r.height, int(turned ? W : H) * kZoom);
    int mismatches = 0;
    QString first;
    for (int Y = 0; Y < r.height / kZoom; ++Y)
        for (int X = 0; X < r.width / kZoom; ++X) {
            std::uint32_t x = X, y = Y;
            switch (s.orientation) {
            case ORIENTATION_TOPRIGHT:
                x = W - 1 - X;
                break;
            case ORIENTATION_BOTRIGHT:
                x = W - 1 - X, y = H - 1 - Y;
                break;
            case ORIENTATION_BOTLEFT:
                y = H - 1 - Y;
                break;
            case ORIENTATION_LEFTTOP:
                y = X, x = Y;
                break;
            case ORIENTATION_RIGHTTOP:
                y = H - 1 - X, x = Y;
                break;
            case ORIENTATION_RIGHTBOT:
                y = H - 1 - X, x = W - 1 - Y;
                break;
            case ORIENTATION_LEFTBOT:
                y = X, x = W - 1 - Y;
                break;
            default:
                break;
            }
            int want[3];
            appearance(page, x, y, want);
            for (int c = 0; c < r.channels; ++c) {
                const int shown = r.at(X * kZoom + kZoom / 2, Y * kZoom + kZoom / 2, c);
                if (std::abs(shown - want[c]) > 1 && mismatches++ == 0)
                    first = QString("at %1,%2 channel %3: shown %4, source %5")
                                .arg(X)
                                .arg(Y)
                                .arg(c)
                                .arg(shown)
                                .arg(want[c]);
            }
        }
    QVERIFY2(mismatches == 0, qPrintable(QString("%1 pixels differ, first %2").arg(mismatches).arg(first)));
}

/// The JPEG stream a reader needs for strip 0: the shared tables spliced in after the strip's SOI.
std::string tiffJpegStream(const QString& path)
{
    TIFF* tif = TIFFOpen(sp(path).c_str(), "r");
    if (!tif)
        return {};
    const tmsize_t size = static_cast<tmsize_t>(TIFFGetStrileByteCount(tif, 0));
    std::string strip(static_cast<std::size_t>(size), '\0');
    TIFFReadRawStrip(tif, 0, strip.data(), size);
    std::uint32_t n = 0;
    const char* tables = nullptr;
    std::string out = strip;
    if (TIFFGetField(tif, TIFFTAG_JPEGTABLES, &n, &tables) && n > 4)
        out = strip.substr(0, 2) + std::string(tables + 2, n - 4) + strip.substr(2);
    TIFFClose(tif);
    return out;
}

/// RGB pixels of a JPEG TIFF page as libtiff decodes them.
std::string tiffDecodedRgb(const QString& path)
{
    TIFF* tif = TIFFOpen(sp(path).c_str(), "r");
    if (!tif)
        return {};
    std::uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    std::vector<std::uint32_t> raster(std::size_t(w) * h);
    std::string out;
    if (TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 0)) {
        for (std::uint32_t p : raster) {
            out.push_back(static_cast<char>(TIFFGetR(p)));
            out.push_back(static_cast<char>(TIFFGetG(p)));
            out.push_back(static_cast<char>(TIFFGetB(p)));
        }
    }
    TIFFClose(tif);
    return out;
}

// ----- hand-made TIFF files for malformed inputs -----

struct Entry
{
    std::uint16_t tag;
    std::uint16_t type; // 3 SHORT, 4 LONG
    std::vector<std::uint32_t> values;
};

/// A little-endian TIFF: header, `data` at offset 8, then one IFD with `entries` (sorted by the caller).
QByteArray handMadeTiff(const std::vector<Entry>& entries, const QByteArray& data, std::uint32_t nextIfd = 0,
                        bool selfLoop = false)
{
    QByteArray out("II\x2a\x00", 4);
    const std::uint32_t ifd = 8 + static_cast<std::uint32_t>(data.size());
    auto put16 = [&](QByteArray& b, std::uint32_t v) { b.append(char(v & 255)).append(char(v >> 8 & 255)); };
    auto put32 = [&](QByteArray& b, std::uint32_t v) {
        put16(b, v & 0xFFFF);
        put16(b, v >> 16);
    };
    put32(out, ifd);
    out.append(data);
    QByteArray extra;
    const std::uint32_t extraStart = ifd + 2 + 12 * static_cast<std::uint32_t>(entries.size()) + 4;
    put16(out, static_cast<std::uint32_t>(entries.size()));
    for (const Entry& e : entries) {
        put16(out, e.tag);
        put16(out, e.type);
        put32(out, static_cast<std::uint32_t>(e.values.size()));
        QByteArray values;
        for (auto v : e.values)
            e.type == 3 ? put16(values, v) : put32(values, v);
        if (values.size() <= 4) {
            values.append(QByteArray(4 - values.size(), '\0'));
            out.append(values);
        } else {
            put32(out, extraStart + static_cast<std::uint32_t>(extra.size()));
            extra.append(values);
        }
    }
    put32(out, selfLoop ? ifd : nextIfd);
    out.append(extra);
    return out;
}

std::vector<Entry> grayEntries(std::uint32_t w, std::uint32_t h, std::uint32_t offset, std::uint32_t count,
                               std::uint32_t compression = 1)
{
    return {{256, 4, {w}},      {257, 4, {h}}, {258, 3, {8}}, {259, 3, {compression}}, {262, 3, {1}},
            {273, 4, {offset}}, {277, 3, {1}}, {278, 4, {h}}, {279, 4, {count}}};
}

/// `count` pages of 16 x 16 gray in one file, every directory pointing at the same strip.
QByteArray manyPages(std::uint32_t count)
{
    QByteArray out = handMadeTiff(grayEntries(16, 16, 8, 256), QByteArray(256, '\x40'));
    const QByteArray ifd = out.mid(8 + 256);
    for (std::uint32_t i = 1; i < count; ++i) {
        const auto next = static_cast<std::uint32_t>(out.size());
        for (int b = 0; b < 4; ++b)
            out[out.size() - 4 + b] = char(next >> (8 * b) & 255);
        out.append(ifd);
    }
    return out;
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestTiff2Pdf : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void convertsEveryKindLosslessly_data();
    void convertsEveryKindLosslessly();
    void honoursOrientation_data();
    void honoursOrientation();
    void pageSizeFollowsResolution_data();
    void pageSizeFollowsResolution();
    void malformedInputFailsCleanly_data();
    void malformedInputFailsCleanly();
    void thumbnailsAreNotPages();
    void helpAndMisuse();
    void existingOutputIsNotClobbered();
    void unusualFileNamesArriveIntact();
    void deflateBlocksAreFound_data();
    void deflateBlocksAreFound();
    void piecesMakeOneStreamWhateverTheThreads();
    void streamChoiceFollowsTheSample_data();
    void streamChoiceFollowsTheSample();

private:
    QString m_converter;
};

void TestTiff2Pdf::initTestCase()
{
    m_converter = converter();
    QVERIFY2(!m_converter.isEmpty(),
             "QUILLFEED_BIN_DIR is not set: the test must run the converter built here");
    QVERIFY2(QFileInfo(m_converter).isExecutable(), qPrintable(m_converter + " is missing"));
    QVERIFY2(QFileInfo(m_converter).canonicalFilePath() != "/usr/bin/tiff2pdf", "that is libtiff's tiff2pdf");
}

void TestTiff2Pdf::convertsEveryKindLosslessly_data()
{
    QTest::addColumn<Named>("kind");
    QTest::addColumn<QString>("carriage"); // the filter the image must travel under
    // Where row filters lose the page though they win its top: no larger than the samples as they
    // are at zlib's default level (qCompress, after its 4-byte length), but for the pieces' cost.
    QTest::addColumn<bool>("noLargerThanPlain");
    const QMap<QString, QString> filters{{"g4-miniswhite", "/CCITTFaxDecode"},
                                         {"g4-minisblack", "/CCITTFaxDecode"},
                                         {"g4-strips", "/CCITTFaxDecode"},
                                         {"g3-1d", "/CCITTFaxDecode"},
                                         {"g3-2d-fill", "/CCITTFaxDecode"},
                                         {"g4-lsb2msb", "/CCITTFaxDecode"},
                                         {"bilevel-packbits", "/CCITTFaxDecode"},
                                         {"bilevel-tiled", "/CCITTFaxDecode"},
                                         {"jpeg-ycbcr", "/DCTDecode"},
                                         {"jpeg-rgb", "/DCTDecode"},
                                         {"jpeg-gray", "/DCTDecode"},
                                         {"multipage", ""}};
    for (const Named& kind : allKinds())
        QTest::newRow(kind.name.c_str())
            << kind << filters.value(QString::fromStdString(kind.name), "/FlateDecode")
            << (kind.name == "gray8-noisy-then-dithered");
}

void TestTiff2Pdf::convertsEveryKindLosslessly()
{
    QFETCH(Named, kind);
    QFETCH(QString, carriage);
    QFETCH(bool, noLargerThanPlain);
    QTemporaryDir dir;
    const QString tif = dir.filePath("in.tif"), pdf = dir.filePath("out.pdf");
    QCOMPARE(QString::fromStdString(writeTiff(sp(tif), kind.pages)), QString());

    const Run r = convert({tif, pdf});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QCOMPARE(r.err, QByteArray());
    const Run check = run("qpdf", {"--check", pdf});
    QVERIFY2(check.exitCode == 0 && check.out.contains("No syntax or stream encoding errors"),
             check.out.constData());

    const auto images = pageImages(pdf);
    QCOMPARE(images.size(), kind.pages.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const Page& page = kind.pages[i];
        const PageLayout& s = page.layout;
        const PdfImage& img = images[i];
        QCOMPARE(img.width, (long long)s.width);
        QCOMPARE(img.height, (long long)s.height);
        if (!carriage.isEmpty())
            QCOMPARE(QString::fromStdString(img.filter), carriage);
        std::string expected = expectedSamples(page, false);
        const bool twoLevel =
            s.bps == 8 && s.photometric != PHOTOMETRIC_PALETTE && s.extraSample == kNoExtraSample &&
            s.compression != COMPRESSION_JPEG &&
            std::all_of(expected.begin(), expected.end(), [](char v) { return v == 0 || v == '\xff'; });
        QCOMPARE(img.bpc, twoLevel ? 1 : int(s.bps));
        if (twoLevel) { // each 0 or 255 as a bit, rows starting on a byte
            const std::size_t row = std::size_t(s.width) * s.spp, packedRow = (row + 7) / 8;
            std::string bits(packedRow * s.height, '\0');
            for (std::size_t i = 0; i < expected.size(); ++i)
                bits[i / row * packedRow + i % row / 8] |=
                    static_cast<char>(expected[i] & (0x80 >> (i % row % 8)));
            expected = bits;
        }

        if (img.filter == "/FlateDecode") {
            QVERIFY2(inflatesWhole(img.raw), "the image stream is not one whole zlib stream");
            if (s.compression == COMPRESSION_JPEG) {
                // Data that could not travel as JPEG is libtiff's decoding of it, pixel for pixel.
                QVERIFY(img.decoded == tiffDecodedRgb(tif));
            } else {
                QVERIFY2(img.decoded == expected, "image samples differ from the TIFF's");
                if (noLargerThanPlain) {
                    // The page is compressed in pieces, each a few bytes dearer than one stream:
                    // far under the 0.1 % allowed here, far over it the row filters' loss.
                    const QByteArray samples = QByteArray::fromStdString(img.decoded);
                    const qsizetype plain = qCompress(samples, 6).size() - 4;
                    QCOMPARE_LE(qsizetype(img.raw.size()), plain + plain / 1000);
                }
            }
            QCOMPARE(img.hasDecode, s.photometric == PHOTOMETRIC_MINISWHITE);
        } else if (img.filter == "/DCTDecode") {
            QVERIFY2(img.raw == tiffJpegStream(tif), "JPEG data was not passed through as it is");
        }
        if (s.extraSample != kNoExtraSample) {
            QVERIFY2(img.hasSMask, "alpha channel dropped");
            QVERIFY(img.smask == expectedSamples(page, true));
            QCOMPARE(img.hasMatte, s.extraSample == EXTRASAMPLE_ASSOCALPHA);
        } else {
            QVERIFY(!img.hasSMask);
        }
        const char* space = s.photometric == PHOTOMETRIC_PALETTE             ? "/Indexed"
                            : s.photometric == PHOTOMETRIC_SEPARATED         ? "/DeviceCMYK"
                            : s.spp - (s.extraSample != kNoExtraSample) >= 3 ? "/DeviceRGB"
                                                                             : "/DeviceGray";
        QCOMPARE(QString::fromStdString(img.colourSpace), QString(space));
        if (s.photometric == PHOTOMETRIC_PALETTE)
            QCOMPARE(img.hival, (long long)(1 << s.bps) - 1);
        compareRendering(pdf, static_cast<int>(i) + 1, page);
        if (QTest::currentTestFailed())
            return;
    }
    if (kind.name == "jpeg-ycbcr" || kind.name == "jpeg-rgb") {
        // The passed-through JPEG shows what libtiff decodes from the TIFF, up to JPEG decoder rounding.
        Raster r;
        QVERIFY(render(pdf, 1, 72 * kZoom, false, r));
        const std::string rgb = tiffDecodedRgb(tif);
        const PageLayout& s = kind.pages[0].layout;
        QCOMPARE(std::size_t(r.data.size()), rgb.size() * kZoom * kZoom);
        int worst = 0;
        for (std::uint32_t y = 0; y < s.height; ++y)
            for (std::uint32_t x = 0; x < s.width; ++x)
                for (int c = 0; c < 3; ++c)
                    worst = std::max(
                        worst, std::abs(r.at(x * kZoom + kZoom / 2, y * kZoom + kZoom / 2, c) -
                                        int(static_cast<unsigned char>(rgb[(y * s.width + x) * 3 + c]))));
        QVERIFY2(worst <= 2, qPrintable(QString("rendered JPEG differs by %1").arg(worst)));
    }
    QCOMPARE(QDir(dir.path()).entryList({".*"}, QDir::Files | QDir::Hidden), QStringList());
}

void TestTiff2Pdf::honoursOrientation_data()
{
    QTest::addColumn<int>("orientation");
    for (int o = 1; o <= 8; ++o)
        QTest::newRow(qPrintable(QString("orientation %1").arg(o))) << o;
}

void TestTiff2Pdf::honoursOrientation()
{
    QFETCH(int, orientation);
    PageLayout s;
    s.width = 24;
    s.height = 10;
    s.orientation = static_cast<std::uint16_t>(orientation);
    const Page page = makePage(s, 5);
    QTemporaryDir dir;
    const QString tif = dir.filePath("o.tif"), pdf = dir.filePath("o.pdf");
    QCOMPARE(QString::fromStdString(writeTiff(sp(tif), {page})), QString());
    const Run r = convert({tif, pdf});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    compareRendering(pdf, 1, page);
}

void TestTiff2Pdf::pageSizeFollowsResolution_data()
{
    QTest::addColumn<bool>("tagged");
    QTest::addColumn<float>("xres");
    QTest::addColumn<float>("yres");
    QTest::addColumn<int>("unit");
    QTest::addColumn<double>("widthPt");
    QTest::addColumn<double>("heightPt");
    // 600 x 300 pixels.
    QTest::newRow("300 dpi") << true << 300.f << 300.f << int(RESUNIT_INCH) << 144.0 << 72.0;
    QTest::newRow("200 x 100 dpi") << true << 200.f << 100.f << int(RESUNIT_INCH) << 216.0 << 216.0;
    QTest::newRow("per centimetre") << true << 100.f << 100.f << int(RESUNIT_CENTIMETER) << 432.0 / 2.54
                                    << 216.0 / 2.54;
    QTest::newRow("no tags: 300 dpi") << false << 0.f << 0.f << int(RESUNIT_INCH) << 144.0 << 72.0;
    QTest::newRow("unitless ratio") << true << 1.f << 2.f << int(RESUNIT_NONE) << 144.0 << 36.0;
    QTest::newRow("zero resolution") << true << 0.f << 0.f << int(RESUNIT_INCH) << 144.0 << 72.0;
}

void TestTiff2Pdf::pageSizeFollowsResolution()
{
    QFETCH(bool, tagged);
    QFETCH(float, xres);
    QFETCH(float, yres);
    QFETCH(int, unit);
    QFETCH(double, widthPt);
    QFETCH(double, heightPt);
    PageLayout s;
    s.width = 600;
    s.height = 300;
    s.bps = 1;
    s.photometric = PHOTOMETRIC_MINISWHITE;
    s.compression = COMPRESSION_CCITTFAX4;
    s.resolution = tagged;
    s.xres = xres;
    s.yres = yres;
    s.resUnit = static_cast<std::uint16_t>(unit);
    QTemporaryDir dir;
    const QString tif = dir.filePath("r.tif"), pdf = dir.filePath("r.pdf");
    QCOMPARE(QString::fromStdString(writeTiff(sp(tif), {makePage(s, 1)})), QString());
    const Run r = convert({tif, pdf});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    std::vector<std::pair<double, double>> sizes;
    pageImages(pdf, &sizes);
    QCOMPARE(sizes.size(), std::size_t(1));
    QVERIFY2(std::abs(sizes[0].first - widthPt) < 0.01 && std::abs(sizes[0].second - heightPt) < 0.01,
             qPrintable(QString("page is %1 x %2 pt").arg(sizes[0].first).arg(sizes[0].second)));
}

void TestTiff2Pdf::malformedInputFailsCleanly_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("input"); // "file" (the bytes), "missing", "fifo" or "link" (to a good TIFF)
    QTest::addColumn<QString>("cause");

    QTemporaryDir dir;
    auto fixtureBytes = [&](const std::vector<Page>& pages) {
        const QString path = dir.filePath("f.tif");
        writeTiff(sp(path), pages);
        return readBytes(path);
    };
    PageLayout g4;
    g4.bps = 1;
    g4.photometric = PHOTOMETRIC_MINISWHITE;
    g4.compression = COMPRESSION_CCITTFAX4;
    const QByteArray twoPages = fixtureBytes({makePage(g4, 1), makePage(g4, 2)});
    PageLayout bigStrip;
    bigStrip.width = 200;
    bigStrip.height = 200;
    const QByteArray plain = fixtureBytes({makePage(bigStrip, 3)});

    QTest::newRow("missing file") << QByteArray() << QStringLiteral("missing") << "cannot open";
    // Swapped in after the station looked: neither may hold the converter up or be followed.
    QTest::newRow("FIFO") << QByteArray() << QStringLiteral("fifo") << "not a regular file";
    QTest::newRow("symbolic link") << QByteArray() << QStringLiteral("link") << "symbolic link";
    QTest::newRow("empty file") << QByteArray() << QStringLiteral("file") << "empty";
    QTest::newRow("not a TIFF") << QByteArray("%PDF-1.4 this is not a tiff\n") << QStringLiteral("file")
                                << "not a readable TIFF";
    QTest::newRow("header only") << QByteArray("II\x2a\x00\x08\x00\x00\x00", 8) << QStringLiteral("file")
                                 << "not a readable TIFF";
    // libtiff writes the pixel data first and the directory last: cutting the file short loses the
    // last page's directory, which must fail the whole conversion rather than drop the page.
    QTest::newRow("truncated second page")
        << twoPages.left(twoPages.size() - 40) << QStringLiteral("file") << "page 2";
    QTest::newRow("strip runs past the end")
        << handMadeTiff(grayEntries(16, 16, 8, 256), QByteArray(100, '\x40')) << QStringLiteral("file")
        << "truncated";
    QTest::newRow("strip count too small") << handMadeTiff({{256, 4, {16}},
                                                            {257, 4, {16}},
                                                            {258, 3, {8}},
                                                            {259, 3, {1}},
                                                            {262, 3, {1}},
                                                            {273, 4, {8}},
                                                            {277, 3, {1}},
                                                            {278, 4, {4}},
                                                            {279, 4, {64}}},
                                                           QByteArray(64, '\x40'))
                                           << QStringLiteral("file") << "page 1";
    QTest::newRow("no pixel data") << handMadeTiff({{256, 4, {16}},
                                                    {257, 4, {16}},
                                                    {258, 3, {8}},
                                                    {259, 3, {1}},
                                                    {262, 3, {1}},
                                                    {277, 3, {1}},
                                                    {278, 4, {16}}},
                                                   QByteArray())
                                   << QStringLiteral("file") << "TIFF";
    QTest::newRow("zero byte strip") << handMadeTiff(grayEntries(16, 16, 8, 0), QByteArray())
                                     << QStringLiteral("file") << "page 1";
    QTest::newRow("absurd width") << handMadeTiff(grayEntries(4000000, 4000000, 8, 16), QByteArray(16, '\0'))
                                  << QStringLiteral("file") << "absurd size";
    QTest::newRow("absurd area") << handMadeTiff(grayEntries(100000, 100000, 8, 16), QByteArray(16, '\0'))
                                 << QStringLiteral("file") << "absurd size";
    QTest::newRow("zero width") << handMadeTiff(grayEntries(0, 16, 8, 16), QByteArray(16, '\0'))
                                << QStringLiteral("file") << "TIFF";
    QTest::newRow("corrupt G4 data") << handMadeTiff({{256, 4, {64}},
                                                      {257, 4, {64}},
                                                      {258, 3, {1}},
                                                      {259, 3, {4}},
                                                      {262, 3, {0}},
                                                      {273, 4, {8}},
                                                      {277, 3, {1}},
                                                      {278, 4, {64}},
                                                      {279, 4, {32}}},
                                                     QByteArray(32, '\0'))
                                     << QStringLiteral("file") << "CCITT";
    QTest::newRow("corrupt Deflate data")
        << handMadeTiff(
               grayEntries(16, 16, 8, 20, 8),
               QByteArray("\x78\x9c\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff",
                          20))
        << QStringLiteral("file") << "page 1";
    // Passes the checks made before writing; the decoding while the PDF is written fails.
    QTest::newRow("corrupt LZW data")
        << handMadeTiff(grayEntries(16, 16, 8, 20, 5), QByteArray("\x80") + QByteArray(19, '\xff'))
        << QStringLiteral("file") << "strip 1 is truncated or corrupt";
    QTest::newRow("directory loop") << handMadeTiff(grayEntries(16, 16, 8, 256), QByteArray(256, '\x40'), 0,
                                                    true)
                                    << QStringLiteral("file") << "page 2";
    QTest::newRow("more pages than the limit")
        << manyPages(50001) << QStringLiteral("file") << "more than 50000 pages";
    QTest::newRow("extra channel that is not alpha") << handMadeTiff({{256, 4, {4}},
                                                                      {257, 4, {4}},
                                                                      {258, 3, {8, 8}},
                                                                      {259, 3, {1}},
                                                                      {262, 3, {1}},
                                                                      {273, 4, {8}},
                                                                      {277, 3, {2}},
                                                                      {278, 4, {4}},
                                                                      {279, 4, {32}},
                                                                      {338, 3, {0}}},
                                                                     QByteArray(32, '\x10'))
                                                     << QStringLiteral("file") << "extra channel";
    QTest::newRow("unsupported colour model") << handMadeTiff({{256, 4, {4}},
                                                               {257, 4, {4}},
                                                               {258, 3, {8, 8, 8}},
                                                               {259, 3, {1}},
                                                               {262, 3, {8}},
                                                               {273, 4, {8}},
                                                               {277, 3, {3}},
                                                               {278, 4, {4}},
                                                               {279, 4, {48}}},
                                                              QByteArray(48, '\x10'))
                                              << QStringLiteral("file") << "colour model";
    QTest::newRow("uncompressed data cut short")
        << plain.left(plain.size() / 2) << QStringLiteral("file") << "";
}

void TestTiff2Pdf::malformedInputFailsCleanly()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, input);
    QFETCH(QString, cause);
    QTemporaryDir dir;
    const QString tif = dir.filePath("bad.tif"), pdf = dir.filePath("bad.pdf");
    if (input == "file")
        QVERIFY(writeBytes(tif, bytes));
    if (input == "fifo")
        QCOMPARE(::mkfifo(sp(tif).c_str(), 0600), 0);
    if (input == "link") {
        writeTiff(sp(dir.filePath("good.tif")), {makePage(PageLayout{}, 1)});
        QVERIFY(QFile::link(QStringLiteral("good.tif"), tif));
    }
    const Run r = convert({tif, pdf});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.startsWith("tiff2pdf: " + tif.toUtf8() + ": "), r.err.constData());
    QVERIFY2(r.err.contains(cause.toUtf8()), r.err.constData());
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY(!QFile::exists(pdf));
    // Nothing else left behind either: no temporary file.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(),
             input == "missing" ? 0
             : input == "link"  ? 2
                                : 1);
}

void TestTiff2Pdf::thumbnailsAreNotPages()
{
    PageLayout page;
    page.width = 60;
    PageLayout thumb;
    thumb.width = 15;
    thumb.height = 10;
    thumb.subfileType = FILETYPE_REDUCEDIMAGE;
    PageLayout last;
    last.width = 30;
    QTemporaryDir dir;
    const QString tif = dir.filePath("t.tif"), pdf = dir.filePath("t.pdf");
    QCOMPARE(QString::fromStdString(
                 writeTiff(sp(tif), {makePage(page, 1), makePage(thumb, 2), makePage(last, 3)})),
             QString());
    const Run r = convert({tif, pdf});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    const auto images = pageImages(pdf);
    QCOMPARE(images.size(), std::size_t(2));
    QCOMPARE(images[0].width, 60LL);
    QCOMPARE(images[1].width, 30LL);

    // A file of nothing but a thumbnail has no page to convert.
    const QString only = dir.filePath("only.tif");
    QCOMPARE(QString::fromStdString(writeTiff(sp(only), {makePage(thumb, 2)})), QString());
    const Run none = convert({only, dir.filePath("only.pdf")});
    QCOMPARE(none.exitCode, 1);
    QVERIFY2(none.err.contains("no page"), none.err.constData());
    QVERIFY(!QFile::exists(dir.filePath("only.pdf")));
}

void TestTiff2Pdf::helpAndMisuse()
{
    const Run help = convert({"-h"});
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.out.startsWith("Usage: tiff2pdf"));
    QVERIFY(help.out.contains("-f"));
    QCOMPARE(help.err, QByteArray());

    const QList<QStringList> misuses{
        {}, {"only-one.tif"}, {"a.tif", "b.pdf", "c.pdf"}, {"-x", "a.tif", "b.pdf"}};
    for (const QStringList& args : misuses) {
        const Run r = convert(args);
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(r.out, QByteArray());
        QVERIFY2(r.err.contains("Usage: tiff2pdf"), r.err.constData());
    }
}

void TestTiff2Pdf::existingOutputIsNotClobbered()
{
    QTemporaryDir dir;
    const QString tif = dir.filePath("in.tif"), pdf = dir.filePath("taken.pdf");
    PageLayout s;
    QCOMPARE(QString::fromStdString(writeTiff(sp(tif), {makePage(s, 1)})), QString());
    QVERIFY(writeBytes(pdf, "somebody else's file"));

    const Run refused = convert({tif, pdf});
    QCOMPARE(refused.exitCode, 1);
    QVERIFY2(refused.err.contains("already exists"), refused.err.constData());
    QCOMPARE(readBytes(pdf), QByteArray("somebody else's file"));

    // Nor the input when it is named as the output, even with -f.
    const Run self = convert({"-f", tif, tif});
    QCOMPARE(self.exitCode, 1);
    QVERIFY(readBytes(tif).startsWith("II*"));

    const Run forced = convert({"-f", tif, pdf});
    QVERIFY2(forced.exitCode == 0, forced.err.constData());
    QVERIFY(readBytes(pdf).startsWith("%PDF-"));

    const Run noFolder = convert({tif, dir.filePath("missing/out.pdf")});
    QCOMPARE(noFolder.exitCode, 1);
    QVERIFY2(noFolder.err.contains("folder"), noFolder.err.constData());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void TestTiff2Pdf::unusualFileNamesArriveIntact()
{
    QTemporaryDir dir;
    const QString tif = dir.filePath("scan \"1\" $HOME; rm -rf x.tif");
    const QString pdf = dir.filePath("-out 'a' & b.pdf");
    PageLayout s;
    QCOMPARE(QString::fromStdString(writeTiff(sp(tif), {makePage(s, 1)})), QString());
    const Run r = convert({tif, pdf});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QVERIFY(readBytes(pdf).startsWith("%PDF-"));

    // A name as long as the file system allows still gets its temporary file beside it.
    const QString longName = dir.filePath(QString(251, 'n') + ".pdf");
    const Run l = convert({tif, longName});
    QVERIFY2(l.exitCode == 0, l.err.constData());
    QVERIFY(readBytes(longName).startsWith("%PDF-"));
}

namespace {

/// Where zlib's inflate finds the last block's header and the stream's end, in bits; empty when it
/// does not read the stream to its end.
std::optional<std::pair<std::uint64_t, std::uint64_t>> inflateBlocks(const QByteArray& raw)
{
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        return std::nullopt;
    std::vector<unsigned char> out(64 * 1024);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.constData()));
    z.avail_in = static_cast<uInt>(raw.size());
    std::uint64_t header = 0, end = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        rc = inflate(&z, Z_BLOCK);
        // The low six bits: bits read ahead, not yet used; bit 6: the last block is done.
        if (rc == Z_OK && (z.data_type & 128))
            (z.data_type & 64 ? end : header) =
                std::uint64_t(raw.size() - z.avail_in) * 8 - unsigned(z.data_type & 63);
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END)
        return std::nullopt;
    return std::make_pair(header, end);
}

QByteArray zlibRaw(const QByteArray& in, int level, int strategy)
{
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy);
    QByteArray out(int(deflateBound(&z, uLong(in.size()))), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.constData()));
    z.avail_in = uInt(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(int(z.total_out));
    deflateEnd(&z);
    return out;
}

QByteArray libdeflateRaw(const QByteArray& in, int level)
{
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    QByteArray out(int(libdeflate_deflate_compress_bound(c, size_t(in.size()))), '\0');
    out.resize(int(
        libdeflate_deflate_compress(c, in.constData(), size_t(in.size()), out.data(), size_t(out.size()))));
    libdeflate_free_compressor(c);
    return out;
}

} // namespace

// The converter joins libdeflate's pieces where this reader says their last block is: a reader that
// turned good streams away would leave every page to zlib's slower path, unseen, and one that read a
// code wrong would put the join in the wrong place.
void TestTiff2Pdf::deflateBlocksAreFound_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<qsizetype>("size");
    // Text-like bytes with runs and repeats, and noise that does not compress: dynamic blocks of
    // every shape, and stored blocks.
    QByteArray text, noise;
    std::uint32_t x = 12345;
    for (int i = 0; i < 600000; ++i) {
        x = x * 1103515245 + 12345;
        text.append(char(i % 997 < 300 ? 'a' + (x >> 16) % 7 : (i / 61) % 256));
        noise.append(char(x >> 24));
    }
    for (int level : {1, 4, 7, 12})
        QTest::addRow("libdeflate %d, text", level) << libdeflateRaw(text, level) << text.size();
    QTest::addRow("libdeflate 6, noise (stored blocks)") << libdeflateRaw(noise, 6) << noise.size();
    QTest::addRow("zlib fixed codes") << zlibRaw(text, 6, Z_FIXED) << text.size();
    QTest::addRow("zlib stored") << zlibRaw(text, 0, Z_DEFAULT_STRATEGY) << text.size();
    QTest::addRow("zlib runs") << zlibRaw(text, 6, Z_RLE) << text.size();
    QTest::addRow("empty") << libdeflateRaw(QByteArray(), 6) << qsizetype(0);
    const QByteArray good = libdeflateRaw(text, 4);
    QTest::addRow("one byte short") << good.left(good.size() - 1) << text.size();
    QTest::addRow("one byte more") << good + '\0' << text.size();
    QTest::addRow("claims another size") << good << text.size() - 1;
    QByteArray reserved = good;
    reserved[0] = char(reserved[0] | 6); // block type 3, which deflate reserves
    QTest::addRow("reserved block type") << reserved << text.size();
}

void TestTiff2Pdf::deflateBlocksAreFound()
{
    QFETCH(QByteArray, raw);
    QFETCH(qsizetype, size);
    std::optional<std::pair<std::uint64_t, std::uint64_t>> expected = inflateBlocks(raw);
    // Only a stream that ends in its last byte and makes the size claimed is to be found.
    if (expected && (expected->second + 7) / 8 != std::uint64_t(raw.size()))
        expected.reset();
    if (expected) {
        QByteArray back(int(size) + 1, '\0');
        uLongf made = uLongf(back.size());
        z_stream z{};
        inflateInit2(&z, -15);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.constData()));
        z.avail_in = uInt(raw.size());
        z.next_out = reinterpret_cast<Bytef*>(back.data());
        z.avail_out = uInt(made);
        inflate(&z, Z_FINISH);
        if (z.total_out != uLong(size))
            expected.reset();
        inflateEnd(&z);
    }
    const auto found = tiff2pdf::lastBlock(reinterpret_cast<const std::uint8_t*>(raw.constData()),
                                           std::size_t(raw.size()), std::uint64_t(size));
    QCOMPARE(found.has_value(), expected.has_value());
    if (expected) {
        QCOMPARE(found->first, expected->first);
        QCOMPARE(found->second, expected->second);
    }
}

// Every stream is lossless; a wrong choice costs size or time. These rows pin the margin that row
// filters must win by, and the one the search must beat runs alone by, runs being several times faster.
void TestTiff2Pdf::streamChoiceFollowsTheSample_data()
{
    QTest::addColumn<quint64>("filtered");
    QTest::addColumn<quint64>("runs");
    QTest::addColumn<quint64>("plain");
    QTest::addColumn<int>("expected");
    using tiff2pdf::FlateStream;
    QTest::newRow("filters win clearly, search smaller")
        << quint64(500) << quint64(600) << quint64(1000) << int(FlateStream::Filtered);
    QTest::newRow("filters win clearly, runs smaller")
        << quint64(600) << quint64(500) << quint64(1000) << int(FlateStream::FilteredRuns);
    QTest::newRow("runs as small as the search")
        << quint64(500) << quint64(500) << quint64(1000) << int(FlateStream::FilteredRuns);
    QTest::newRow("filters short of the margin by bytes")
        << quint64(700) << quint64(700) << quint64(701) << int(FlateStream::Plain);
    QTest::newRow("filters win by exactly the margin")
        << quint64(1000) << quint64(1100) << quint64(1020) << int(FlateStream::Filtered);
    QTest::newRow("filters win by less than the margin")
        << quint64(1000) << quint64(1100) << quint64(1019) << int(FlateStream::Plain);
    QTest::newRow("the best filtered one sets the margin")
        << quint64(1100) << quint64(1000) << quint64(1020) << int(FlateStream::FilteredRuns);
    QTest::newRow("search smaller by less than its margin")
        << quint64(980) << quint64(1000) << quint64(2000) << int(FlateStream::FilteredRuns);
    QTest::newRow("search smaller by its margin")
        << quint64(1000) << quint64(1030) << quint64(2000) << int(FlateStream::Filtered);
    QTest::newRow("plain smaller") << quint64(900) << quint64(800) << quint64(700) << int(FlateStream::Plain);
    QTest::newRow("tie") << quint64(800) << quint64(800) << quint64(800) << int(FlateStream::Plain);
    const quint64 tera = quint64(1) << 40;
    QTest::newRow("sizes past 32 bits") << tera << tera << tera + tera / 32 << int(FlateStream::FilteredRuns);
}

void TestTiff2Pdf::streamChoiceFollowsTheSample()
{
    QFETCH(quint64, filtered);
    QFETCH(quint64, runs);
    QFETCH(quint64, plain);
    QFETCH(int, expected);
    tiff2pdf::StreamTrial trial;
    trial.filtered = filtered;
    trial.filteredRuns = runs;
    trial.plain = plain;
    trial.twoLevel = false;
    QCOMPARE(int(tiff2pdf::chooseStream(trial)), expected);
}

QTEST_GUILESS_MAIN(TestTiff2Pdf)
void TestTiff2Pdf::piecesMakeOneStreamWhateverTheThreads()
{
    // Flat tints that pack tightly (the first piece sizes the rest), at the plain stream's
    // levels, which change from piece to piece.
    QByteArray page(12 << 20, '\0');
    for (qsizetype i = 0; i < page.size(); ++i)
        page[i] = char(i / 300000 % 5 * 40 + (i % 9000 == 0));
    const auto compressed = [&](unsigned threads) {
        QByteArray out;
        const tiff2pdf::ByteSink sink = [&](const std::uint8_t* data, std::size_t size) {
            out.append(reinterpret_cast<const char*>(data), qsizetype(size));
        };
        tiff2pdf::FlatePool pool(threads);
        tiff2pdf::ParallelFlate flate(sink, 7, Z_DEFAULT_STRATEGY, pool, 4 << 20);
        flate.write(reinterpret_cast<const std::uint8_t*>(page.constData()), std::size_t(page.size()));
        flate.finish();
        return out;
    };
    const QByteArray alone = compressed(1);
    QVERIFY(compressed(3) == alone);
    QCOMPARE(qUncompress(QByteArray("\x00\xc0\x00\x00", 4) + alone), page); // with its size first
}

#include "tst_tiff2pdf.moc"
