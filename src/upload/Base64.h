// SPDX-License-Identifier: GPL-3.0-or-later
// The Base64 codec of the proxy credentials: standard alphabet, no padding
// written, and the decoder's group-of-four arithmetic as designed.
#pragma once

#include <QByteArray>

namespace Base64 {

/// The 64 digits in value order (RFC 4648 alphabet).
QByteArray alphabet();

/// Encodes bytes; a final group of one or two bytes gives two or three digits, never "=".
QByteArray base64_encode(const QByteArray& strIn);

/// Decodes four positions a group; foreign characters and missing positions are -1
/// sextets, and every byte is its arithmetic And 255.
QByteArray base64_decode(const QByteArray& strIn);

/// The digit of a sextet 0..63; empty for a negative sextet.
QByteArray base64_digit(int sextet);

/// The sextet of a one-character text; -1 for the empty text or a foreign character.
int base64_value(const QByteArray& character);

/// Standard padded Base64, as proxies expect in Proxy-Authorization.
QByteArray padded(const QByteArray& unpadded);

} // namespace Base64
