#ifndef BWVUTIL_BWVC_H
#define BWVUTIL_BWVC_H

#include <stddef.h>
#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* Client paths. Each writes into the caller's buffer, cut to size and terminated (being
 * cut is not an error). A user without a password entry gets "none" for a home folder. */

/* The console user's support folder. 0; -1 for a NULL buffer, size < 1, or console user 0. */
BWV_API int bwvc_get_cur_support_dir(char *buf, int size);
/* The effective user's support folder, or the system one when the process has no login
 * name (a daemon). 0; -1 for a NULL buffer or size < 1. */
BWV_API int bwvc_get_support_dir(char *buf, int size);
/* The effective user's log folder, or the system support folder for a daemon. 0 or -1. */
BWV_API int bwvc_get_user_dir(char *buf, int size);
/* The effective user's preferences file, or the system one for a daemon. 0 or -1. */
BWV_API int bwvc_get_preference_path(char *buf, int size);

/* 1 the console user's Documents folder opens; 0 opening it is refused with EPERM; -1
 * console user is 0 (none or root); -2 no password entry for that user; -3 any other
 * failure (EACCES from permission bits included). */
BWV_API int bwvc_check_user_file_accessibility(void);

/* Owner of the console device; 0 when it cannot be examined. */
BWV_API uint32_t bwvc_get_cur_uid(void);

/* Sends text (cut to 4,095 bytes) and one NUL over a new local stream connection to the
 * front end of the console user; a socket there whose listener is neither that user nor
 * root gets nothing ("connect" is printed). Failures are only printed with perror;
 * notices must be sent one at a time. NULL sends nothing. */
BWV_API void bwvc_SendInfotoGUI(const char *text);

/* Always 0. */
BWV_API int is_dev_build(void);
/* 1 when the client's tool folder is readable and holds none of the full client's tools. */
BWV_API int is_vpn_client(void);
/* 1 when the certificate-trust marker file can be read, else 0. */
BWV_API int bwvc_external_cert_trust(void);
/* Raises the process-wide credential-bypass flag for good. */
BWV_API void bwvc_disable_credential(void);
/* The credential-bypass flag, 0 or 1. */
BWV_API int bwvc_get_bypass_credential(void);

/* Writes 2*len upper-case hex digits to out, no NUL. out may equal in (in place, in a
 * buffer of 2*len bytes). Does nothing for NULL pointers or len 0. */
BWV_API void bin_to_hex(const unsigned char *in, char *out, size_t len);

BWV_END_DECLS

#endif
