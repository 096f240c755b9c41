#ifndef BWVUTIL_DIC_H
#define BWVUTIL_DIC_H

#include <stdint.h>
#include <bwvutil/export.h>
#include <bwvutil/plobj.h>
#include <bwvutil/parray.h>

BWV_BEGIN_DECLS

/* Handles that own one reference to a property-list dictionary or array.
 * Strings in and out are UTF-8; returned strings are malloc'ed, returned handles new. */
typedef struct dic {
    plobj *ref;
} dic;
typedef struct array {
    plobj *ref;
} array;

/* A new empty mutable dictionary; NULL on allocation failure. */
BWV_API dic *dic_create(void);
/* -1 for a NULL handle or NULL ref (the handle is then not freed), else 0. */
BWV_API int dic_destroy(dic *d);
/* Mutable down to the leaves. NULL when the file is missing, unreadable, not a regular
 * file (a FIFO is refused at once, never waited on), not a property list, truncated,
 * empty, or its root is not a dictionary; nothing leaks. The file is read, not mapped:
 * another process truncating it meanwhile gives NULL or a whole dictionary, no signal. */
BWV_API dic *dic_load_from_file(const char *path);
/* Reads the regular file behind fd from its start; the result is immutable and every
 * setter refuses it with -1. NULL for fd <= 0 and as for dic_load_from_file. fd and its
 * offset stay. */
BWV_API dic *dic_load_from_fd(int fd);
/* Writes the XML property list to a new file beside the target (a symlink's target) and
 * renames it over it, so the old content stays whole until the new one is on disk; the
 * file keeps its mode and owner. -1 bad arguments or serialisation, -2 path not UTF-8,
 * -10/-12/-13 write failed (other / not found / access), the old file then unchanged.
 * A target that is not a regular file is refused at once: -13 a folder, -10 anything
 * else (a FIFO is never waited on). A path containing "av.plist" is created 0600 and
 * left 0600 whatever the outcome.
 * Where no new file can be made beside it (the folder is not writable or is read-only,
 * or the file's owner cannot be handed on), the old file is rewritten in place, only
 * after room for the whole new content is reserved: no space, a quota or a size limit
 * then fail the save before any byte changes, and a later write failure puts the old
 * bytes back. What remains at risk there alone: a crash or power loss during the
 * rewrite, or a write failure whose repair fails too, can leave the file part old, part
 * new; and a reader meanwhile may see that mix. */
BWV_API int dic_save_to_file(dic *d, const char *path);
/* Truncates a file, then writes at the current offset (a pipe or socket just takes the
 * bytes). -1 bad arguments, -2 short write or a file that cannot be truncated; a pipe or
 * socket whose reader has gone gives -2, never SIGPIPE. */
BWV_API int dic_save_to_fd(dic *d, int fd);
/* Number of entries; -1 for a NULL handle or NULL ref. */
BWV_API int dic_get_count(dic *d);
/* dic_get_count malloc'ed key copies (plus a terminating NULL slot); free each, then
 * the array. NULL for a NULL or empty dictionary. */
BWV_API char **dic_get_keys(dic *d);
/* A malloc'ed UTF-8 copy of a string object, which stays the caller's; the caller frees
 * the copy. NULL when str is NULL or not a string, or memory runs out. */
BWV_API char *Copy_CFStringRefToCString(plobj *str);
/* A malloc'ed copy of the string under key; the caller frees it. NULL for NULL or
 * non-UTF-8 arguments, a missing key, a value that is not a string, or no memory. */
BWV_API char *dic_get_str(dic *d, const char *key);
/* Number as int32, a string's leading integer (0 if none), boolean 1/0; else -1. */
BWV_API int dic_get_int(dic *d, const char *key);
/* A new handle on the nested dictionary itself (shared, not copied); destroy it. NULL
 * for NULL or non-UTF-8 arguments, a missing key, another kind of value, or no memory. */
BWV_API dic *dic_get_dic(dic *d, const char *key);
/* The same for a nested array; destroy the handle with array_destroy. */
BWV_API array *dic_get_array(dic *d, const char *key);
/* 1 when the string object key names an entry, 0 when it does not or is no string, -1
 * for a NULL handle, ref or key. The key stays the caller's. */
BWV_API int dic_has_key(dic *d, plobj *key);
/* The strings under the list's index keys in index order (non-string values and other
 * keys are passed over; gaps lose nothing). Items are malloc'ed; release with
 * parray_destroy_free. NULL for no or an empty list, or when memory runs out. */
BWV_API parray *dic_get_str_parray(dic *d, const char *key);
/* Prints the description text to standard output ("<NULL>" when it cannot be formed).
 * 0, or -1 for a NULL handle or ref. */
BWV_API int dic_show(dic *d);
/* Setters replace any value under key. A failed setter changes nothing; -1 also for an
 * immutable dictionary. */
BWV_API int dic_set_str(dic *d, const char *key, const char *value);
/* 0; -1 for NULL arguments or an immutable dictionary, -2 for a key that is not UTF-8,
 * -3 when memory runs out. */
BWV_API int dic_set_int(dic *d, const char *key, int value);
/* Stores a boolean (flag nonzero: true). 0; -1 for NULL arguments, an immutable
 * dictionary or no memory; -2 for a key that is not UTF-8. */
BWV_API int dic_set_boolean(dic *d, const char *key, int flag);
/* Stores nested itself, not a copy: later changes through either handle show in both;
 * the caller still destroys its handle. 0; -1 for NULL arguments, an immutable dictionary
 * or no memory; -2 for a key that is not UTF-8; -3 for a nested handle without ref; -4
 * when nested is d or holds it at any depth (the cycle could never be freed). */
BWV_API int dic_set_dic(dic *d, const char *key, dic *nested);
/* Stores the array itself, shared as with dic_set_dic. 0; -1 for NULL arguments or ref,
 * an immutable dictionary or no memory; -2 for a key that is not UTF-8; -4 when the
 * array holds d at any depth. */
BWV_API int dic_set_array(dic *d, const char *key, array *a);
/* Stored as a nested dictionary "0", "1", ... -> string; NULL items and items that are
 * not UTF-8 are skipped and take no index. -1 also for a key that is not UTF-8 (nothing
 * stored); -2 when memory runs out (nothing stored). */
BWV_API int dic_set_str_parray(dic *d, const char *key, parray *list);

/* A new empty mutable array; NULL when memory runs out. Ended with array_destroy. */
BWV_API array *array_create(void);
/* Drops the handle's reference and frees the handle: 0. -1 for a NULL handle or NULL
 * ref (the handle is then not freed). */
BWV_API int array_destroy(array *a);
/* Appends the dictionary itself (shared, not copied); the caller still destroys its
 * handle. 0; -1 for NULL handles or refs, an immutable array or no memory (unchanged);
 * -4 when d holds the array at any depth. */
BWV_API int array_append_dic(array *a, dic *d);
/* NULL when index is out of range or the element is not a dictionary. */
BWV_API dic *array_get_dic(array *a, int index);
/* Number of elements; -1 for a NULL handle or NULL ref. */
BWV_API int64_t array_get_count(array *a);

BWV_END_DECLS

#endif
