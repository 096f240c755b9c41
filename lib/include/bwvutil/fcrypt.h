#ifndef BWVUTIL_FCRYPT_H
#define BWVUTIL_FCRYPT_H

#include <stdint.h>
#include <bwvutil/export.h>
#include <bwvutil/aes.h>
#include <bwvutil/hmac.h>

BWV_BEGIN_DECLS

/* Password-based encryption of a byte buffer: AES in counter mode with a key derived by
 * PBKDF2-HMAC-SHA1 (1000 iterations), authenticated by HMAC-SHA1 over the cipher text.
 * Mode 1, 2, 3 selects AES-128, -192, -256 with a salt of 8, 12, 16 bytes. */

#define FCRYPT_MAX_PWD_LENGTH 128
#define FCRYPT_PWD_VER_LENGTH 2
#define FCRYPT_MAC_LENGTH 10
#define FCRYPT_KEYING_ITERATIONS 1000
#define FCRYPT_KEY_LENGTH(mode) (8 * (mode) + 8)
#define FCRYPT_SALT_LENGTH(mode) (4 * (mode) + 4)
/* Largest overhead of an encrypted buffer (mode 3): salt, verifier and code. */
#define FCRYPT_MAX_OVERHEAD 28

/* Result codes. 0 is success. */
#define FCRYPT_ERR_ARG (-1)        /* a pointer that is needed is NULL, or a negative length no other code covers */
#define FCRYPT_ERR_SPACE (-3)      /* capacity too small, input too short, odd digit count */
#define FCRYPT_ERR_PASSWORD (-4)   /* wrong password: the verifier differs */
#define FCRYPT_ERR_AUTH (-5)       /* authentication code differs */
#define FCRYPT_ERR_SHORT_PWD (-6)  /* password shorter than 8 characters */
#define FCRYPT_ERR_CONVERT (-7)    /* a byte or digit pair did not convert to 2 characters */
#define FCRYPT_ERR_LONG_PWD (-100) /* password longer than FCRYPT_MAX_PWD_LENGTH bytes */
#define FCRYPT_ERR_MODE (-101)     /* mode other than 1, 2 or 3 */
/* encrypt_file only; never returned by the buffer functions. */
#define FCRYPT_ERR_OPEN_INPUT (-20)    /* input file cannot be opened */
#define FCRYPT_ERR_READ_INPUT (-21)    /* input cannot be sized or read completely */
#define FCRYPT_ERR_TOO_LARGE (-22)     /* input does not fit the buffer functions' int lengths */
#define FCRYPT_ERR_NO_MEMORY (-23)     /* a whole-file buffer cannot be allocated */
#define FCRYPT_ERR_CREATE_OUTPUT (-24) /* output file cannot be created */
#define FCRYPT_ERR_WRITE_OUTPUT (-25)  /* output file cannot be written completely */

/* One message's stream state. Lives on the caller's stack; nothing inside is allocated. */
typedef struct fcrypt_ctx {
    unsigned char counter[16];   /* bytes 0-7: block counter, little-endian; 8-15 stay zero */
    unsigned char keystream[16]; /* AES of the counter block */
    aes_ctx cipher;              /* encryption schedule of the AES key */
    hmac_sha1_ctx auth;          /* keyed with the authentication key */
    uint32_t ks_pos;             /* next keystream byte; 16 when the block is used up */
    uint32_t pwd_len;
    uint32_t mode;
} fcrypt_ctx;

/* Derives the AES key, the HMAC key and the 2-byte verifier from the password and the
 * FCRYPT_SALT_LENGTH(mode) salt bytes. Returns 0, FCRYPT_ERR_LONG_PWD (checked first),
 * FCRYPT_ERR_MODE, or FCRYPT_ERR_ARG for a NULL pointer; on failure the context is
 * untouched and pwd_ver is not written. */
BWV_API int fcrypt_init(int mode, const unsigned char *pwd, unsigned int pwd_len, const unsigned char *salt,
                        unsigned char pwd_ver[2], fcrypt_ctx *cx);
/* Encrypts in place, then authenticates the cipher text. Pieces equal one whole call. */
BWV_API void fcrypt_encrypt(unsigned char *data, unsigned int len, fcrypt_ctx *cx);
/* Authenticates the cipher text, then decrypts it in place. */
BWV_API void fcrypt_decrypt(unsigned char *data, unsigned int len, fcrypt_ctx *cx);
/* The counter-mode transform alone, shared by both directions. */
BWV_API void encr_data(unsigned char *data, unsigned int len, fcrypt_ctx *cx);
/* Writes the 10-byte code and returns 10. The context is spent: start over with fcrypt_init. */
BWV_API int fcrypt_end(unsigned char mac[10], fcrypt_ctx *cx);

/* Writes salt, verifier, cipher text and code (in_len + FCRYPT_SALT_LENGTH + 12 bytes);
 * *out_len is the capacity on entry, which must be at least in_len + 28 whatever the mode,
 * and the bytes produced on return. The password (8 to 128 bytes) picks the mode by its
 * length. Identical input and password give identical output. On failure nothing is
 * written to out or *out_len.
 * Not confidential across buffers: the salt is the same on every call, so one password
 * gives one key and one keystream for every buffer it encrypts. Anyone holding two cipher
 * texts made with the same password learns the XOR of their plain texts, and with one
 * plain text known, the other. Stored values rely on this determinism, so it stays; use
 * it to keep text out of casual sight, never where secrecy against such a reader counts. */
BWV_API int encrypt_buffer(const unsigned char *in, int in_len, unsigned char *out, int *out_len, const char *password);
/* Opens what encrypt_buffer produced; the capacity must be at least in_len + 20. Returns
 * 0, or a negative code; on FCRYPT_ERR_PASSWORD and earlier failures out is untouched, on
 * FCRYPT_ERR_AUTH out and *out_len hold unauthenticated bytes the caller must discard. */
BWV_API int decrypt_buffer(const unsigned char *in, int in_len, unsigned char *out, int *out_len, const char *password);
/* direction 1 decrypts, any other value encrypts. Input and output must not overlap. */
BWV_API int do_encrypt_decrypt_buffer(const unsigned char *in, int in_len, unsigned char *out, int *out_len,
                                      int direction, const char *password);
/* Lower-case hex, NUL-terminated; needs a capacity of 2 * bin_len + 1 (FCRYPT_ERR_SPACE
 * otherwise, nothing written). *hex_len returns the digit count, NUL not counted. */
BWV_API int bin2hex(const unsigned char *bin, int bin_len, char *hex, int *hex_len);
/* Decodes digit pairs with strtol's lenient base-16 rules (a pair that is not hex gives
 * the value of its leading digits, possibly 0). Odd length or too little room:
 * FCRYPT_ERR_SPACE, nothing decoded. */
BWV_API int hex2bin(const char *hex, int hex_len, unsigned char *bin, int *bin_len);
/* Encrypts a whole file into out_path (the buffer layout above, no header). Returns 0, an
 * encryption code, or one of the FCRYPT_ERR_* file codes (-20 to -25). A missing input
 * creates no output; after any later failure the output file is left empty. */
BWV_API int encrypt_file(const char *in_path, const char *out_path, const char *password);

BWV_END_DECLS

#endif
