#ifndef BWVUTIL_ENCSTR_H
#define BWVUTIL_ENCSTR_H

#include <bwvutil/export.h>

BWV_BEGIN_DECLS

BWV_API char *enc_dec_str(const char *value);
BWV_API char *enc_enc_str(const char *value);

BWV_END_DECLS

#endif
