#ifndef BWV_CRYPTO_SHA1_IMPL_HPP
#define BWV_CRYPTO_SHA1_IMPL_HPP

// Internal SHA-1 compression entry points shared by the hash, the key derivation and the
// generator. Two implementations exist: portable C++, and one on the CPU's SHA
// extensions where present. Both take the chaining value as five host-order words.

#include <cstddef>
#include <cstdint>

namespace bwv::crypto {

// `blocks` reads 64-byte blocks as big-endian words, as SHA-1 defines them.
using Sha1BlocksFn = void (*)(std::uint32_t h[5], const unsigned char *data, std::size_t nblocks);
// `words` takes one block already as sixteen host-order message words; the key
// derivation builds its padded blocks that way and skips the byte swaps.
using Sha1WordsFn = void (*)(std::uint32_t h[5], const std::uint32_t w[16]);

struct Sha1Engine {
    Sha1BlocksFn blocks;
    Sha1WordsFn words;
    const char *name;
};

extern const Sha1Engine kSha1Portable;
// The portable C compiled for BMI2; null when the CPU lacks it.
const Sha1Engine *sha1_bmi2_engine();
// The fastest portable engine this CPU runs.
const Sha1Engine &sha1_portable_engine();
// Null when the CPU (or the build target) has no SHA extensions.
const Sha1Engine *sha1_native_engine();

// The engine in use: the native one when available, else the fastest portable one.
const Sha1Engine &sha1_engine();

// For tests and benchmarks that must measure or check one implementation: pins the
// engine process-wide (nullptr returns to automatic choice). Not for production callers.
void sha1_pin_engine(const Sha1Engine *engine);

inline void sha1_blocks(std::uint32_t h[5], const unsigned char *data, std::size_t nblocks) {
    sha1_engine().blocks(h, data, nblocks);
}

inline void sha1_words(std::uint32_t h[5], const std::uint32_t w[16]) { sha1_engine().words(h, w); }

inline constexpr std::uint32_t kSha1Init[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};

inline std::uint32_t load_be32(const unsigned char *p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

inline void store_be32(unsigned char *p, std::uint32_t w) {
    p[0] = static_cast<unsigned char>(w >> 24);
    p[1] = static_cast<unsigned char>(w >> 16);
    p[2] = static_cast<unsigned char>(w >> 8);
    p[3] = static_cast<unsigned char>(w);
}

}  // namespace bwv::crypto

#endif
