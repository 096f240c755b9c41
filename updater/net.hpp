// The network side of the update library: small fetches into memory and image downloads
// that resume after a drop and hash while the bytes arrive.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace bwv::upd {

// An image's declared size may not pass this, whatever the disk holds.
inline constexpr uint64_t kMaxImageBytes = uint64_t{4} << 30;
// Room a download leaves free on the download folder's file system.
inline constexpr uint64_t kFreeSpaceMargin = uint64_t{16} << 20;
// An image slower than this on average over the stall time counts as a drop.
inline constexpr long kMinimumImageRate = 16 * 1024;

struct NetOptions {
    long connect_timeout_s = 15;
    long stall_timeout_s = 30;     // no byte for this long, or an image below kMinimumImageRate
    long document_timeout_s = 60;  // a whole fetch_document, however steadily bytes arrive
    const std::atomic<bool> *cancel = nullptr;
};

enum class NetError {
    None,
    Unreachable,  // no connection, or the name did not resolve
    Server,       // HTTP error status; see http_status
    Interrupted,  // broke off (drop, stall) and could not be resumed
    Tls,          // certificate refused
    TooLarge,     // more bytes than allowed or announced
    Local,        // writing the file failed
    NoSpace,      // the announced size does not fit the folder's free space
    Cancelled,
};

struct NetResult {
    NetError error = NetError::None;
    long http_status = 0;
    std::string effective_url;  // after redirects
};

// Fetches a small document (at most max_bytes).
NetResult fetch_document(const std::string &url, const NetOptions &opts, size_t max_bytes, std::string &out);

struct DownloadOutcome {
    NetResult net;
    uint64_t bytes = 0;
    std::string sha256;  // lower-case hex of all bytes written, when net.error is None
};

// Downloads url into the open, empty file fd. A dropped or stalled transfer resumes
// with a range request up to max_resumes times, or starts over when the server refuses
// ranges. More than expected_size bytes are refused, and nothing is fetched when
// expected_size passes kMaxImageBytes (TooLarge) or fits_in_folder refuses it (NoSpace).
// on_bytes gets the running total.
DownloadOutcome download_to_file(const std::string &url, int fd, uint64_t expected_size, const NetOptions &opts,
                                 int max_resumes, const std::function<void(uint64_t)> &on_bytes);

// True when bytes more can be written to the file system holding fd and still leave
// kFreeSpaceMargin free for anyone else.
bool fits_in_folder(int fd, uint64_t bytes);

// Once per process, before threads use libcurl.
void net_global_init();

}  // namespace bwv::upd
