#ifndef BWVUTIL_PRNG_H
#define BWVUTIL_PRNG_H

#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* Writes between 1 and len bytes into buf and returns how many; a source that writes
 * nothing when asked for something keeps the pool refresh waiting forever. */
typedef int (*prng_entropy_fn)(unsigned char *buf, unsigned int len);
typedef struct prng_ctx {
    unsigned char rbuf[260]; /* pool */
    unsigned char obuf[260]; /* output drawn from here */
    uint32_t pos;            /* 0 to 259 between calls */
    prng_entropy_fn entropy;
} prng_ctx;

/* Clears ctx, fills and mixes its pool from fun, which ctx keeps for later refreshes.
 * The same source gives the same sequence. Nothing is allocated; end with prng_end. */
BWV_API void prng_init(prng_entropy_fn fun, prng_ctx *ctx);
/* Output drawn in several calls is the same sequence as one call of the total length. */
BWV_API void prng_rand(unsigned char *data, unsigned int len, prng_ctx *ctx);
/* Overwrites the whole context with zeros. */
BWV_API void prng_end(prng_ctx *ctx);
/* A constant source, not randomness: one fixed byte into min(len, 8) bytes. Every
 * generator started on it yields the same sequence, which stored data relies on. */
BWV_API int entropy_fun(unsigned char *buf, unsigned int len);

BWV_END_DECLS

#endif
