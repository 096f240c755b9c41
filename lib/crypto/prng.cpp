#include <bwvutil/prng.h>
#include <bwvutil/sha1.h>

#include <cstdint>
#include <cstring>

#include "lib/crypto/wipe.hpp"

namespace {

constexpr unsigned kPool = 260;
constexpr unsigned kDigest = 20;
constexpr unsigned kBlock = 64;
constexpr unsigned kMixRounds = 20;

// Stored salts depend on this value never changing: with a constant source every
// generator yields the same sequence.
constexpr unsigned char kEntropyByte = 0xA7;
constexpr unsigned kEntropyMax = 8;

inline std::uint32_t load_le(const unsigned char *p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

inline void store_le(unsigned char *p, std::uint32_t w) {
    p[0] = static_cast<unsigned char>(w);
    p[1] = static_cast<unsigned char>(w >> 8);
    p[2] = static_cast<unsigned char>(w >> 16);
    p[3] = static_cast<unsigned char>(w >> 24);
}

// Each 20-byte slice is replaced by one compression chained from the slice before it
// (wrapping), over the 64 bytes starting at the slice (also wrapping), so every slice
// ends up depending on the whole buffer.
void prng_mix(unsigned char *buf) {
    sha1_ctx ctx;
    unsigned char *block = reinterpret_cast<unsigned char *>(ctx.wbuf);
    for (unsigned i = 0; i < kPool; i += kDigest) {
        const unsigned char *prev = buf + (i != 0 ? i : kPool) - kDigest;
        for (int k = 0; k < 5; ++k) ctx.hash[k] = load_le(prev + 4 * k);
        const unsigned len = kPool - i;
        if (len >= kBlock) {
            std::memcpy(block, buf + i, kBlock);
        } else {
            std::memcpy(block, buf + i, len);
            std::memcpy(block + len, buf, kBlock - len);
        }
        sha1_compile(&ctx);
        for (int k = 0; k < 5; ++k) store_le(buf + i + 4 * k, ctx.hash[k]);
    }
    bwv::crypto::wipe_obj(ctx);
}

void update_pool(prng_ctx *ctx) {
    std::memcpy(ctx->obuf, ctx->rbuf, kPool);
    for (unsigned filled = 0; filled < kPool;) {
        const int got = ctx->entropy(ctx->rbuf + filled, kPool - filled);
        // A source claiming more than it was asked for cannot have written it.
        if (got > 0)
            filled += static_cast<unsigned>(got) < kPool - filled ? static_cast<unsigned>(got) : kPool - filled;
    }
    for (unsigned i = 0; i < kPool; ++i) ctx->rbuf[i] ^= static_cast<unsigned char>(~ctx->obuf[i]);
    prng_mix(ctx->rbuf);
    prng_mix(ctx->obuf);
}

}  // namespace

extern "C" {

int entropy_fun(unsigned char *buf, unsigned int len) {
    const unsigned n = len < kEntropyMax ? len : kEntropyMax;
    std::memset(buf, kEntropyByte, n);
    return static_cast<int>(n);
}

void prng_init(prng_entropy_fn fun, prng_ctx *ctx) {
    std::memset(ctx, 0, sizeof *ctx);
    ctx->entropy = fun;
    update_pool(ctx);
    for (unsigned i = 0; i < kMixRounds; ++i) prng_mix(ctx->rbuf);
    update_pool(ctx);
    ctx->pos = 0;
}

void prng_rand(unsigned char *data, unsigned int len, prng_ctx *ctx) {
    std::uint32_t pos = ctx->pos;
    while (len != 0) {
        const unsigned n = len < kPool - pos ? len : kPool - pos;
        std::memcpy(data, ctx->obuf + pos, n);
        data += n;
        pos += n;
        len -= n;
        // Refill as soon as the buffer is used up, so pos stays below 260 between calls.
        if (pos == kPool) {
            update_pool(ctx);
            pos = 0;
        }
    }
    ctx->pos = pos;
}

void prng_end(prng_ctx *ctx) { bwv::crypto::wipe_obj(*ctx); }

}  // extern "C"
