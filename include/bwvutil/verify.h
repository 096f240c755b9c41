#ifndef BWVUTIL_VERIFY_H
#define BWVUTIL_VERIFY_H

#include <bwvutil/export.h>

BWV_BEGIN_DECLS

BWV_API int verifyPackage(const char *path);

BWV_END_DECLS

#endif
