// SPDX-License-Identifier: GPL-3.0-or-later
#include "Base64.h"

namespace Base64 {

namespace {

// Built once; the codec only reads it.
const QByteArray& base64Chars()
{
    static const QByteArray chars =
        QByteArrayLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    return chars;
}

// The byte at a 0-based position, or 0 past the end (a byte that does not exist
// contributes no bits to the digits that are written).
int byteAt(const QByteArray& in, qsizetype pos)
{
    return pos < in.size() ? static_cast<unsigned char>(in.at(pos)) : 0;
}

// A one-character text at a 0-based position, empty past the end.
QByteArray charAt(const QByteArray& in, qsizetype pos)
{
    return pos < in.size() ? in.mid(pos, 1) : QByteArray();
}

} // namespace

QByteArray alphabet()
{
    return base64Chars();
}

QByteArray base64_digit(int sextet)
{
    if (sextet < 0 || sextet > 63)
        return {};
    return base64Chars().mid(sextet, 1);
}

int base64_value(const QByteArray& character)
{
    // Only a text of exactly one character can be a digit; the search is exact,
    // so "a" and "A" have different values.
    if (character.size() != 1)
        return -1;
    return static_cast<int>(base64Chars().indexOf(character.at(0)));
}

QByteArray base64_encode(const QByteArray& strIn)
{
    const qsizetype len = strIn.size();
    QByteArray result;
    result.reserve((len + 2) / 3 * 4);
    for (qsizetype i = 0; i < len; i += 3) {
        const int b1 = byteAt(strIn, i);
        const int b2 = byteAt(strIn, i + 1);
        const int b3 = byteAt(strIn, i + 2);
        const int c1 = b1 / 4;
        const int c2 = (b1 & 3) * 16 + b2 / 16;
        const int c3 = len >= i + 2 ? (b2 & 15) * 4 + b3 / 64 : -1;
        const int c4 = len >= i + 3 ? (b3 & 63) : -1;
        result += base64_digit(c1);
        result += base64_digit(c2);
        result += base64_digit(c3);
        result += base64_digit(c4);
    }
    return result;
}

QByteArray base64_decode(const QByteArray& strIn)
{
    const qsizetype len = strIn.size();
    QByteArray result;
    result.reserve(len / 4 * 3 + 3);
    for (qsizetype i = 0; i < len; i += 4) {
        const int s1 = base64_value(charAt(strIn, i));
        const int s2 = base64_value(charAt(strIn, i + 1));
        const int s3 = base64_value(charAt(strIn, i + 2));
        const int s4 = base64_value(charAt(strIn, i + 3));
        // Only the sextet that completes a byte is tested; the earlier ones enter
        // the arithmetic as they are, -1 included, and the byte keeps the low
        // eight bits of the two's-complement result. The shifts are written as
        // products so that a negative sextet is well defined.
        if (s2 >= 0)
            result += static_cast<char>((s1 * 4 + s2 / 16) & 255);
        if (s3 >= 0)
            result += static_cast<char>((s2 * 16 + s3 / 4) & 255);
        if (s4 >= 0)
            result += static_cast<char>((s3 * 64 + s4) & 255);
    }
    return result;
}

QByteArray padded(const QByteArray& unpadded)
{
    QByteArray result = unpadded;
    while (result.size() % 4 != 0)
        result += '=';
    return result;
}

} // namespace Base64
