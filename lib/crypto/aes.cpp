#include <bwvutil/aes.h>

#include <atomic>
#include <cstring>

#include "lib/crypto/aes_impl.hpp"
#include "lib/crypto/aes_tables.hpp"

using namespace bwv::crypto::aes_tab;
using bwv::crypto::aes_usable;

namespace {

constexpr std::uint32_t kBlockLen = 16;
constexpr std::uint32_t kEncryptBit = 1;
constexpr std::uint32_t kDecryptBit = 2;

inline std::uint32_t load_le(const unsigned char *p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    return w;
}

inline void store_le(unsigned char *p, std::uint32_t w) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap32(w);
#endif
    std::memcpy(p, &w, 4);
}

inline unsigned b0(std::uint32_t w) { return w & 0xFF; }
inline unsigned b1(std::uint32_t w) { return (w >> 8) & 0xFF; }
inline unsigned b2(std::uint32_t w) { return (w >> 16) & 0xFF; }
inline unsigned b3(std::uint32_t w) { return w >> 24; }

inline std::uint32_t sub_word(std::uint32_t w) {
    return t_fl[0][b0(w)] ^ t_fl[1][b1(w)] ^ t_fl[2][b2(w)] ^ t_fl[3][b3(w)];
}

inline std::uint32_t inv_mix(std::uint32_t w) {
    return t_im[0][b0(w)] ^ t_im[1][b1(w)] ^ t_im[2][b2(w)] ^ t_im[3][b3(w)];
}

// Accepts the key size in bytes or in bits; 0 for anything else.
unsigned key_words(unsigned int len) {
    switch (len) {
        case 16:
        case 128:
            return 4;
        case 24:
        case 192:
            return 6;
        case 32:
        case 256:
            return 8;
        default:
            return 0;
    }
}

// A refused set-up also drops any earlier key, so the context holds no usable schedule
// and no key material.
void refuse(aes_ctx *ctx) {
    explicit_bzero(ctx->ks, sizeof ctx->ks);
    ctx->rounds = 0;
    ctx->inf = kBlockLen;
}

// Words past the schedule are zero, so two set-ups of the same key give equal contexts
// whatever the caller's memory held before.
void clear_tail(std::uint32_t *ks, unsigned nk) {
    const unsigned used = 4 * (nk + 7);
    std::memset(ks + used, 0, (64 - used) * sizeof *ks);
}

// FIPS-197 5.2 key expansion. RotWord moves byte 1 to byte 0, which for
// little-endian words is a right rotation.
void expand(const unsigned char *key, unsigned nk, std::uint32_t *ks) {
    const unsigned total = 4 * (nk + 7);
    for (unsigned i = 0; i < nk; ++i) ks[i] = load_le(key + 4 * i);
    for (unsigned i = nk; i < total; ++i) {
        std::uint32_t t = ks[i - 1];
        if (i % nk == 0)
            t = sub_word((t >> 8) | (t << 24)) ^ t_rc[i / nk - 1];
        else if (nk == 8 && i % nk == 4)
            t = sub_word(t);
        ks[i] = ks[i - nk] ^ t;
    }
}

}  // namespace

extern "C" {

int aes_set_encrypt_key(const unsigned char *key, unsigned int len, aes_ctx *ctx) {
    if (ctx == nullptr) return 0;
    const unsigned nk = key_words(len);
    if (nk == 0 || key == nullptr) {
        refuse(ctx);
        return 0;
    }
    expand(key, nk, ctx->ks);
    clear_tail(ctx->ks, nk);
    ctx->rounds = nk + 6;
    ctx->inf = kBlockLen | kEncryptBit;
    return 1;
}

// The equivalent inverse cipher (FIPS-197 5.3.5): round keys in reverse order, the
// middle ones passed through InvMixColumns, so decryption rounds have the same
// look-up shape as encryption rounds.
int aes_set_decrypt_key(const unsigned char *key, unsigned int len, aes_ctx *ctx) {
    if (ctx == nullptr) return 0;
    const unsigned nk = key_words(len);
    if (nk == 0 || key == nullptr) {
        refuse(ctx);
        return 0;
    }
    std::uint32_t ek[64];
    expand(key, nk, ek);
    const unsigned nr = nk + 6;
    for (unsigned r = 0; r <= nr; ++r) {
        const std::uint32_t *src = ek + 4 * (nr - r);
        std::uint32_t *dst = ctx->ks + 4 * r;
        for (unsigned c = 0; c < 4; ++c) dst[c] = (r == 0 || r == nr) ? src[c] : inv_mix(src[c]);
    }
    explicit_bzero(ek, sizeof ek);
    clear_tail(ctx->ks, nk);
    ctx->rounds = nr;
    ctx->inf = kBlockLen | kDecryptBit;
    return 1;
}

}  // extern "C"

namespace bwv::crypto {
namespace {

void table_encrypt(const unsigned char in[16], unsigned char out[16], const aes_ctx *ctx) {
    const std::uint32_t *k = ctx->ks;
    std::uint32_t s0 = load_le(in) ^ k[0];
    std::uint32_t s1 = load_le(in + 4) ^ k[1];
    std::uint32_t s2 = load_le(in + 8) ^ k[2];
    std::uint32_t s3 = load_le(in + 12) ^ k[3];
    const unsigned nr = ctx->rounds;
    for (unsigned r = 1; r < nr; ++r) {
        k += 4;
        const std::uint32_t t0 = t_fn[0][b0(s0)] ^ t_fn[1][b1(s1)] ^ t_fn[2][b2(s2)] ^ t_fn[3][b3(s3)] ^ k[0];
        const std::uint32_t t1 = t_fn[0][b0(s1)] ^ t_fn[1][b1(s2)] ^ t_fn[2][b2(s3)] ^ t_fn[3][b3(s0)] ^ k[1];
        const std::uint32_t t2 = t_fn[0][b0(s2)] ^ t_fn[1][b1(s3)] ^ t_fn[2][b2(s0)] ^ t_fn[3][b3(s1)] ^ k[2];
        const std::uint32_t t3 = t_fn[0][b0(s3)] ^ t_fn[1][b1(s0)] ^ t_fn[2][b2(s1)] ^ t_fn[3][b3(s2)] ^ k[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    k += 4;
    store_le(out, t_fl[0][b0(s0)] ^ t_fl[1][b1(s1)] ^ t_fl[2][b2(s2)] ^ t_fl[3][b3(s3)] ^ k[0]);
    store_le(out + 4, t_fl[0][b0(s1)] ^ t_fl[1][b1(s2)] ^ t_fl[2][b2(s3)] ^ t_fl[3][b3(s0)] ^ k[1]);
    store_le(out + 8, t_fl[0][b0(s2)] ^ t_fl[1][b1(s3)] ^ t_fl[2][b2(s0)] ^ t_fl[3][b3(s1)] ^ k[2]);
    store_le(out + 12, t_fl[0][b0(s3)] ^ t_fl[1][b1(s0)] ^ t_fl[2][b2(s1)] ^ t_fl[3][b3(s2)] ^ k[3]);
}

void table_decrypt(const unsigned char in[16], unsigned char out[16], const aes_ctx *ctx) {
    const std::uint32_t *k = ctx->ks;
    std::uint32_t s0 = load_le(in) ^ k[0];
    std::uint32_t s1 = load_le(in + 4) ^ k[1];
    std::uint32_t s2 = load_le(in + 8) ^ k[2];
    std::uint32_t s3 = load_le(in + 12) ^ k[3];
    const unsigned nr = ctx->rounds;
    for (unsigned r = 1; r < nr; ++r) {
        k += 4;
        const std::uint32_t t0 = t_in[0][b0(s0)] ^ t_in[1][b1(s3)] ^ t_in[2][b2(s2)] ^ t_in[3][b3(s1)] ^ k[0];
        const std::uint32_t t1 = t_in[0][b0(s1)] ^ t_in[1][b1(s0)] ^ t_in[2][b2(s3)] ^ t_in[3][b3(s2)] ^ k[1];
        const std::uint32_t t2 = t_in[0][b0(s2)] ^ t_in[1][b1(s1)] ^ t_in[2][b2(s0)] ^ t_in[3][b3(s3)] ^ k[2];
        const std::uint32_t t3 = t_in[0][b0(s3)] ^ t_in[1][b1(s2)] ^ t_in[2][b2(s1)] ^ t_in[3][b3(s0)] ^ k[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    k += 4;
    store_le(out, t_il[0][b0(s0)] ^ t_il[1][b1(s3)] ^ t_il[2][b2(s2)] ^ t_il[3][b3(s1)] ^ k[0]);
    store_le(out + 4, t_il[0][b0(s1)] ^ t_il[1][b1(s0)] ^ t_il[2][b2(s3)] ^ t_il[3][b3(s2)] ^ k[1]);
    store_le(out + 8, t_il[0][b0(s2)] ^ t_il[1][b1(s1)] ^ t_il[2][b2(s0)] ^ t_il[3][b3(s3)] ^ k[2]);
    store_le(out + 12, t_il[0][b0(s3)] ^ t_il[1][b1(s2)] ^ t_il[2][b2(s1)] ^ t_il[3][b3(s0)] ^ k[3]);
}

void table_ctr(const aes_ctx *ctx, unsigned char counter[16], unsigned char keystream[16], const unsigned char *in,
               unsigned char *out, std::size_t nblocks) {
    for (; nblocks != 0; --nblocks, in += kBlockLen, out += kBlockLen) {
        for (int i = 0; i < 8 && ++counter[i] == 0; ++i) {
        }
        table_encrypt(counter, keystream, ctx);
        std::uint64_t a[2], b[2];
        std::memcpy(a, in, 16);
        std::memcpy(b, keystream, 16);
        a[0] ^= b[0];
        a[1] ^= b[1];
        std::memcpy(out, a, 16);
    }
}

std::atomic<const AesEngine *> g_pinned{nullptr};

}  // namespace

const AesEngine kAesPortable = {table_encrypt, table_decrypt, table_ctr, "table"};

const AesEngine &aes_engine() {
    if (const AesEngine *p = g_pinned.load(std::memory_order_relaxed)) return *p;
    static const AesEngine *const chosen = [] {
        const AesEngine *n = aes_native_engine();
        return n != nullptr ? n : &kAesPortable;
    }();
    return *chosen;
}

void aes_pin_engine(const AesEngine *engine) { g_pinned.store(engine, std::memory_order_relaxed); }

}  // namespace bwv::crypto

extern "C" {

int aes_encrypt_block(const unsigned char in[16], unsigned char out[16], const aes_ctx *ctx) {
    if (!aes_usable(ctx, kEncryptBit) || in == nullptr || out == nullptr) return 0;
    bwv::crypto::aes_engine().encrypt(in, out, ctx);
    return 1;
}

int aes_decrypt_block(const unsigned char in[16], unsigned char out[16], const aes_ctx *ctx) {
    if (!aes_usable(ctx, kDecryptBit) || in == nullptr || out == nullptr) return 0;
    bwv::crypto::aes_engine().decrypt(in, out, ctx);
    return 1;
}

}  // extern "C"
