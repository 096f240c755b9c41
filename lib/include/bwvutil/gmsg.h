#ifndef BWVUTIL_GMSG_H
#define BWVUTIL_GMSG_H

#include <stdint.h>
#include <bwvutil/export.h>
#include <bwvutil/plobj.h>

BWV_BEGIN_DECLS

/* A keyed message; its content lives in a process-wide registry under id.
 * Messages may be created, read and released from several threads; one message's
 * content is changed by one thread at a time. */
typedef struct gmsg {
    int32_t c_type;
    int32_t m_type;
    uint64_t id;
} gmsg;

/* New message whose content holds "_c_type_" and "_m_type_"; NULL only when out of
 * memory. The caller ends every message it gets with gmsg_release. */
BWV_API gmsg *gmsg_create(int c_type, int m_type);
/* New message whose content is a copy of a dictionary, types from its reserved keys
 * (0 where unreadable); NULL for NULL or a non-dictionary. */
BWV_API gmsg *gmsg_create_use_dic(plobj *dict);
/* "_m_type_" of a dictionary read as an integer; -1 if absent or unreadable. */
BWV_API int gmsg_type_from_dic(plobj *dict);
/* New message with a shallow copy of the content; NULL for NULL. */
BWV_API gmsg *gmsg_duplicate(gmsg *m);
/* Removes the content from the registry and frees the record; NULL is fine. */
BWV_API void gmsg_release(gmsg *m);
/* Borrowed; valid while the message lives. NULL for NULL. */
BWV_API plobj *gmsg_content(gmsg *m);

/* Store functions return m, or NULL for a NULL argument or a key or text that is not
 * UTF-8 (then nothing is stored). An existing key's value is replaced. */
BWV_API gmsg *gmsg_add_str(gmsg *m, const char *key, const char *value);
/* Stored as decimal text. */
BWV_API gmsg *gmsg_add_int(gmsg *m, const char *key, int64_t value);
/* Copies len bytes; NULL when len <= 0. */
BWV_API gmsg *gmsg_add_bin(gmsg *m, const char *key, const void *bytes, int len);
/* Stores a snapshot of other's content; later changes to other do not show. */
BWV_API gmsg *gmsg_add_msg(gmsg *m, const char *key, gmsg *other);
/* 0, also for an absent key; -1 for NULL arguments or an empty key. */
BWV_API int gmsg_delete(gmsg *m, const char *key);

/* Text value copied into a shared 131,072-byte ring: not to be freed, overwritten once
 * later calls wrap around. NULL if not text, or if it cannot fit the ring. */
BWV_API const char *gmsg_get_str(gmsg *m, const char *key);
/* Size needed (UTF-8 length + 1) of a text value, 0 if not text; with dest, copies at
 * most n - 1 bytes and a NUL. */
BWV_API int gmsg_get_str_r(gmsg *m, const char *key, char *dest, int n);
/* Number or decimal text read as an integer; -1 if absent, bytes or a nested message. */
BWV_API int64_t gmsg_get_int(gmsg *m, const char *key);
/* Borrowed bytes of a byte block, length through len; NULL if not a byte block. */
BWV_API const void *gmsg_get_bin(gmsg *m, const char *key, uint32_t *len);
/* New message from a nested message value; NULL if the value is not one. */
BWV_API gmsg *gmsg_get_msg(gmsg *m, const char *key);
/* Always 0. dest NULL: *len = description length in UTF-16 units. Otherwise copies at
 * most *len - 1 bytes of its UTF-8 form and a NUL, and sets *len to the bytes copied. */
BWV_API int gmsg_get_desc(gmsg *m, char *dest, int *len);
/* Type and key-count line on standard output, the description to the system log. */
BWV_API void gmsg_print_all(gmsg *m);

/* New malloc'ed buffer: length n + 13, c_type, m_type (host order), keyed archive of n
 * bytes, a zero byte; its length through len. NULL for NULL arguments or if the content
 * cannot be archived. */
BWV_API void *gmsg_gen_buffer(gmsg *m, uint32_t *len);
/* New message from a buffer of gmsg_gen_buffer (or a peer's). NULL for NULL or len <= 12;
 * an archive that does not decode gives an empty message of types 0 and 0. */
BWV_API gmsg *gmsg_parse_buffer(const void *buf, int len);

BWV_END_DECLS

#endif
