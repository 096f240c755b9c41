#ifndef BWV_CRYPTO_SHA1_X86_HPP
#define BWV_CRYPTO_SHA1_X86_HPP

// One SHA-1 compression on the x86 SHA extensions, as an inline template over where the
// message comes from, for the plain hash and for the pass that hashes cipher text while
// it is still in registers. Only for files that check the CPU before calling.

#include <immintrin.h>

#include <cstdint>
#include <utility>

namespace bwv::crypto::sha1_x86 {

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
    if constexpr (G >= 3 && G <= 18) s.m[(G + 1) % 4] = _mm_sha1msg2_epu32(s.m[(G + 1) % 4], s.m[G % 4]);
    s.abcd = _mm_sha1rnds4_epu32(s.abcd, s.e[cur], G / 5);
    if constexpr (G >= 1 && G <= 16) s.m[(G + 3) % 4] = _mm_sha1msg1_epu32(s.m[(G + 3) % 4], s.m[G % 4]);
    if constexpr (G >= 2 && G <= 17) s.m[(G + 2) % 4] = _mm_xor_si128(s.m[(G + 2) % 4], s.m[G % 4]);
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

// The chaining value as the instructions hold it: A-D reversed in one lane set, E on top.
BWV_SHA_TARGET inline __attribute__((always_inline)) void load_state(const std::uint32_t h[5], __m128i &abcd,
                                                                     __m128i &e0) {
    abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(h)), 0x1B);
    e0 = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
}

BWV_SHA_TARGET inline __attribute__((always_inline)) void store_state(std::uint32_t h[5], __m128i abcd, __m128i e0) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(h), _mm_shuffle_epi32(abcd, 0x1B));
    h[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

// Big-endian message words from sixteen bytes as they lie in memory.
BWV_SHA_TARGET inline __m128i byte_swap_mask() { return _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL); }

}  // namespace bwv::crypto::sha1_x86

#endif
