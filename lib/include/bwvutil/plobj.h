#ifndef BWVUTIL_PLOBJ_H
#define BWVUTIL_PLOBJ_H

#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* A property-list object (string, number, boolean, data, date, array, dictionary).
 * Reference counted with atomic counts; the last release frees it. */
typedef struct plobj plobj;

/* Adds one reference and returns obj; NULL stays NULL. */
BWV_API plobj *plobj_retain(plobj *obj);
/* Drops one reference; NULL is fine. */
BWV_API void plobj_release(plobj *obj);
/* A new immutable string (+1 reference); NULL for NULL or text that is not valid UTF-8. */
BWV_API plobj *plobj_string_create(const char *utf8);

BWV_END_DECLS

#endif
