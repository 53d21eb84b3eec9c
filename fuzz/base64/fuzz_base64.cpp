// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the Base64 codec of the proxy credentials. Any text decodes
// without a crash into no more bytes than its groups hold; any bytes encode to
// the standard digits without padding, and decode back to themselves, padded or not.
#include "Base64.h"

#include <QByteArray>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "base64 fuzz: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    // Decoding: every input yields a result, three bytes at most per group of four.
    const QByteArray decoded = Base64::base64_decode(bytes);
    require(decoded.size() <= (bytes.size() + 3) / 4 * 3, "decoded more bytes than the groups hold");

    // Encoding: the standard alphabet without "=", and the round trip.
    const QByteArray encoded = Base64::base64_encode(bytes);
    require(encoded == bytes.toBase64(QByteArray::OmitTrailingEquals),
            "encoding differs from standard Base64");
    require(encoded.size() == (bytes.size() * 4 + 2) / 3, "encoded length is not 4/3 of the input");
    require(Base64::base64_decode(encoded) == bytes, "decode(encode(x)) != x");
    require(Base64::base64_decode(Base64::padded(encoded)) == bytes, "decode of the padded form != x");
    require(Base64::padded(encoded) == bytes.toBase64(), "padded form differs from standard Base64");

    // A single character is a digit exactly when the alphabet holds it.
    if (size >= 1) {
        const int value = Base64::base64_value(bytes.left(1));
        require(value == int(Base64::alphabet().indexOf(bytes.at(0))),
                "digit value differs from the alphabet");
        require(value < 0 || Base64::base64_digit(value) == bytes.left(1), "digit does not map back");
    }
    return 0;
}
