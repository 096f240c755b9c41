#include <bwvutil/hmac.h>

#include <cstdint>
#include <cstring>

#include "lib/crypto/wipe.hpp"

namespace {

constexpr std::uint32_t kBlock = 64;
constexpr std::uint32_t kDigest = 20;
constexpr std::uint32_t kInData = 0xFFFFFFFFu;

}  // namespace

extern "C" {

void hmac_sha1_begin(hmac_sha1_ctx *ctx) { std::memset(ctx, 0, sizeof *ctx); }

// Keys up to one block stay in the key block; a longer key is hashed as it arrives, the
// bytes kept so far going into the hash first, exactly once.
int hmac_sha1_key(const unsigned char *key, uint32_t len, hmac_sha1_ctx *ctx) {
    if (ctx->klen == kInData) return -1;
    if (std::uint64_t{ctx->klen} + len > kBlock) {
        if (ctx->klen <= kBlock) {
            sha1_begin(&ctx->ctx);
            sha1_hash(ctx->key, ctx->klen, &ctx->ctx);
        }
        sha1_hash(key, len, &ctx->ctx);
    } else if (len != 0) {
        std::memcpy(ctx->key + ctx->klen, key, len);
    }
    ctx->klen += len;
    return 0;
}

void hmac_sha1_data(const unsigned char *data, uint32_t len, hmac_sha1_ctx *ctx) {
    if (ctx->klen != kInData) {
        if (ctx->klen > kBlock) {
            sha1_end(ctx->key, &ctx->ctx);
            ctx->klen = kDigest;
        }
        std::memset(ctx->key + ctx->klen, 0, kBlock - ctx->klen);
        for (std::uint32_t i = 0; i < kBlock; ++i) ctx->key[i] ^= 0x36;
        sha1_begin(&ctx->ctx);
        sha1_hash(ctx->key, kBlock, &ctx->ctx);
        ctx->klen = kInData;
    }
    if (len != 0) sha1_hash(data, len, &ctx->ctx);
}

void hmac_sha1_end(unsigned char *mac, uint32_t len, hmac_sha1_ctx *ctx) {
    unsigned char dig[kDigest];
    if (ctx->klen != kInData) hmac_sha1_data(nullptr, 0, ctx);
    sha1_end(dig, &ctx->ctx);
    // Inner pad to outer pad in place: 0x36 ^ 0x6A == 0x5C.
    for (std::uint32_t i = 0; i < kBlock; ++i) ctx->key[i] ^= 0x36 ^ 0x5C;
    sha1_begin(&ctx->ctx);
    sha1_hash(ctx->key, kBlock, &ctx->ctx);
    sha1_hash(dig, kDigest, &ctx->ctx);
    sha1_end(dig, &ctx->ctx);
    std::memcpy(mac, dig, len < kDigest ? len : kDigest);
    bwv::crypto::wipe(dig, sizeof dig);
}

void hmac_sha1(const unsigned char *key, uint32_t key_len, const unsigned char *data, uint32_t data_len,
               unsigned char *mac, uint32_t mac_len) {
    hmac_sha1_ctx ctx;
    hmac_sha1_begin(&ctx);
    hmac_sha1_key(key, key_len, &ctx);
    hmac_sha1_data(data, data_len, &ctx);
    hmac_sha1_end(mac, mac_len, &ctx);
    bwv::crypto::wipe_obj(ctx);
}

}  // extern "C"
