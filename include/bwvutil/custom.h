#ifndef BWVUTIL_CUSTOM_H
#define BWVUTIL_CUSTOM_H

#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

BWV_API const char *getbwvtxt_ex(const char *path, const char *key, const char *def);
BWV_API const char *getbwvtxt(const char *key, const char *def);
BWV_API const char *get_bwvpname(void);

typedef struct cusconf {
    int32_t swupgrade;
    int32_t vpn_only;
    int32_t sso_only;
    int32_t rebranded;
} cusconf;

BWV_API cusconf *cusconf_load(void);
BWV_API int cusconf_destroy(cusconf *conf);
BWV_API int cusconf_swupgrade_enabled(void);
BWV_API int cusconf_is_rebranded(void);

BWV_END_DECLS

#endif
