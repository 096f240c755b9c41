#ifndef BWVUTIL_AES_H
#define BWVUTIL_AES_H

#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* One AES key schedule for one direction, owned by the caller (normally on the stack).
 * rounds: 10, 12 or 14, 0 after a refused set-up. inf: 16 plus 1 once an encryption
 * schedule is in place (17) or plus 2 for a decryption schedule (18); 16 when refused. */
typedef struct aes_ctx {
    uint32_t ks[64];
    uint32_t rounds;
    uint32_t inf;
} aes_ctx;

/* Key length in bytes (16, 24, 32) or in bits (128, 192, 256). Returns 1 when the
 * schedule is set, 0 for any other length, leaving rounds 0 and inf 16. */
BWV_API int aes_set_encrypt_key(const unsigned char *key, unsigned int len, aes_ctx *ctx);
/* The same for the equivalent inverse cipher's schedule. */
BWV_API int aes_set_decrypt_key(const unsigned char *key, unsigned int len, aes_ctx *ctx);
/* One 16-byte block; in and out may be the same. Returns 1, or 0 without writing when
 * ctx holds no schedule for this direction. */
BWV_API int aes_encrypt_block(const unsigned char in[16], unsigned char out[16], const aes_ctx *ctx);
/* The same with a decryption schedule. */
BWV_API int aes_decrypt_block(const unsigned char in[16], unsigned char out[16], const aes_ctx *ctx);

BWV_END_DECLS

#endif
