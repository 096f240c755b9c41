// SHA-1 compression on the x86 SHA extensions. Compiled for the generic target; the
// functions carry their own target attributes and are only reached after the CPU
// reported the instructions.

#include "crypto/sha1_impl.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

#include <utility>

namespace bwv::crypto {
namespace {

#define BWV_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

struct Lanes {
    __m128i abcd, e[2], m[4];
};

// Round group g covers rounds 4g to 4g+3. Message words for group g+1, g+2 and g+3
// are prepared while group g runs, so the three schedule instructions appear only
// where their result is still needed.
template <int G, typename Load>
BWV_SHA_TARGET inline __attribute__((always_inline)) void group(Lanes &s, Load &load) {
    constexpr int cur = G % 2, other = 1 - cur;
    if constexpr (G < 4) s.m[G] = load(G);
    if constexpr (G == 0)
        s.e[0] = _mm_add_epi32(s.e[0], s.m[0]);
    else
        s.e[cur] = _mm_sha1nexte_epu32(s.e[cur], s.m[G % 4]);
    s.e[other] = s.abcd;
    if constexpr (G >= 3 && G <= 18)
        s.m[(G + 1) % 4] = _mm_sha1msg2_epu32(s.m[(G + 1) % 4], s.m[G % 4]);
    s.abcd = _mm_sha1rnds4_epu32(s.abcd, s.e[cur], G / 5);
    if constexpr (G >= 1 && G <= 16)
        s.m[(G + 3) % 4] = _mm_sha1msg1_epu32(s.m[(G + 3) % 4], s.m[G % 4]);
    if constexpr (G >= 2 && G <= 17)
        s.m[(G + 2) % 4] = _mm_xor_si128(s.m[(G + 2) % 4], s.m[G % 4]);
}

template <typename Load, int... G>
BWV_SHA_TARGET inline __attribute__((always_inline)) void all_groups(Lanes &s, Load &load,
                                                                     std::integer_sequence<int, G...>) {
    (group<G>(s, load), ...);
}

template <typename Load>
BWV_SHA_TARGET inline __attribute__((always_inline)) void one_block(__m128i &abcd, __m128i &e0, Load &load) {
    Lanes s;
    s.abcd = abcd;
    s.e[0] = e0;
    s.e[1] = _mm_setzero_si128();
    all_groups(s, load, std::make_integer_sequence<int, 20>{});
    // After group 19 the chaining E sits in e[0], still to be rotated and added.
    e0 = _mm_sha1nexte_epu32(s.e[0], e0);
    abcd = _mm_add_epi32(s.abcd, abcd);
}

BWV_SHA_TARGET void native_blocks(std::uint32_t h[5], const unsigned char *data, std::size_t nblocks) {
    const __m128i swap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(h)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
    for (; nblocks != 0; --nblocks, data += 64) {
        auto load = [data, swap](int i) BWV_SHA_TARGET {
            return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * i)), swap);
        };
        one_block(abcd, e0, load);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(h), _mm_shuffle_epi32(abcd, 0x1B));
    h[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

BWV_SHA_TARGET void native_words(std::uint32_t h[5], const std::uint32_t w[16]) {
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(h)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
    auto load = [w](int i) BWV_SHA_TARGET {
        return _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(w + 4 * i)), 0x1B);
    };
    one_block(abcd, e0, load);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(h), _mm_shuffle_epi32(abcd, 0x1B));
    h[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

bool cpu_has_sha() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!ssse3 || !sse41) return false;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return b & (1u << 29);
}

const Sha1Engine kNative = {native_blocks, native_words, "sha-ext"};

}  // namespace

const Sha1Engine *sha1_native_engine() {
    static const bool available = cpu_has_sha();
    return available ? &kNative : nullptr;
}

}  // namespace bwv::crypto

#else

namespace bwv::crypto {
const Sha1Engine *sha1_native_engine() { return nullptr; }
}  // namespace bwv::crypto

#endif
