#include "updater/net.hpp"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <strings.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace bwv::upd {
namespace {

constexpr long kMaxRedirects = 10;
constexpr long kReceiveBuffer = 512 * 1024;
constexpr char kUserAgent[] = "BrindleWaveUpdate/1.0";

// Hashes on a thread of its own so that SHA-256 runs while the next bytes arrive; the
// receiving thread only copies into a free block.
class BackgroundSha256 {
public:
    BackgroundSha256() : ctx_(EVP_MD_CTX_new()) {
        if (!ctx_ || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) {
            EVP_MD_CTX_free(ctx_);
            throw std::runtime_error("sha256 init");
        }
        for (auto &b : storage_) {
            b = std::make_unique<unsigned char[]>(kBlockSize);
            free_.push_back(b.get());
        }
        current_ = take_free();
        thread_ = std::thread([this] { run(); });
    }

    ~BackgroundSha256() {
        {
            std::lock_guard lock(m_);
            stop_ = true;
        }
        work_cv_.notify_one();
        thread_.join();
        EVP_MD_CTX_free(ctx_);
    }

    BackgroundSha256(const BackgroundSha256 &) = delete;
    BackgroundSha256 &operator=(const BackgroundSha256 &) = delete;

    void update(const char *p, size_t n) {
        while (n > 0) {
            size_t take = std::min(n, kBlockSize - used_);
            std::copy(p, p + take, current_ + used_);
            used_ += take;
            p += take;
            n -= take;
            if (used_ == kBlockSize) submit();
        }
    }

    // Forgets every byte hashed so far.
    void restart() {
        drain();
        used_ = 0;
        EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr);
    }

    std::string finish_hex() {
        if (used_ > 0) submit();
        drain();
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (EVP_DigestFinal_ex(ctx_, md, &len) != 1) throw std::runtime_error("sha256 final");
        static const char hex[] = "0123456789abcdef";
        std::string out;
        for (unsigned int i = 0; i < len; ++i) {
            out += hex[md[i] >> 4];
            out += hex[md[i] & 15];
        }
        return out;
    }

private:
    static constexpr size_t kBlockSize = 1 << 20;
    static constexpr size_t kBlocks = 6;
    struct Job {
        unsigned char *data;
        size_t len;
    };

    unsigned char *take_free() {
        std::unique_lock lock(m_);
        free_cv_.wait(lock, [&] { return !free_.empty(); });
        unsigned char *b = free_.back();
        free_.pop_back();
        return b;
    }

    void submit() {
        {
            std::lock_guard lock(m_);
            queue_.push_back({current_, used_});
        }
        work_cv_.notify_one();
        current_ = take_free();
        used_ = 0;
    }

    void drain() {
        std::unique_lock lock(m_);
        free_cv_.wait(lock, [&] { return queue_.empty() && !busy_; });
    }

    void run() {
        std::unique_lock lock(m_);
        for (;;) {
            work_cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) return;
            Job job = queue_.front();
            queue_.pop_front();
            busy_ = true;
            lock.unlock();
            EVP_DigestUpdate(ctx_, job.data, job.len);
            lock.lock();
            busy_ = false;
            free_.push_back(job.data);
            free_cv_.notify_all();
        }
    }

    EVP_MD_CTX *ctx_;
    std::unique_ptr<unsigned char[]> storage_[kBlocks];
    std::mutex m_;
    std::condition_variable work_cv_, free_cv_;
    std::deque<Job> queue_;
    std::vector<unsigned char *> free_;
    bool busy_ = false;
    bool stop_ = false;
    unsigned char *current_ = nullptr;  // owned by the receiving thread
    size_t used_ = 0;
    std::thread thread_;
};

struct CurlEasyFree {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyFree>;

// Stalls are timed here rather than with libcurl's low-speed limit, which averages over
// several seconds and so notices a stall late; that limit is left to catch trickling.
struct Watch {
    const std::atomic<bool> *cancel = nullptr;
    std::chrono::seconds stall{30};
    curl_off_t last_now = -1;
    std::chrono::steady_clock::time_point last_change;
    bool stalled = false;
    bool secure = false;  // started over https, so redirects stay on https

    void reset() {
        last_now = -1;
        last_change = std::chrono::steady_clock::now();
        stalled = false;
    }
};

int on_progress(void *user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t) {
    auto *w = static_cast<Watch *>(user);
    if (w->cancel && w->cancel->load(std::memory_order_relaxed)) return 1;
    auto now = std::chrono::steady_clock::now();
    if (dlnow != w->last_now) {
        w->last_now = dlnow;
        w->last_change = now;
    } else if (now - w->last_change >= w->stall) {
        w->stalled = true;
        return 1;
    }
    return 0;
}

CurlEasy make_handle(const std::string &url, const NetOptions &opts, Watch &watch) {
    CurlEasy h(curl_easy_init());
    if (!h) throw std::runtime_error("curl_easy_init");
    CURL *c = h.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // What started over https stays on https: a redirect to plain http would hand the
    // transfer to anyone on the way. Plain http (a local or demo feed) may go either way.
    watch.secure = strncasecmp(url.c_str(), "https:", 6) == 0;
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, watch.secure ? "https" : "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, opts.connect_timeout_s);
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(c, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, on_progress);
    watch.cancel = opts.cancel;
    watch.stall = std::chrono::seconds(opts.stall_timeout_s);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &watch);
    return h;
}

bool connected(CURL *c) {
    curl_off_t t = 0;
    return curl_easy_getinfo(c, CURLINFO_CONNECT_TIME_T, &t) == CURLE_OK && t > 0;
}

NetError classify(CURL *c, CURLcode rc, const Watch &watch) {
    switch (rc) {
        case CURLE_OK:
            return NetError::None;
        case CURLE_HTTP_RETURNED_ERROR:
            return NetError::Server;
        case CURLE_ABORTED_BY_CALLBACK:
            if (!watch.stalled) return NetError::Cancelled;
            return connected(c) ? NetError::Interrupted : NetError::Unreachable;
        case CURLE_UNSUPPORTED_PROTOCOL:
            // Only a redirect leads here; from https, it may be one to plain http.
            return watch.secure ? NetError::Tls : NetError::Unreachable;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return NetError::Tls;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return NetError::Interrupted;
        case CURLE_OPERATION_TIMEDOUT:
            return connected(c) ? NetError::Interrupted : NetError::Unreachable;
        default:
            return NetError::Unreachable;
    }
}

long response_code(CURL *c) {
    long code = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    return code;
}

std::string effective_url(CURL *c) {
    char *u = nullptr;
    curl_easy_getinfo(c, CURLINFO_EFFECTIVE_URL, &u);
    return u ? u : "";
}

struct MemorySink {
    std::string *out;
    size_t max;
    bool too_large = false;
};

size_t write_memory(char *p, size_t size, size_t n, void *user) {
    auto *sink = static_cast<MemorySink *>(user);
    size_t len = size * n;
    if (sink->out->size() + len > sink->max) {
        sink->too_large = true;
        return 0;
    }
    sink->out->append(p, len);
    return len;
}

struct FileSink {
    int fd;
    uint64_t limit;
    uint64_t total = 0;
    BackgroundSha256 *hash;
    const std::function<void(uint64_t)> *on_bytes;
    bool too_large = false;
    bool local_error = false;
};

size_t write_file(char *p, size_t size, size_t n, void *user) {
    auto *sink = static_cast<FileSink *>(user);
    size_t len = size * n;
    if (sink->total + len > sink->limit) {
        sink->too_large = true;
        return 0;
    }
    for (size_t done = 0; done < len;) {
        ssize_t w = pwrite(sink->fd, p + done, len - done, static_cast<off_t>(sink->total + done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            sink->local_error = true;
            return 0;
        }
        done += static_cast<size_t>(w);
    }
    sink->hash->update(p, len);
    sink->total += len;
    if (*sink->on_bytes) (*sink->on_bytes)(sink->total);
    return len;
}

}  // namespace

bool fits_in_folder(int fd, uint64_t bytes) {
    struct statvfs vfs {};
    if (fstatvfs(fd, &vfs) != 0) return false;
    uint64_t avail = uint64_t{vfs.f_bavail} * vfs.f_frsize;
    return avail >= kFreeSpaceMargin && bytes <= avail - kFreeSpaceMargin;
}

void net_global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

NetResult fetch_document(const std::string &url, const NetOptions &opts, size_t max_bytes, std::string &out) {
    out.clear();
    Watch watch;
    CurlEasy h = make_handle(url, opts, watch);
    MemorySink sink{&out, max_bytes};
    curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, write_memory);
    curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, opts.document_timeout_s);
    watch.reset();
    CURLcode rc = curl_easy_perform(h.get());
    NetResult r;
    r.http_status = response_code(h.get());
    r.effective_url = effective_url(h.get());
    r.error = sink.too_large ? NetError::TooLarge : classify(h.get(), rc, watch);
    return r;
}

DownloadOutcome download_to_file(const std::string &url, int fd, uint64_t expected_size, const NetOptions &opts,
                                 int max_resumes, const std::function<void(uint64_t)> &on_bytes) {
    DownloadOutcome result;
    // A server that announces more than any image holds, or than the disk can take, would
    // otherwise fill the folder before its own size check ended the transfer.
    if (expected_size > kMaxImageBytes || !fits_in_folder(fd, expected_size)) {
        result.net.error = expected_size > kMaxImageBytes ? NetError::TooLarge : NetError::NoSpace;
        return result;
    }
    BackgroundSha256 hash;
    Watch watch;
    CurlEasy h = make_handle(url, opts, watch);
    CURL *c = h.get();
    FileSink sink{fd, expected_size, 0, &hash, &on_bytes};
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_file);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    // A server that sends a byte now and then never stalls, but would keep the download
    // going for ever; below this rate a transfer counts as a drop and is resumed only
    // max_resumes times, while an honest slow line stays well above it.
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, kMinimumImageRate);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, opts.stall_timeout_s);

    for (int resumes = 0;;) {
        curl_easy_setopt(c, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(sink.total));
        watch.reset();
        CURLcode rc = curl_easy_perform(c);
        result.net.http_status = response_code(c);
        result.net.effective_url = effective_url(c);
        NetError err = classify(c, rc, watch);
        if (sink.too_large) err = NetError::TooLarge;
        if (sink.local_error) err = NetError::Local;
        // Nothing more to fetch past what we hold; the caller's size check decides.
        if (err == NetError::Server && result.net.http_status == 416 && sink.total > 0) break;
        bool retry = resumes < max_resumes;
        // A body without a length that ends early looks like a complete one.
        if (err == NetError::None && sink.total < expected_size && retry) err = NetError::Interrupted;
        if (err == NetError::None) break;

        if (retry && err == NetError::Interrupted) {
            ++resumes;
            continue;
        }
        if (retry && rc == CURLE_RANGE_ERROR) {
            // The server sends the whole file again; start over rather than append it.
            ++resumes;
            if (ftruncate(fd, 0) != 0) {
                result.net.error = NetError::Local;
                return result;
            }
            hash.restart();
            sink.total = 0;
            continue;
        }
        result.net.error = (rc == CURLE_RANGE_ERROR) ? NetError::Interrupted : err;
        result.bytes = sink.total;
        return result;
    }
    result.bytes = sink.total;
    result.sha256 = hash.finish_hex();
    return result;
}

}  // namespace bwv::upd
