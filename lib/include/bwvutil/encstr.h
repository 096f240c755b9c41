#ifndef BWVUTIL_ENCSTR_H
#define BWVUTIL_ENCSTR_H

#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* Configuration values stored as "Enc " plus lower-case hex of an encrypted buffer made
 * under a passphrase built into the library. This hides values from casual reading; it
 * does not protect them from anyone who holds the library. */

/* The clear text of a value in either form: a value without the exact "Enc " prefix
 * comes back as an identical copy. NULL for NULL, a failed allocation, or an "Enc "
 * value that does not decrypt (never its text). The caller frees the result. */
BWV_API char *enc_dec_str(const char *value);
/* The "Enc " form of a clear string; equal inputs give equal outputs. NULL for NULL or a
 * failed allocation. The caller frees the result. */
BWV_API char *enc_enc_str(const char *value);

BWV_END_DECLS

#endif
