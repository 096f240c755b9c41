#ifndef BWVUTIL_SHA1_H
#define BWVUTIL_SHA1_H

#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

typedef struct sha1_ctx { uint32_t count[2]; uint32_t hash[5]; uint32_t wbuf[16]; } sha1_ctx;

BWV_API void sha1_begin(sha1_ctx *ctx);
BWV_API void sha1_hash(const unsigned char *data, uint32_t len, sha1_ctx *ctx);
BWV_API void sha1_end(unsigned char hval[20], sha1_ctx *ctx);
BWV_API void sha1(unsigned char hval[20], const unsigned char *data, uint32_t len);
BWV_API void sha1_compile(sha1_ctx *ctx);

BWV_END_DECLS

#endif
