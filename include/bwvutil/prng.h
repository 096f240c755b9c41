#ifndef BWVUTIL_PRNG_H
#define BWVUTIL_PRNG_H

#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

typedef int (*prng_entropy_fn)(unsigned char *buf, unsigned int len);
typedef struct prng_ctx {
    unsigned char rbuf[260];
    unsigned char obuf[260];
    uint32_t pos;
    prng_entropy_fn entropy;
} prng_ctx;

BWV_API void prng_init(prng_entropy_fn fun, prng_ctx *ctx);
BWV_API void prng_rand(unsigned char *data, unsigned int len, prng_ctx *ctx);
BWV_API void prng_end(prng_ctx *ctx);
BWV_API int entropy_fun(unsigned char *buf, unsigned int len);

BWV_END_DECLS

#endif
