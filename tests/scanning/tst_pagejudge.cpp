// SPDX-License-Identifier: GPL-3.0-or-later
// Pages that are hard to tell, made here as a scanner would deliver them (a
// little blur, noise, written by the scan run's own page writer), and what the
// page judgement must say of each.
#include "PageJudge.h"
#include "TiffPageWriter.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTemporaryDir>
#include <QtTest>

#include <qrencode.h>

#include <functional>
#include <random>

namespace {

using Draw = std::function<void(QPainter&, double mm)>;
using Kind = TiffPageWriter::Kind;

struct Page
{
    // Paper of no colour given is white, as white as scanners see it.
    Page(QColor paper = {}, Draw draw = {}, Kind kind = Kind::Gray, int dpi = 300, Draw back = {})
        : paper(paper.isValid() ? paper : QColor(245, 245, 245)), draw(draw), kind(kind), dpi(dpi), back(back)
    {
    }
    QColor paper;
    Draw draw;
    Kind kind;
    int dpi;
    Draw back; // print on the other side, seen through the paper
};

QImage render(const Page& page)
{
    const double mm = page.dpi / 25.4;
    QImage image(int(210 * mm), int(297 * mm), QImage::Format_RGB888);
    image.fill(page.paper);
    if (page.back) {
        // Show-through: the other side mirrored, blurred by the paper, at 5 % of its ink.
        QImage back(image.size(), QImage::Format_Grayscale8);
        back.fill(Qt::white);
        QPainter p(&back);
        page.back(p, mm);
        p.end();
        back = back.mirrored(true, false)
                   .scaled(back.size() / 12)
                   .scaled(back.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const double shade = 1 - 0.05 * (255 - qGray(back.pixel(x, y))) / 255.0;
                const QColor c = image.pixelColor(x, y);
                image.setPixelColor(
                    x, y, QColor(int(c.red() * shade), int(c.green() * shade), int(c.blue() * shade)));
            }
    }
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    if (page.draw)
        page.draw(p, mm);
    p.end();
    // The scanner's optics and sensor: a slight blur, then noise of a few levels.
    image = image.scaled(image.size() * 2 / 3, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                .scaled(image.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    std::minstd_rand random(7);
    for (int y = 0; y < image.height(); ++y) {
        uchar* row = image.scanLine(y);
        for (int i = 0; i < image.width() * 3; ++i) {
            const unsigned r = unsigned(random());
            row[i] = uchar(std::clamp(row[i] + (int(r & 255) - int((r >> 8) & 255)) * 3 / 104, 0, 255));
        }
    }
    return image;
}

QString writePage(const QString& folder, const Page& page)
{
    const QImage image = render(page);
    TiffPageWriter writer(folder, QStringLiteral("img"));
    if (!writer.begin(page.kind, image.width(), image.height(), page.dpi, page.dpi, 1))
        return writer.error();
    QByteArray row(image.width() * 3, 0);
    for (int y = 0; y < image.height(); ++y) {
        const uchar* in = image.constScanLine(y);
        row.fill(0);
        for (int x = 0; x < image.width(); ++x) {
            const int gray = qGray(in[3 * x], in[3 * x + 1], in[3 * x + 2]);
            if (page.kind == Kind::Gray)
                row[x] = char(gray);
            else if (page.kind == Kind::Bilevel && gray < 128)
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        }
        if (!writer.writeRow(page.kind == Kind::Rgb ? in : reinterpret_cast<const uchar*>(row.constData())))
            return writer.error();
    }
    return writer.commit() ? writer.committedPath() : writer.error();
}

void qr(QPainter& p, double x, double y, double module, const char* text)
{
    QRcode* code = QRcode_encodeString(text, 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    for (int r = 0; r < code->width; ++r)
        for (int c = 0; c < code->width; ++c)
            if (code->data[r * code->width + c] & 1)
                p.fillRect(QRectF(x + c * module, y + r * module, module, module), Qt::black);
    QRcode_free(code);
}

// Code 39: nine bars and spaces a character, three of them wide (1).
void code39(QPainter& p, double x, double y, double narrow, double height, const QString& text)
{
    static const QHash<QChar, QString> patterns = {{'*', "010010100"}, {'P', "001010010"}, {'A', "100001001"},
                                                   {'T', "000010110"}, {'C', "101001000"}, {'H', "100001100"},
                                                   {'2', "001100001"}};
    for (const QChar ch : QLatin1Char('*') + text + QLatin1Char('*')) {
        const QString pattern = patterns.value(ch);
        for (int i = 0; i < 9; ++i) {
            const double width = pattern[i] == QLatin1Char('1') ? 2.5 * narrow : narrow;
            if (i % 2 == 0)
                p.fillRect(QRectF(x, y, width, height), Qt::black);
            x += width;
        }
        x += narrow;
    }
}

void text(QPainter& p, double mm, QPointF at, const QString& words, QColor ink = Qt::black)
{
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPixelSize(int(3.5 * mm));
    p.setFont(font);
    p.setPen(ink);
    p.drawText(at * mm, words);
}

// A printed form: a heading, ruled boxes, a few lines of text.
void form(QPainter& p, double mm, QColor ink, bool heading = true)
{
    p.setPen(QPen(ink, 0.2 * mm));
    for (int i = 0; i < 6; ++i)
        p.drawRect(QRectF(20 * mm, (120 + 20 * i) * mm, 170 * mm, 14 * mm));
    if (heading)
        text(p, mm, {20, 110}, QStringLiteral("Application form: name, address, date of birth"), ink);
}

void specks(QPainter& p, double mm)
{
    std::minstd_rand random(3);
    for (int i = 0; i < 40; ++i)
        p.fillRect(QRectF((10 + random() % 190) * mm, (10 + random() % 277) * mm, 0.15 * mm, 0.2 * mm),
                   Qt::black);
}

} // namespace

Q_DECLARE_METATYPE(Page)

class TestPageJudge : public QObject
{
    Q_OBJECT

private slots:
    void judgesPages_data();
    void judgesPages();
    void unreadablePageIsNeitherBlankNorCoded_data();
    void unreadablePageIsNeitherBlankNorCoded();

private:
    QTemporaryDir m_dir;
};

void TestPageJudge::judgesPages_data()
{
    QTest::addColumn<Page>("page");
    QTest::addColumn<bool>("readCodes");
    QTest::addColumn<bool>("blank");
    QTest::addColumn<QStringList>("codes");
    const QColor yellow(250, 240, 165), blue(200, 222, 248);
    auto row = [](const char* name, const Page& page, bool blank, bool readCodes = false,
                  const QStringList& codes = {}) {
        QTest::newRow(name) << page << readCodes << blank << codes;
    };

    row("white paper", {}, true);
    row("white paper, colour at 200 dpi", {{}, {}, Kind::Rgb, 200}, true);
    row("scanner shadow along the edges",
        {{},
         [](QPainter& p, double mm) {
             QLinearGradient shade(0, 0, 4 * mm, 0);
             shade.setColorAt(0, QColor(40, 40, 40));
             shade.setColorAt(1, QColor(245, 245, 245));
             p.fillRect(QRectF(0, 0, 4 * mm, 297 * mm), shade);
             p.fillRect(QRectF(0, 0, 210 * mm, 2 * mm), QColor(80, 80, 80));
         }},
        true);
    row("punched holes",
        {{},
         [](QPainter& p, double mm) {
             p.setPen(QPen(QColor(60, 60, 60), 0.8 * mm));
             p.setBrush(QColor(120, 120, 120));
             p.drawEllipse(QPointF(12 * mm, 100 * mm), 3 * mm, 3 * mm);
             p.drawEllipse(QPointF(12 * mm, 180 * mm), 3 * mm, 3 * mm);
         }},
        true);
    row("dust specks", {{}, specks}, true);
    row("black and white, dust specks", {{}, specks, Kind::Bilevel}, true);
    row("show-through of the other side",
        {{},
         {},
         Kind::Gray,
         300,
         [](QPainter& p, double mm) {
             for (int i = 0; i < 30; ++i)
                 text(p, mm, QPointF(20, 30 + 8 * i),
                      QStringLiteral("Dear Sir, we write to you about the invoice"));
         }},
        true);
    row("light yellow paper", {yellow, {}, Kind::Rgb}, true);
    row("light blue paper, dust specks", {blue, specks, Kind::Rgb, 200}, true);

    row("a faint pencil line",
        {{},
         [](QPainter& p, double mm) {
             p.setPen(QPen(QColor(200, 200, 200), 0.3 * mm));
             p.drawLine(QPointF(60 * mm, 150 * mm), QPointF(110 * mm, 152 * mm));
         }},
        false);
    row("a signature",
        {{},
         [](QPainter& p, double mm) {
             QPainterPath path(QPointF(120 * mm, 250 * mm));
             path.cubicTo(QPointF(125 * mm, 235 * mm), QPointF(130 * mm, 262 * mm),
                          QPointF(140 * mm, 248 * mm));
             path.cubicTo(QPointF(145 * mm, 240 * mm), QPointF(150 * mm, 255 * mm),
                          QPointF(160 * mm, 249 * mm));
             p.setPen(QPen(QColor(30, 40, 120), 0.4 * mm));
             p.drawPath(path);
         },
         Kind::Rgb},
        false);
    row("a light stamp",
        {{},
         [](QPainter& p, double mm) {
             p.setPen(QPen(QColor(250, 190, 190), 0.8 * mm));
             p.drawEllipse(QPointF(150 * mm, 60 * mm), 15 * mm, 15 * mm);
         },
         Kind::Rgb},
        false);
    row("a light gray form", {{}, [](QPainter& p, double mm) { form(p, mm, QColor(205, 205, 205), false); }},
        false);
    row("a short line beside the holes",
        {{},
         [](QPainter& p, double mm) {
             p.setPen(QPen(QColor(60, 60, 60), 0.4 * mm));
             p.drawLine(QPointF(14 * mm, 40 * mm), QPointF(14 * mm, 60 * mm));
         }},
        false);
    row("text on yellow paper",
        {yellow,
         [](QPainter& p, double mm) {
             text(p, mm, {30, 200}, QStringLiteral("Paid 12.3."), {20, 20, 90});
         },
         Kind::Rgb},
        false);
    row("black and white, one word",
        {{},
         [](QPainter& p, double mm) {
             text(p, mm, {100, 100}, QStringLiteral("Copy"));
         },
         Kind::Bilevel},
        false);

    const QStringList patcht{QStringLiteral("PATCHT")};
    auto qrOnForm = [](const char* code) {
        return [code](QPainter& p, double mm) {
            form(p, mm, Qt::black);
            qr(p, 150 * mm, 20 * mm, 0.6 * mm, code);
        };
    };
    row("QR code on a form", {{}, qrOnForm("PATCHT")}, false, true, patcht);
    row("QR code, colour at 200 dpi", {blue, qrOnForm("PATCHT"), Kind::Rgb, 200}, false, true, patcht);
    row("QR code, black and white", {{}, qrOnForm("PATCHT"), Kind::Bilevel}, false, true, patcht);
    row("QR code of PATCHT2", {{}, qrOnForm("PATCHT2")}, false, true, {QStringLiteral("PATCHT2")});
    row("QR code of xPATCHT", {{}, qrOnForm("xPATCHT")}, false, true, {QStringLiteral("xPATCHT")});
    row("QR code, codes not asked for", {{}, qrOnForm("PATCHT")}, false, false, {});
    auto code39OnForm = [](const char* code) {
        return [code](QPainter& p, double mm) {
            form(p, mm, Qt::black);
            code39(p, 60 * mm, 30 * mm, 0.3 * mm, 12 * mm, QString::fromLatin1(code));
        };
    };
    row("Code 39 on a form", {{}, code39OnForm("PATCHT")}, false, true, patcht);
    row("Code 39 at 200 dpi", {{}, code39OnForm("PATCHT"), Kind::Gray, 200}, false, true, patcht);
    row("Code 39 of PATCHT2", {{}, code39OnForm("PATCHT2")}, false, true, {QStringLiteral("PATCHT2")});
    row("a form without codes", {{}, [](QPainter& p, double mm) { form(p, mm, Qt::black); }}, false, true,
        {});
}

void TestPageJudge::judgesPages()
{
    QFETCH(Page, page);
    QFETCH(bool, readCodes);
    const QString path = writePage(m_dir.path(), page);
    QVERIFY2(QFile::exists(path), qPrintable(path));
    const PageJudge::Verdict verdict = PageJudge::judge(path, readCodes);
    QVERIFY2(verdict.error.isEmpty(), qPrintable(verdict.error));
    QTEST(verdict.blank, "blank");
    QTEST(verdict.codes, "codes");
    QFile::remove(path);
}

void TestPageJudge::unreadablePageIsNeitherBlankNorCoded_data()
{
    QTest::addColumn<int>("keptBytes");
    QTest::addColumn<bool>("overwritten");
    QTest::newRow("cut short") << 30000 << false;
    QTest::newRow("image data overwritten") << -1 << true;
    QTest::newRow("empty file") << 0 << false;
}

void TestPageJudge::unreadablePageIsNeitherBlankNorCoded()
{
    QFETCH(int, keptBytes);
    QFETCH(bool, overwritten);
    // A page with a QR code: whole, it would be judged and its code read.
    Page page(
        {}, [](QPainter& p, double mm) { qr(p, 150 * mm, 20 * mm, 0.6 * mm, "PATCHT"); }, Kind::Gray, 200);
    const QString path = writePage(m_dir.path(), page);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    if (keptBytes >= 0)
        QVERIFY(file.resize(keptBytes));
    // The strips come first in the file, its directory last.
    if (overwritten && file.seek(8))
        QVERIFY(file.write(QByteArray(int(file.size() / 2), '\x55')) > 0);
    file.close();
    const PageJudge::Verdict verdict = PageJudge::judge(path, true);
    QVERIFY(verdict.error.contains(path));
    QVERIFY(!verdict.blank);
    QVERIFY(verdict.codes.isEmpty());
    QFile::remove(path);
}

QTEST_MAIN(TestPageJudge)
#include "tst_pagejudge.moc"
