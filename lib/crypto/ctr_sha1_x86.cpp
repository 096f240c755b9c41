// The one-pass counter mode and SHA-1 on the x86 AES and SHA instructions. Compiled for
// the generic target; reached only after the CPU reported both instruction sets.

#include "lib/crypto/ctr_sha1.hpp"

#include "lib/crypto/aes_impl.hpp"
#include "lib/crypto/sha1_impl.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include "lib/crypto/sha1_x86.hpp"

namespace bwv::crypto {
namespace {

using namespace sha1_x86;

#define BWV_CTR_SHA_TARGET __attribute__((target("aes,sha,sse4.1,ssse3")))

template <unsigned NR, bool Seal>
BWV_CTR_SHA_TARGET void one_pass(const aes_ctx *ctx, unsigned char counter[16], unsigned char keystream[16],
                                 std::uint32_t h[5], const unsigned char *in, unsigned char *out, std::size_t n64) {
    __m128i rk[NR + 1];
#pragma GCC unroll 16
    for (unsigned r = 0; r <= NR; ++r) rk[r] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(ctx->ks + 4 * r));
    __m128i ctr = _mm_loadu_si128(reinterpret_cast<const __m128i *>(counter));
    const __m128i one = _mm_set_epi64x(0, 1);
    const __m128i swap = byte_swap_mask();
    __m128i abcd, e0, last = _mm_setzero_si128();
    load_state(h, abcd, e0);
    for (; n64 != 0; --n64, in += 64, out += 64) {
        // No dependence runs from one block's hash to the next block's cipher, so the
        // processor overlaps them.
        __m128i x[4], c[4];
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) {
            ctr = _mm_add_epi64(ctr, one);
            x[i] = _mm_xor_si128(ctr, rk[0]);
        }
#pragma GCC unroll 16
        for (unsigned r = 1; r < NR; ++r)
#pragma GCC unroll 4
            for (int i = 0; i < 4; ++i) x[i] = _mm_aesenc_si128(x[i], rk[r]);
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) {
            x[i] = _mm_aesenclast_si128(x[i], rk[NR]);
            const __m128i src = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 16 * i));
            const __m128i res = _mm_xor_si128(src, x[i]);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16 * i), res);
            c[i] = Seal ? res : src;
        }
        last = x[3];
        auto load = [&c, swap](int i) BWV_CTR_SHA_TARGET { return _mm_shuffle_epi8(c[i], swap); };
        one_block(abcd, e0, load);
    }
    store_state(h, abcd, e0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(counter), ctr);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(keystream), last);
}

template <bool Seal>
void by_rounds(const aes_ctx *ctx, unsigned char counter[16], unsigned char keystream[16], std::uint32_t h[5],
               const unsigned char *in, unsigned char *out, std::size_t n64) {
    if (n64 == 0) return;
    switch (ctx->rounds) {
        case 10:
            one_pass<10, Seal>(ctx, counter, keystream, h, in, out, n64);
            break;
        case 11:
            one_pass<11, Seal>(ctx, counter, keystream, h, in, out, n64);
            break;
        case 12:
            one_pass<12, Seal>(ctx, counter, keystream, h, in, out, n64);
            break;
        case 13:
            one_pass<13, Seal>(ctx, counter, keystream, h, in, out, n64);
            break;
        default:
            one_pass<14, Seal>(ctx, counter, keystream, h, in, out, n64);
            break;
    }
}

const CtrSha1Pass kNative = {by_rounds<true>, by_rounds<false>};

}  // namespace

const CtrSha1Pass *ctr_sha1_native() {
    static const bool available = aes_native_engine() != nullptr && sha1_native_engine() != nullptr;
    return available ? &kNative : nullptr;
}

}  // namespace bwv::crypto

#else

namespace bwv::crypto {
const CtrSha1Pass *ctr_sha1_native() { return nullptr; }
}  // namespace bwv::crypto

#endif
