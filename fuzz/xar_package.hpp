// Flat packages made to measure, for the xar fuzz target and the package tests: a header, the
// zlib table of contents, its SHA-1, then the heap, with sizes and checksum right.
#pragma once

#include <openssl/sha.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

namespace bwv::fuzz {

inline std::string deflated(const std::string &s) {
    uLongf n = compressBound(static_cast<uLong>(s.size()));
    std::string z(n, '\0');
    if (compress(reinterpret_cast<Bytef *>(z.data()), &n, reinterpret_cast<const Bytef *>(s.data()), s.size()) != Z_OK)
        std::abort();
    return z.substr(0, n);
}

// The package around the table-of-contents text toc and the heap after the TOC's SHA-1.
inline std::string xar_package(const std::string &toc, const std::string &heap) {
    std::string z = deflated(toc), pkg = "xar!", md(SHA_DIGEST_LENGTH, '\0');
    for (auto [v, n] : {std::pair<uint64_t, int>{28, 2}, {1, 2}, {z.size(), 8}, {toc.size(), 8}, {1, 4}})
        while (n--) pkg += static_cast<char>(v >> 8 * n);
    SHA1(reinterpret_cast<const unsigned char *>(z.data()), z.size(), reinterpret_cast<unsigned char *>(md.data()));
    return pkg + z + md + heap;
}

}  // namespace bwv::fuzz
