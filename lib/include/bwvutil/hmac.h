#ifndef BWVUTIL_HMAC_H
#define BWVUTIL_HMAC_H

#include <stdint.h>
#include <bwvutil/export.h>
#include <bwvutil/sha1.h>

BWV_BEGIN_DECLS

/* HMAC-SHA1. klen counts the key bytes received; 0xFFFFFFFF once message data began. */
typedef struct hmac_sha1_ctx {
    unsigned char key[64];
    sha1_ctx ctx;
    uint32_t klen;
} hmac_sha1_ctx;

/* Clears the whole context. */
BWV_API void hmac_sha1_begin(hmac_sha1_ctx *ctx);
/* Adds key bytes; pieces concatenate, keys over 64 bytes are replaced by their SHA-1.
 * Returns 0, or -1 with the context unchanged once data has been given. */
BWV_API int hmac_sha1_key(const unsigned char *key, uint32_t len, hmac_sha1_ctx *ctx);
/* Ends the key phase on the first call (len 0 does only that), then hashes the data. */
BWV_API void hmac_sha1_data(const unsigned char *data, uint32_t len, hmac_sha1_ctx *ctx);
/* Writes the first len bytes (at most 20) of the code; the context is spent. */
BWV_API void hmac_sha1_end(unsigned char *mac, uint32_t len, hmac_sha1_ctx *ctx);
/* The four steps above in one call, for mac_len bytes (at most 20) of the code; nothing
 * of the key is left behind on the stack. */
BWV_API void hmac_sha1(const unsigned char *key, uint32_t key_len, const unsigned char *data, uint32_t data_len,
                       unsigned char *mac, uint32_t mac_len);

BWV_END_DECLS

#endif
