// SPDX-License-Identifier: GPL-3.0-or-later
// The codec of the proxy credentials: unpadded encoder, group-of-four decoder.
#include "Base64.h"

#include <QTest>

using namespace Base64;

class tst_Base64 : public QObject
{
    Q_OBJECT
private slots:
    void alphabetInValueOrder();
    void digitAndValue_data();
    void digitAndValue();
    void encodeExamples_data();
    void encodeExamples();
    void decodeExamples_data();
    void decodeExamples();
    void encodeMatchesStandardWithoutPadding_data();
    void encodeMatchesStandardWithoutPadding();
    void roundTripOfEveryByteValue();
    void decoderArithmeticOnForeignCharacters_data();
    void decoderArithmeticOnForeignCharacters();
    void paddedForTheProxyHeader_data();
    void paddedForTheProxyHeader();
};

void tst_Base64::alphabetInValueOrder()
{
    const QByteArray a = alphabet();
    QCOMPARE(a.size(), 64);
    QCOMPARE(a, QByteArray("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"));
    for (int n = 0; n < 64; ++n) {
        QCOMPARE(base64_digit(n), a.mid(n, 1));
        QCOMPARE(base64_value(a.mid(n, 1)), n);
    }
}

void tst_Base64::digitAndValue_data()
{
    QTest::addColumn<QByteArray>("character");
    QTest::addColumn<int>("value");
    QTest::newRow("A") << QByteArray("A") << 0;
    QTest::newRow("Z") << QByteArray("Z") << 25;
    QTest::newRow("a") << QByteArray("a") << 26;
    QTest::newRow("z") << QByteArray("z") << 51;
    QTest::newRow("0") << QByteArray("0") << 52;
    QTest::newRow("9") << QByteArray("9") << 61;
    QTest::newRow("+") << QByteArray("+") << 62;
    QTest::newRow("/") << QByteArray("/") << 63;
    QTest::newRow("empty") << QByteArray() << -1;
    QTest::newRow("=") << QByteArray("=") << -1;
    QTest::newRow("blank") << QByteArray(" ") << -1;
    QTest::newRow("CR") << QByteArray("\r") << -1;
    QTest::newRow("LF") << QByteArray("\n") << -1;
    QTest::newRow("NUL") << QByteArray(1, '\0') << -1;
    QTest::newRow("minus (url-safe 62)") << QByteArray("-") << -1;
    QTest::newRow("underscore (url-safe 63)") << QByteArray("_") << -1;
    QTest::newRow("byte 0xC1") << QByteArray("\xC1") << -1;
}

void tst_Base64::digitAndValue()
{
    QFETCH(QByteArray, character);
    QFETCH(int, value);
    QCOMPARE(base64_value(character), value);
    QCOMPARE(base64_digit(value), value < 0 ? QByteArray() : character);
}

void tst_Base64::encodeExamples_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("encoded");
    QTest::newRow("abc") << QByteArray("abc") << QByteArray("YWJj");
    QTest::newRow("ab") << QByteArray("ab") << QByteArray("YWI");
    QTest::newRow("a") << QByteArray("a") << QByteArray("YQ");
    QTest::newRow("abcd") << QByteArray("abcd") << QByteArray("YWJjZA");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("colon alone") << QByteArray(":") << QByteArray("Og");
    QTest::newRow("user:pass") << QByteArray("user:pass") << QByteArray("dXNlcjpwYXNz");
    QTest::newRow("Aladdin") << QByteArray("Aladdin:open sesame") << QByteArray("QWxhZGRpbjpvcGVuIHNlc2FtZQ");
    QTest::newRow("high bytes") << QByteArray("\xff\xfe\xfd") << QByteArray("//79");
    QTest::newRow("zero bytes") << QByteArray(4, '\0') << QByteArray("AAAAAA");
}

void tst_Base64::encodeExamples()
{
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, encoded);
    QCOMPARE(base64_encode(plain), encoded);
    QVERIFY(!base64_encode(plain).contains('='));
}

void tst_Base64::decodeExamples_data()
{
    QTest::addColumn<QByteArray>("encoded");
    QTest::addColumn<QByteArray>("plain");
    QTest::newRow("YWJj") << QByteArray("YWJj") << QByteArray("abc");
    QTest::newRow("YWI") << QByteArray("YWI") << QByteArray("ab");
    QTest::newRow("YWI=") << QByteArray("YWI=") << QByteArray("ab");
    QTest::newRow("YQ") << QByteArray("YQ") << QByteArray("a");
    QTest::newRow("YQ==") << QByteArray("YQ==") << QByteArray("a");
    QTest::newRow("Y") << QByteArray("Y") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("YWJjZA") << QByteArray("YWJjZA") << QByteArray("abcd");
    QTest::newRow("YWJjZA==") << QByteArray("YWJjZA==") << QByteArray("abcd");
    // Case matters: "ywjj" is other sextets, not "abc".
    QTest::newRow("lower case ywjj") << QByteArray("ywjj") << QByteArray("\xcb\x08\xe3", 3);
    QTest::newRow("upper case YWJJ") << QByteArray("YWJJ") << QByteArray("abI");
}

void tst_Base64::decodeExamples()
{
    QFETCH(QByteArray, encoded);
    QFETCH(QByteArray, plain);
    QCOMPARE(base64_decode(encoded), plain);
}

void tst_Base64::encodeMatchesStandardWithoutPadding_data()
{
    QTest::addColumn<QByteArray>("plain");
    // Lengths 0 to 7 over bytes that exercise every bit of each sextet.
    const QByteArray source("\x00\xff\x10\x83\x7f\xa5\x5a\xc3", 8);
    for (int len = 0; len <= 7; ++len) {
        QTest::addRow("length %d", len) << source.left(len);
        QTest::addRow("length %d text", len) << QByteArray("Quillfd").left(len);
    }
}

void tst_Base64::encodeMatchesStandardWithoutPadding()
{
    QFETCH(QByteArray, plain);
    const QByteArray standard = plain.toBase64();
    const QByteArray unpadded = plain.toBase64(QByteArray::OmitTrailingEquals);
    QCOMPARE(base64_encode(plain), unpadded);
    QCOMPARE(padded(base64_encode(plain)), standard);
    QCOMPARE(base64_decode(standard), plain);
    QCOMPARE(base64_decode(unpadded), plain);
    // Two digits for a final single byte, three for a final pair.
    const qsizetype rest = plain.size() % 3;
    QCOMPARE(base64_encode(plain).size(), plain.size() / 3 * 4 + (rest == 0 ? 0 : rest + 1));
}

void tst_Base64::roundTripOfEveryByteValue()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    // Each byte at each of the three positions of a group, and every length.
    for (int shift = 0; shift < 3; ++shift) {
        const QByteArray in = QByteArray(shift, 'x') + all;
        QCOMPARE(base64_decode(base64_encode(in)), in);
        QCOMPARE(base64_encode(in), in.toBase64(QByteArray::OmitTrailingEquals));
    }
    for (int b = 0; b < 256; ++b) {
        const QByteArray one(1, static_cast<char>(b));
        QCOMPARE(base64_decode(base64_encode(one)), one);
        const QByteArray pair = one + static_cast<char>(255 - b);
        QCOMPARE(base64_decode(base64_encode(pair)), pair);
    }
}

void tst_Base64::decoderArithmeticOnForeignCharacters_data()
{
    QTest::addColumn<QByteArray>("encoded");
    QTest::addColumn<QByteArray>("plain");
    // A foreign first character is a -1 sextet that still enters the first byte:
    // (-1 * 4 + 22 / 16) And 255 = 253 for "?W".
    QTest::newRow("foreign first") << QByteArray("?WJj") << QByteArray("\xfd\x62\x63", 3);
    // A foreign second character leaves the first byte out, but enters the second:
    // (-1 * 16 + 9 / 4) And 255 = 242.
    QTest::newRow("foreign second") << QByteArray("Y?Jj") << QByteArray("\xf2\x63", 2);
    // A foreign third character: the third byte is (-1 * 64 + 35) And 255 = 227.
    QTest::newRow("foreign third") << QByteArray("YW?j") << QByteArray("a\xe3", 2);
    QTest::newRow("foreign fourth") << QByteArray("YWJ?") << QByteArray("ab");
    // Nothing is skipped: a blank shifts the groups.
    QTest::newRow("blank in front") << QByteArray(" YWJj") << QByteArray("\xfd\x85\x89", 3);
    QTest::newRow("line break inside") << QByteArray("YWJj\r\nYWJj") << QByteArray("abc\xf6\x16&", 6);
    QTest::newRow("padding only") << QByteArray("====") << QByteArray();
    QTest::newRow("equals in middle") << QByteArray("YQ==YWJj") << QByteArray("aabc");
    QTest::newRow("all foreign") << QByteArray("!!!!!!!!") << QByteArray();
}

void tst_Base64::decoderArithmeticOnForeignCharacters()
{
    QFETCH(QByteArray, encoded);
    QFETCH(QByteArray, plain);
    QCOMPARE(base64_decode(encoded), plain);
}

void tst_Base64::paddedForTheProxyHeader_data()
{
    QTest::addColumn<QByteArray>("credentials");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("length multiple of three") << QByteArray("usr:pass") << QByteArray("dXNyOnBhc3M=");
    QTest::newRow("user:pass") << QByteArray("user:pass") << QByteArray("dXNlcjpwYXNz");
    QTest::newRow("colon alone") << QByteArray(":") << QByteArray("Og==");
    QTest::newRow("two bytes") << QByteArray("a:") << QByteArray("YTo=");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void tst_Base64::paddedForTheProxyHeader()
{
    QFETCH(QByteArray, credentials);
    QFETCH(QByteArray, header);
    QCOMPARE(padded(base64_encode(credentials)), header);
    QCOMPARE(header, credentials.toBase64());
    QCOMPARE(padded(header), header); // already a multiple of four: unchanged
}

QTEST_APPLESS_MAIN(tst_Base64)
#include "tst_base64.moc"
