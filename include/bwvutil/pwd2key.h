#ifndef BWVUTIL_PWD2KEY_H
#define BWVUTIL_PWD2KEY_H

#include <bwvutil/export.h>

BWV_BEGIN_DECLS

BWV_API void derive_key(const unsigned char *pwd, unsigned int pwd_len, const unsigned char *salt,
                        unsigned int salt_len, unsigned int iter, unsigned char *key,
                        unsigned int key_len);

BWV_END_DECLS

#endif
