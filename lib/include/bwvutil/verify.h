#ifndef BWVUTIL_VERIFY_H
#define BWVUTIL_VERIFY_H

#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* 1 when the system's pkgutil report on the package at path has the status line for
 * distribution signing by a certificate issued by Apple and the maker's installer
 * certificate as the first entry of its chain, each as a line of its own; 0 in every other
 * case (NULL path, a path over 985 bytes, tool not startable, either line missing, or the
 * tool still running after 2 minutes, when its whole process group is killed).
 * The path is passed to the tool as one argument, never through a shell. */
BWV_API int verifyPackage(const char *path);

BWV_END_DECLS

#endif
