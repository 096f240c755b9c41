#ifndef BWVUTIL_PATHS_H
#define BWVUTIL_PATHS_H

#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* Test seam. With a root set, every fixed path the library forms (client folders, tools,
 * the fixed /tmp paths, /dev/console) is its macOS path under that root. NULL or ""
 * restores the real paths. Paths passed in by callers are never prefixed.
 * The root is process-wide; set it before other threads use the library. */
BWV_API void bwv_set_root(const char *root);

/* The current root, "" when none is set. Borrowed; valid until the next bwv_set_root. */
BWV_API const char *bwv_root(void);

BWV_END_DECLS

#endif
