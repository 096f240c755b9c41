#ifndef BWVUTIL_BWVC_H
#define BWVUTIL_BWVC_H

#include <stddef.h>
#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

BWV_API int bwvc_get_cur_support_dir(char *buf, int size);
BWV_API int bwvc_get_support_dir(char *buf, int size);
BWV_API int bwvc_get_user_dir(char *buf, int size);
BWV_API int bwvc_get_preference_path(char *buf, int size);
BWV_API int bwvc_check_user_file_accessibility(void);
BWV_API uint32_t bwvc_get_cur_uid(void);
BWV_API void bwvc_SendInfotoGUI(const char *text);
BWV_API int is_dev_build(void);
BWV_API int is_vpn_client(void);
BWV_API int bwvc_external_cert_trust(void);
BWV_API void bwvc_disable_credential(void);
BWV_API int bwvc_get_bypass_credential(void);
BWV_API void bin_to_hex(const unsigned char *in, char *out, size_t len);

BWV_END_DECLS

#endif
