#ifndef BWVUTIL_GMSG_H
#define BWVUTIL_GMSG_H

#include <stdint.h>
#include <bwvutil/export.h>
#include <bwvutil/plobj.h>

BWV_BEGIN_DECLS

/* A keyed message; its content lives in a process-wide registry under id. */
typedef struct gmsg {
    int32_t c_type;
    int32_t m_type;
    uint64_t id;
} gmsg;

BWV_API gmsg *gmsg_create(int c_type, int m_type);
BWV_API gmsg *gmsg_create_use_dic(plobj *dict);
BWV_API int gmsg_type_from_dic(plobj *dict);
BWV_API gmsg *gmsg_duplicate(gmsg *m);
BWV_API void gmsg_release(gmsg *m);
/* Borrowed. */
BWV_API plobj *gmsg_content(gmsg *m);
BWV_API gmsg *gmsg_add_str(gmsg *m, const char *key, const char *value);
BWV_API gmsg *gmsg_add_int(gmsg *m, const char *key, int64_t value);
BWV_API gmsg *gmsg_add_bin(gmsg *m, const char *key, const void *bytes, int len);
BWV_API gmsg *gmsg_add_msg(gmsg *m, const char *key, gmsg *other);
BWV_API int gmsg_delete(gmsg *m, const char *key);
/* Borrowed from a shared ring; overwritten by later calls. */
BWV_API const char *gmsg_get_str(gmsg *m, const char *key);
BWV_API int gmsg_get_str_r(gmsg *m, const char *key, char *dest, int n);
BWV_API int64_t gmsg_get_int(gmsg *m, const char *key);
BWV_API const void *gmsg_get_bin(gmsg *m, const char *key, uint32_t *len);
BWV_API gmsg *gmsg_get_msg(gmsg *m, const char *key);
BWV_API int gmsg_get_desc(gmsg *m, char *dest, int *len);
BWV_API void gmsg_print_all(gmsg *m);
BWV_API void *gmsg_gen_buffer(gmsg *m, uint32_t *len);
BWV_API gmsg *gmsg_parse_buffer(const void *buf, int len);

BWV_END_DECLS

#endif
