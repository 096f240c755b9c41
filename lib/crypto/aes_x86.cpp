// AES on the x86 AES instructions. Compiled for the generic target; the functions carry
// their own target attributes and are only reached after the CPU reported the
// instructions. The round keys are read straight from aes_ctx: its words hold the key
// bytes in order, and the decryption schedule is already the equivalent inverse cipher's,
// which is what aesdec expects.

#include "lib/crypto/aes_impl.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

namespace bwv::crypto {
namespace {

#define BWV_AES_TARGET __attribute__((target("aes,sse4.1")))

BWV_AES_TARGET inline __m128i round_key(const aes_ctx *ctx, unsigned r) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(ctx->ks + 4 * r));
}

// The round count is checked by the caller to lie in 10..14 but is otherwise taken as
// it stands, so a scribbled count gives the same bytes as the table code.
BWV_AES_TARGET void native_encrypt(const unsigned char in[16], unsigned char out[16], const aes_ctx *ctx) {
    const unsigned nr = ctx->rounds;
    __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in)), round_key(ctx, 0));
    for (unsigned r = 1; r < nr; ++r) x = _mm_aesenc_si128(x, round_key(ctx, r));
    x = _mm_aesenclast_si128(x, round_key(ctx, nr));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), x);
}

BWV_AES_TARGET void native_decrypt(const unsigned char in[16], unsigned char out[16], const aes_ctx *ctx) {
    const unsigned nr = ctx->rounds;
    __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in)), round_key(ctx, 0));
    for (unsigned r = 1; r < nr; ++r) x = _mm_aesdec_si128(x, round_key(ctx, r));
    x = _mm_aesdeclast_si128(x, round_key(ctx, nr));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), x);
}

constexpr int kLanes = 8;  // enough independent blocks to cover the instruction's latency

// Counter mode for a fixed round count, so the round loop unrolls and the keys can stay
// in registers as far as there are registers.
template <unsigned NR>
BWV_AES_TARGET void ctr_rounds(const aes_ctx *ctx, unsigned char counter[16], unsigned char keystream[16],
                               const unsigned char *in, unsigned char *out, std::size_t nblocks) {
    // Unrolled in full (the build's -O2 would keep loops and the blocks in memory), so
    // the blocks stay in registers and the keys become memory operands where they run out.
    __m128i rk[NR + 1];
#pragma GCC unroll 16
    for (unsigned r = 0; r <= NR; ++r) rk[r] = round_key(ctx, r);
    // The counter is the low 64-bit lane as it sits in memory; a 64-bit add wraps it
    // without touching bytes 8-15, as the byte-wise increment does.
    __m128i ctr = _mm_loadu_si128(reinterpret_cast<const __m128i *>(counter));
    const __m128i one = _mm_set_epi64x(0, 1);
    __m128i last = _mm_setzero_si128();
    const auto *src = reinterpret_cast<const __m128i *>(in);
    auto *dst = reinterpret_cast<__m128i *>(out);
    for (; nblocks >= kLanes; nblocks -= kLanes, src += kLanes, dst += kLanes) {
        __m128i x[kLanes];
#pragma GCC unroll 8
        for (int i = 0; i < kLanes; ++i) {
            ctr = _mm_add_epi64(ctr, one);
            x[i] = _mm_xor_si128(ctr, rk[0]);
        }
#pragma GCC unroll 16
        for (unsigned r = 1; r < NR; ++r)
#pragma GCC unroll 8
            for (int i = 0; i < kLanes; ++i) x[i] = _mm_aesenc_si128(x[i], rk[r]);
#pragma GCC unroll 8
        for (int i = 0; i < kLanes; ++i) {
            x[i] = _mm_aesenclast_si128(x[i], rk[NR]);
            _mm_storeu_si128(dst + i, _mm_xor_si128(x[i], _mm_loadu_si128(src + i)));
        }
        last = x[kLanes - 1];
    }
    for (; nblocks != 0; --nblocks, ++src, ++dst) {
        ctr = _mm_add_epi64(ctr, one);
        __m128i x = _mm_xor_si128(ctr, rk[0]);
#pragma GCC unroll 16
        for (unsigned r = 1; r < NR; ++r) x = _mm_aesenc_si128(x, rk[r]);
        last = _mm_aesenclast_si128(x, rk[NR]);
        _mm_storeu_si128(dst, _mm_xor_si128(last, _mm_loadu_si128(src)));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(counter), ctr);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(keystream), last);
}

void native_ctr(const aes_ctx *ctx, unsigned char counter[16], unsigned char keystream[16], const unsigned char *in,
                unsigned char *out, std::size_t nblocks) {
    if (nblocks == 0) return;
    switch (ctx->rounds) {
        case 10:
            ctr_rounds<10>(ctx, counter, keystream, in, out, nblocks);
            break;
        case 11:
            ctr_rounds<11>(ctx, counter, keystream, in, out, nblocks);
            break;
        case 12:
            ctr_rounds<12>(ctx, counter, keystream, in, out, nblocks);
            break;
        case 13:
            ctr_rounds<13>(ctx, counter, keystream, in, out, nblocks);
            break;
        default:
            ctr_rounds<14>(ctx, counter, keystream, in, out, nblocks);
            break;
    }
}

bool cpu_has_aes() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    return (c & (1u << 25)) && (c & (1u << 19));
}

const AesEngine kNative = {native_encrypt, native_decrypt, native_ctr, "aes-ni"};

}  // namespace

const AesEngine *aes_native_engine() {
    static const bool available = cpu_has_aes();
    return available ? &kNative : nullptr;
}

}  // namespace bwv::crypto

#else

namespace bwv::crypto {
const AesEngine *aes_native_engine() { return nullptr; }
}  // namespace bwv::crypto

#endif
