#ifndef BWVUTIL_SHA1_H
#define BWVUTIL_SHA1_H

#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* count: message bytes (not bits), low word first; hash: H0..H4; wbuf: the bytes of the
 * current block in arrival order. Caller-owned; nothing is allocated. */
typedef struct sha1_ctx {
    uint32_t count[2];
    uint32_t hash[5];
    uint32_t wbuf[16];
} sha1_ctx;

/* Starts a digest: count 0 and the initial hash words. */
BWV_API void sha1_begin(sha1_ctx *ctx);
/* Appends len bytes; pieces of any size give the same digest as one call. */
BWV_API void sha1_hash(const unsigned char *data, uint32_t len, sha1_ctx *ctx);
/* Pads, writes the 20-byte digest and leaves the context spent (not reset). */
BWV_API void sha1_end(unsigned char hval[20], sha1_ctx *ctx);
/* The 20-byte digest of len bytes in one call. */
BWV_API void sha1(unsigned char hval[20], const unsigned char *data, uint32_t len);
/* The compression function alone: reads wbuf as sixteen big-endian words and updates
 * hash; count is left alone. */
BWV_API void sha1_compile(sha1_ctx *ctx);

BWV_END_DECLS

#endif
