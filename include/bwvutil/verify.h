#ifndef BWVUTIL_VERIFY_H
#define BWVUTIL_VERIFY_H

#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* 1 when the system's pkgutil reports the package at path as signed for distribution by
 * a certificate issued by Apple and names the maker's installer certificate; 0 in every
 * other case (NULL path, a path over 985 bytes, tool not startable, either text missing).
 * The path is passed to the tool as one argument, never through a shell. */
BWV_API int verifyPackage(const char *path);

BWV_END_DECLS

#endif
