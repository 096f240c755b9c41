// Bytes as hexadecimal text: the one encoder of the library, also used by the tool
// stand-ins.
#pragma once

#include <cstddef>

namespace bwv {

// Writes the 2 * len digits of in[0..len) to out, with no terminator; lower case unless
// upper. The bytes are read from the last to the first, so out may start at in and the
// text then replaces the bytes it was made from.
inline void hex_encode(const unsigned char *in, size_t len, char *out, bool upper = false) {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (size_t i = len; i-- > 0;) {
        const unsigned char b = in[i];
        out[2 * i] = digits[b >> 4];
        out[2 * i + 1] = digits[b & 15];
    }
}

}  // namespace bwv
