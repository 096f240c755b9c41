#ifndef BWVUTIL_AES_H
#define BWVUTIL_AES_H

#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

typedef struct aes_ctx { uint32_t ks[64]; uint32_t rounds; uint32_t inf; } aes_ctx;

BWV_API int aes_set_encrypt_key(const unsigned char *key, unsigned int len, aes_ctx *ctx);
BWV_API int aes_set_decrypt_key(const unsigned char *key, unsigned int len, aes_ctx *ctx);
BWV_API int aes_encrypt_block(const unsigned char in[16], unsigned char out[16], const aes_ctx *ctx);
BWV_API int aes_decrypt_block(const unsigned char in[16], unsigned char out[16], const aes_ctx *ctx);

BWV_END_DECLS

#endif
