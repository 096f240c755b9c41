// The byte at a given offset of the helper program's stdout (stream 0) or stderr (1).
#pragma once

#include <cstddef>

namespace bwv::test {

inline unsigned char pattern_byte(int stream, size_t i)
{
    return static_cast<unsigned char>(stream == 0 ? (i * 7 + i / 251) : (i * 13 + 5 + i / 509));
}

}  // namespace bwv::test
