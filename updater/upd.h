#ifndef BWV_UPD_H
#define BWV_UPD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Status of the latest request. Owned by the library; callers never free it.
 * Written only during a call of upd_check_bwn_update on the caller's thread, so it stays
 * readable and unchanged after the last poll. */
typedef struct upd_result {
    int32_t error_code;      /* offset 0: nonzero when the request failed (UPD_E_...) */
    char error_text[64];     /* offset 4: English message for the user, "" on success */
    uint16_t state;          /* offset 68: UPD_STATE_... */
    uint8_t reserved1[2];    /* offset 70: not read */
    int32_t progress;        /* offset 72: download progress, 0 to 500 */
    int32_t has_new_version; /* offset 76: the check found a version to download */
    uint8_t reserved2[36];   /* offset 80 to 115: not read */
    char version[96];        /* offset 116: the feed's version of the selected client */
    char file_path[1024];    /* offset 212: absolute path of the verified disk image */
} upd_result;

/* The installer reads the record by these offsets; this is the one place they are pinned. */
#ifdef __cplusplus
#define UPD_LAYOUT_ASSERT(e) static_assert(e, "upd_result layout")
#else
#define UPD_LAYOUT_ASSERT(e) _Static_assert(e, "upd_result layout")
#endif
UPD_LAYOUT_ASSERT(offsetof(upd_result, error_code) == 0);
UPD_LAYOUT_ASSERT(offsetof(upd_result, error_text) == 4);
UPD_LAYOUT_ASSERT(offsetof(upd_result, state) == 68);
UPD_LAYOUT_ASSERT(offsetof(upd_result, progress) == 72);
UPD_LAYOUT_ASSERT(offsetof(upd_result, has_new_version) == 76);
UPD_LAYOUT_ASSERT(offsetof(upd_result, version) == 116);
UPD_LAYOUT_ASSERT(offsetof(upd_result, file_path) == 212);
#undef UPD_LAYOUT_ASSERT

enum {
    UPD_STATE_IDLE = 0, /* no request made yet */
    UPD_STATE_RUNNING = 1,
    UPD_STATE_DONE = 3
};

enum {
    UPD_REQ_CHECK = 1,    /* is the feed's version newer than the installed client? */
    UPD_REQ_DOWNLOAD = 2, /* download the version the last check found, if newer */
    UPD_REQ_POLL = 4,
    UPD_REQ_DOWNLOAD_LIGHT = 8 /* fetch the feed, then download its version, if not older */
};

enum {
    UPD_E_NOT_SET_UP = -1,  /* no providers or no download folder */
    UPD_E_UNREACHABLE = -2, /* no connection to the update or download server */
    UPD_E_SERVER = -3,      /* the server answered with an HTTP error */
    UPD_E_BAD_FEED = -4,    /* the feed is not a valid update feed */
    UPD_E_NO_ENTRY = -5,    /* the feed offers nothing for the selected client */
    UPD_E_INTERRUPTED = -6, /* the download broke off and could not be resumed */
    UPD_E_DAMAGED = -7,     /* size or SHA-256 of the image do not match the feed */
    UPD_E_SAVE = -8,        /* the image could not be written to the download folder */
    UPD_E_TLS = -9,         /* the server's certificate was not accepted */
    UPD_E_INTERNAL = -10,
    /* Only with FeedPublicKeys in providers.plist: */
    UPD_E_UNSIGNED = -11,  /* the feed carries no signature */
    UPD_E_SIGNATURE = -12, /* no pinned key made the feed's signature */
    UPD_E_EXPIRED = -13,   /* the feed's Expires has passed */
    UPD_E_OLDER = -14,     /* the feed's Serial is below the highest this user accepted */
    UPD_E_STATE = -15,     /* the user's update state folder cannot be read or kept */
    /* Whatever the keys: */
    UPD_E_NOT_NEWER = -16 /* a download older than the installed client, or (2) not newer */
};

/* Reads the feed URLs (and the pinned feed keys, FeedPublicKeys) from "providers.plist" in
 * the folder that holds this library file. Returns 0, -1 when the library's folder is
 * unknown, -2 when the file is missing or not a property list with a FeedURLs array (or has
 * a FeedPublicKeys that is not an array of strings), -3 when it names no http or https URL.
 * On failure the providers loaded before are kept. */
int load_providers(void);

/* Later requests concern the full client ("Full" feed entry) instead of the VPN-only
 * client ("VPN"). Returns 0. */
int set_full_version(void);

/* Sets the folder the disk image is downloaded into (created 0700 when a download starts).
 * A relative path is taken relative to the current directory. Returns 0, -1 for NULL or
 * "", -2 when the path is too long for file_path. A download fails with UPD_E_SAVE when the
 * folder is a link, belongs to another user or may be written by others, when its
 * parent is another user's or may be written by others without the sticky bit, or when
 * the image's size would leave less than 16 MiB free there. */
int upd_init(const char *path);

/* Requests 1, 2 and 8 start work on the library's own thread and return at once; a request
 * made while another still runs is ignored. Every request, and the poll 4, copies the
 * current status into the record and returns it. Unknown codes return NULL and change
 * nothing. Call from one thread only. */
upd_result *upd_check_bwn_update(int request);

#ifdef __cplusplus
}
#endif

#endif
