#ifndef BWVUTIL_CUSTOM_H
#define BWVUTIL_CUSTOM_H

#include <stdint.h>
#include <bwvutil/export.h>

BWV_BEGIN_DECLS

/* The rebrand text under key, or def itself when there is none. The first lookup with
 * a key reads path once for the whole process; later lookups ignore their path.
 * A returned text lives in the message string ring: do not free it, copy it soon. */
BWV_API const char *getbwvtxt_ex(const char *path, const char *key, const char *def);
/* getbwvtxt_ex on the client's rebrand file. */
BWV_API const char *getbwvtxt(const char *key, const char *def);
/* The product name: "ProductName" of the rebrand file, else "BrindleWave". */
BWV_API const char *get_bwvpname(void);

typedef struct cusconf {
    int32_t swupgrade;
    int32_t vpn_only;
    int32_t sso_only;
    int32_t rebranded;
} cusconf;

/* New record from the custom configuration file, read afresh on every call; NULL if
 * the file is missing or not a dictionary property list. Ended with cusconf_destroy. */
BWV_API cusconf *cusconf_load(void);
/* -1 for NULL, else frees the record and returns 0. */
BWV_API int cusconf_destroy(cusconf *conf);
/* The record's field, or 0 when the file cannot be loaded. */
BWV_API int cusconf_swupgrade_enabled(void);
/* The same for the rebranded flag. */
BWV_API int cusconf_is_rebranded(void);

BWV_END_DECLS

#endif
