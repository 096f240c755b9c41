#ifndef BWVUTIL_FCRYPT_H
#define BWVUTIL_FCRYPT_H

#include <stdint.h>
#include <bwvutil/export.h>
#include <bwvutil/aes.h>
#include <bwvutil/hmac.h>

BWV_BEGIN_DECLS

/* TODO(crypto): full layout */
typedef struct fcrypt_ctx fcrypt_ctx;

BWV_API int fcrypt_init(int mode, const unsigned char *pwd, unsigned int pwd_len,
                        const unsigned char *salt, unsigned char pwd_ver[2], fcrypt_ctx *cx);
BWV_API void fcrypt_encrypt(unsigned char *data, unsigned int len, fcrypt_ctx *cx);
BWV_API void fcrypt_decrypt(unsigned char *data, unsigned int len, fcrypt_ctx *cx);
BWV_API void encr_data(unsigned char *data, unsigned int len, fcrypt_ctx *cx);
BWV_API int fcrypt_end(unsigned char mac[10], fcrypt_ctx *cx);

BWV_API int encrypt_buffer(const unsigned char *in, int in_len, unsigned char *out, int *out_len,
                           const char *password);
BWV_API int decrypt_buffer(const unsigned char *in, int in_len, unsigned char *out, int *out_len,
                           const char *password);
BWV_API int do_encrypt_decrypt_buffer(const unsigned char *in, int in_len, unsigned char *out,
                                      int *out_len, int direction, const char *password);
BWV_API int bin2hex(const unsigned char *bin, int bin_len, char *hex, int *hex_len);
BWV_API int hex2bin(const char *hex, int hex_len, unsigned char *bin, int *bin_len);
BWV_API int encrypt_file(const char *in_path, const char *out_path, const char *password);

BWV_END_DECLS

#endif
