// The maker's update library, linked at load time from the bundle's
// Resources/runtime.helper folder. Its four functions and the status record, with the
// offsets pinned, come from the library's own header, so the controller reads the record
// by the very layout the library writes.
#pragma once

#include <cstdint>

#include "updater/upd.h"

namespace bwv::upd {

// Request codes of upd_check_bwn_update.
inline constexpr int kCheck = UPD_REQ_CHECK;
inline constexpr int kDownload = UPD_REQ_DOWNLOAD;
inline constexpr int kPoll = UPD_REQ_POLL;
inline constexpr int kLightDownload = UPD_REQ_DOWNLOAD_LIGHT;
// A request has finished once its record reports this state.
inline constexpr uint16_t kFinished = UPD_STATE_DONE;

static_assert(kCheck == 1 && kDownload == 2 && kPoll == 4 && kLightDownload == 8 && kFinished == 3);

}  // namespace bwv::upd
