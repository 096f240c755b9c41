#ifndef BWVUTIL_DIC_H
#define BWVUTIL_DIC_H

#include <stdint.h>
#include <bwvutil/export.h>
#include <bwvutil/plobj.h>
#include <bwvutil/parray.h>

BWV_BEGIN_DECLS

/* Handles that own one reference to a property-list dictionary or array.
 * Strings in and out are UTF-8; returned strings are malloc'ed, returned handles new. */
typedef struct dic { plobj *ref; } dic;
typedef struct array { plobj *ref; } array;

BWV_API dic *dic_create(void);
BWV_API int dic_destroy(dic *d);
BWV_API dic *dic_load_from_file(const char *path);
BWV_API dic *dic_load_from_fd(int fd);
BWV_API int dic_save_to_file(dic *d, const char *path);
BWV_API int dic_save_to_fd(dic *d, int fd);
BWV_API int dic_get_count(dic *d);
BWV_API char **dic_get_keys(dic *d);
BWV_API char *Copy_CFStringRefToCString(plobj *str);
BWV_API char *dic_get_str(dic *d, const char *key);
BWV_API int dic_get_int(dic *d, const char *key);
BWV_API dic *dic_get_dic(dic *d, const char *key);
BWV_API array *dic_get_array(dic *d, const char *key);
BWV_API int dic_has_key(dic *d, plobj *key);
BWV_API parray *dic_get_str_parray(dic *d, const char *key);
BWV_API int dic_show(dic *d);
BWV_API int dic_set_str(dic *d, const char *key, const char *value);
BWV_API int dic_set_int(dic *d, const char *key, int value);
BWV_API int dic_set_boolean(dic *d, const char *key, int flag);
BWV_API int dic_set_dic(dic *d, const char *key, dic *nested);
BWV_API int dic_set_array(dic *d, const char *key, array *a);
BWV_API int dic_set_str_parray(dic *d, const char *key, parray *list);

BWV_API array *array_create(void);
BWV_API int array_destroy(array *a);
BWV_API int array_append_dic(array *a, dic *d);
BWV_API dic *array_get_dic(array *a, int index);
BWV_API int64_t array_get_count(array *a);

BWV_END_DECLS

#endif
