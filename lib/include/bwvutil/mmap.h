#ifndef BWVUTIL_MMAP_H
#define BWVUTIL_MMAP_H

#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* Maps a whole file read-only; NULL on any failure, with nothing left open or mapped.
 * Release with end_mmap(addr, len). Files of 2 GiB and more are outside the contract. */
BWV_API void *start_mmap_file(const char *path, uint32_t *len);
/* The same for a descriptor the caller keeps open, which stays open. len is left
 * untouched when the size cannot be read or is 0; a file that has a size but cannot be
 * mapped still reports it. */
BWV_API void *start_mmap_fd(int fd, uint32_t *len);
/* Unmaps what start_mmap_file or start_mmap_fd gave. 0; -1 with errno set (EINVAL for
 * a NULL addr or len <= 0, else munmap's). */
BWV_API int end_mmap(void *addr, int len);

BWV_END_DECLS

#endif
