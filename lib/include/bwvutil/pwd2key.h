#ifndef BWVUTIL_PWD2KEY_H
#define BWVUTIL_PWD2KEY_H

#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* PBKDF2 with HMAC-SHA1: key_len bytes into key. With iter 0 the key is all zeros; with
 * key_len 0 nothing is written. Intermediate state is wiped before returning. */
BWV_API void derive_key(const unsigned char *pwd, unsigned int pwd_len, const unsigned char *salt,
                        unsigned int salt_len, unsigned int iter, unsigned char *key, unsigned int key_len);

BWV_END_DECLS

#endif
