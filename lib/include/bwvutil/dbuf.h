#ifndef BWVUTIL_DBUF_H
#define BWVUTIL_DBUF_H

#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* First-in first-out byte store. Status results: 0 success, 1 memory, 2 bad argument. */
typedef struct dbuf {
    unsigned char *data;
    uint32_t size;
    uint32_t wpos;
    uint32_t rpos;
    uint32_t room;
} dbuf;

/* A new empty buffer with no storage yet; NULL when memory runs out. Ended with
 * dbuf_destroy. */
BWV_API dbuf *dbuf_create(void);
/* A new empty buffer with room for n bytes; NULL for n < 0 or when memory runs out, with
 * nothing left allocated. Ended with dbuf_destroy. */
BWV_API dbuf *dbuf_createx(int n);
/* NULL is accepted. Always 0. */
BWV_API int dbuf_destroy(dbuf *buf);
/* Drops the unread bytes and keeps the storage for reuse. 0, or 2 for NULL. */
BWV_API int dbuf_reset(dbuf *buf);
/* On 1 (memory) the buffer keeps its storage and unread bytes. */
BWV_API int dbuf_write(dbuf *buf, const void *src, uint32_t len);
/* Consumes up to n bytes, copying them to dst when dst is not NULL; returns the count. */
BWV_API uint32_t dbuf_read(dbuf *buf, void *dst, uint32_t n);
/* How many bytes are written and not yet read; 0 for NULL. */
BWV_API uint32_t dbuf_len(dbuf *buf);
/* Borrowed pointer to the first unread byte, valid until the next write, reset or destroy. */
BWV_API void *dbuf_data(dbuf *buf);
/* A malloc'ed copy of the unread bytes; the caller frees it. */
BWV_API void *dbuf_copy_data(dbuf *buf);
/* Constant text for a status code. */
BWV_API const char *dbuf_strerror(dbuf *buf, int code);

BWV_END_DECLS

#endif
