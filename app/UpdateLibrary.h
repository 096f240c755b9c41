// The maker's update library, linked at load time from the bundle's
// Resources/runtime.helper folder. The controller reads the status record by these
// exact byte offsets, so the layout is pinned below.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef struct upd_result {
    int32_t error_code;
    char error_text[64];
    uint16_t state;
    uint16_t reserved0;
    int32_t progress;
    int32_t has_new_version;
    char reserved1[36];
    char version[96];
    char file_path[1024];
} upd_result;

int load_providers(void);
int set_full_version(void);
int upd_init(const char *path);
upd_result *upd_check_bwn_update(int request);

}

static_assert(offsetof(upd_result, error_code) == 0);
static_assert(offsetof(upd_result, error_text) == 4);
static_assert(offsetof(upd_result, state) == 68);
static_assert(offsetof(upd_result, progress) == 72);
static_assert(offsetof(upd_result, has_new_version) == 76);
static_assert(offsetof(upd_result, version) == 116);
static_assert(offsetof(upd_result, file_path) == 212);

namespace bwv::upd {

// Request codes of upd_check_bwn_update.
inline constexpr int kCheck = 1;
inline constexpr int kDownload = 2;
inline constexpr int kPoll = 4;
inline constexpr int kLightDownload = 8;
// A request has finished once its record reports this state.
inline constexpr uint16_t kFinished = 3;

}  // namespace bwv::upd
