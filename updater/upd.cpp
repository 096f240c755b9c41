#include "updater/upd.h"

#include <bwvutil/paths.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "updater/feed.hpp"
#include "updater/net.hpp"
#include "updater/trust.hpp"

#define UPD_EXPORT extern "C" __attribute__((visibility("default")))

namespace bwv::upd {
namespace {

constexpr size_t kMaxFeedBytes = 1 << 20;
constexpr int kMaxResumes = 3;
constexpr int kMaxProgress = 500;

constexpr char kTextNotSetUp[] = "No update server is configured.";
constexpr char kTextNoFolder[] = "No download folder is set.";
constexpr char kTextUnreachable[] = "Cannot reach the update server.";
constexpr char kTextDownloadUnreachable[] = "Cannot reach the download server.";
constexpr char kTextServerError[] = "The update server answered with error %ld.";
constexpr char kTextDownloadServerError[] = "The download server answered with error %ld.";
constexpr char kTextBadFeed[] = "The update information is invalid.";
constexpr char kTextNoEntry[] = "No update is offered for this client.";
constexpr char kTextInterrupted[] = "The download was interrupted.";
constexpr char kTextDamaged[] = "The downloaded disk image is damaged.";
constexpr char kTextSave[] = "Cannot save the disk image.";
constexpr char kTextNoSpace[] = "There is not enough free space to save the disk image.";
constexpr char kTextTls[] = "Cannot verify the update server's identity.";
constexpr char kTextInternal[] = "The update failed unexpectedly.";
constexpr char kTextUnsigned[] = "The update information is not signed.";
constexpr char kTextSignature[] = "The update information's signature does not match.";
constexpr char kTextExpired[] = "The update information has expired.";
constexpr char kTextOlder[] = "The update information is older than one already seen.";
constexpr char kTextState[] = "Cannot keep the update state.";
constexpr char kTextRollback[] = "The offered version is older than the installed client.";
constexpr char kTextInstalled[] = "This version is already installed.";

struct Failure {
    int32_t code;
    std::string text;
};

template <size_t N>
void copy_text(char (&dst)[N], const std::string &src) {
    size_t n = std::min(src.size(), N - 1);
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

std::string format_status(const char *fmt, long status) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, status);
    return buf;
}

Failure net_failure(const NetResult &r, bool feed) {
    switch (r.error) {
        case NetError::Server:
            return {UPD_E_SERVER, format_status(feed ? kTextServerError : kTextDownloadServerError, r.http_status)};
        case NetError::Tls:
            return {UPD_E_TLS, kTextTls};
        case NetError::Interrupted:
            return {UPD_E_INTERRUPTED, kTextInterrupted};
        case NetError::TooLarge:
            return feed ? Failure{UPD_E_BAD_FEED, kTextBadFeed} : Failure{UPD_E_DAMAGED, kTextDamaged};
        case NetError::Local:
            return {UPD_E_SAVE, kTextSave};
        case NetError::NoSpace:
            return {UPD_E_SAVE, kTextNoSpace};
        default:
            return {UPD_E_UNREACHABLE, feed ? kTextUnreachable : kTextDownloadUnreachable};
    }
}

std::string library_folder() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&library_folder), &info) || !info.dli_fname) return {};
    // The folder the library was loaded from, as the loader named it: a symlinked copy
    // reads the providers beside the link.
    std::string file = info.dli_fname;
    auto slash = file.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

// The test root of libbwvutil: the installer's own copy when it carries the library
// statically, since the program then exports bwv_root for this library.
std::string current_root() {
    const char *r = bwv_root();
    return r ? r : "";
}

// The download folder, created 0700 where missing, must be the user's alone, and so must
// its parent be (or the system's, and then sticky if others may write it): the image is
// checked and then used by its path, so no other account may be able to swap it or plant a
// folder of its own there beforehand.
bool make_private_folder(const std::string &path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    const uid_t me = geteuid();
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != me || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return false;
    auto slash = path.rfind('/');
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    if (stat(parent.c_str(), &st) != 0 || (st.st_uid != me && st.st_uid != 0)) return false;
    return !(st.st_mode & (S_IWGRP | S_IWOTH)) || (st.st_mode & S_ISVTX);
}

// What a request needs, taken on the caller's thread when it starts.
struct Job {
    int request = 0;
    Providers providers;
    bool full = false;
    std::string folder;
    std::string root;
    std::string state;  // where the highest accepted feed serial is kept
    std::optional<FeedEntry> found;
};

class Library {
public:
    Library() {
        // libcurl (and OpenSSL with it) sets up before this object finishes construction,
        // so their exit handlers run after ours has stopped the worker.
        net_global_init();
    }

    ~Library() {
        cancel_.store(true);
        if (worker_.joinable()) worker_.join();
    }

    int load_providers() {
        std::string folder = library_folder();
        if (folder.empty()) return -1;
        Providers p;
        switch (read_providers(folder + "/providers.plist", p)) {
            case ProvidersError::Unreadable:
                return -2;
            case ProvidersError::NoUrls:
                return -3;
            case ProvidersError::None:
                break;
        }
        std::lock_guard lock(config_m_);
        providers_ = std::move(p);
        return 0;
    }

    int set_full() {
        std::lock_guard lock(config_m_);
        full_ = true;
        return 0;
    }

    int init(const char *path) {
        if (!path || !*path) return -1;
        std::string folder = path;
        if (folder.front() != '/') {
            char cwd[PATH_MAX];
            if (!getcwd(cwd, sizeof cwd)) return -2;
            folder = std::string(cwd) + "/" + folder;
        }
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        // Room for "/" and a file name in file_path.
        if (folder.size() + 1 + 200 >= sizeof(upd_result::file_path)) return -2;
        std::lock_guard lock(config_m_);
        folder_ = std::move(folder);
        return 0;
    }

    upd_result *request(int code) {
        switch (code) {
            case UPD_REQ_POLL:
                break;
            case UPD_REQ_CHECK:
            case UPD_REQ_DOWNLOAD:
            case UPD_REQ_DOWNLOAD_LIGHT:
                start(code);
                break;
            default:
                return nullptr;
        }
        publish();
        return &published_;
    }

    void fail_request(const char *text) {
        std::lock_guard lock(status_m_);
        status_.error_code = UPD_E_INTERNAL;
        copy_text(status_.error_text, text);
        status_.state = UPD_STATE_DONE;
    }

private:
    void start(int code) {
        {
            std::lock_guard lock(status_m_);
            if (status_.state == UPD_STATE_RUNNING) return;
        }
        if (worker_.joinable()) worker_.join();

        Job job;
        job.request = code;
        job.root = current_root();
        job.state = state_folder();
        {
            std::lock_guard lock(config_m_);
            job.providers = providers_;
            job.full = full_;
            job.folder = folder_;
        }
        if (job.providers.feed_urls.empty() && load_providers() == 0) {
            std::lock_guard lock(config_m_);
            job.providers = providers_;
        }
        {
            std::lock_guard lock(status_m_);
            if (code == UPD_REQ_CHECK) found_.reset();
            if (code == UPD_REQ_DOWNLOAD && found_ && found_full_ == job.full) job.found = found_;
            upd_result fresh{};
            fresh.state = UPD_STATE_RUNNING;
            if (job.found) {
                fresh.has_new_version = status_.has_new_version;
                copy_text(fresh.version, job.found->version);
            }
            status_ = fresh;
        }
        progress_.store(0);
        worker_ = std::thread([this, job = std::move(job)]() mutable {
            // An image that outgrows the process's file-size limit must fail as a save
            // error, not end the installer: the kernel aims SIGXFSZ at the writing thread,
            // so with it blocked here the write just fails with EFBIG.
            sigset_t xfsz;
            sigemptyset(&xfsz);
            sigaddset(&xfsz, SIGXFSZ);
            pthread_sigmask(SIG_BLOCK, &xfsz, nullptr);
            run(job);
        });
    }

    void publish() {
        std::lock_guard lock(status_m_);
        published_ = status_;
        if (status_.state == UPD_STATE_RUNNING) published_.progress = progress_.load();
    }

    void finish(const std::optional<Failure> &failure) {
        std::lock_guard lock(status_m_);
        if (failure) {
            status_.error_code = failure->code;
            copy_text(status_.error_text, failure->text);
        }
        status_.progress = progress_.load();
        status_.state = UPD_STATE_DONE;
    }

    void run(Job &job) {
        std::optional<Failure> failure;
        try {
            failure = job.request == UPD_REQ_CHECK ? check(job) : download(job);
        } catch (...) {
            failure = Failure{UPD_E_INTERNAL, kTextInternal};
        }
        finish(failure);
    }

    NetOptions net_options(const Job &job) const {
        NetOptions o;
        o.connect_timeout_s = job.providers.connect_timeout_s;
        o.stall_timeout_s = job.providers.stall_timeout_s;
        o.document_timeout_s = job.providers.feed_timeout_s;
        o.cancel = &cancel_;
        return o;
    }

    // With pinned keys a feed counts only when one of them signed it, it has not expired and
    // it is not older than the newest this user has accepted; that serial is raised at once,
    // so a server can neither forge a feed, nor swap in another's signature, nor serve an
    // old one (a freeze) without the request failing.
    static std::optional<Failure> trust(const Job &job, std::string_view doc, std::string_view &body) {
        uint64_t serial = 0;
        switch (verify_feed(doc, job.providers.feed_keys, static_cast<int64_t>(std::time(nullptr)), body, serial)) {
            case TrustError::None:
                break;
            case TrustError::Unsigned:
                return Failure{UPD_E_UNSIGNED, kTextUnsigned};
            case TrustError::BadSignature:
                return Failure{UPD_E_SIGNATURE, kTextSignature};
            case TrustError::Invalid:
                return Failure{UPD_E_BAD_FEED, kTextBadFeed};
            case TrustError::Expired:
                return Failure{UPD_E_EXPIRED, kTextExpired};
        }
        auto highest = highest_serial(job.state);
        if (!highest) return Failure{UPD_E_STATE, kTextState};
        if (serial < *highest) return Failure{UPD_E_OLDER, kTextOlder};
        if (serial > *highest && !remember_serial(job.state, serial)) return Failure{UPD_E_STATE, kTextState};
        return std::nullopt;
    }

    // Tries the providers in order; the last one's failure is reported.
    std::optional<Failure> fetch_entry(const Job &job, FeedEntry &entry) {
        if (job.providers.feed_urls.empty()) return Failure{UPD_E_NOT_SET_UP, kTextNotSetUp};
        Failure last{UPD_E_UNREACHABLE, kTextUnreachable};
        for (const auto &url : job.providers.feed_urls) {
            std::string doc;
            NetResult r = fetch_document(url, net_options(job), kMaxFeedBytes, doc);
            if (r.error == NetError::Cancelled) return Failure{UPD_E_INTERRUPTED, kTextInterrupted};
            if (r.error != NetError::None) {
                last = net_failure(r, true);
                continue;
            }
            std::string_view body = split_feed(doc).body;
            if (!job.providers.feed_keys.empty()) {
                if (auto f = trust(job, doc, body)) {
                    last = *f;
                    continue;
                }
            }
            switch (parse_feed(body, r.effective_url.empty() ? url : r.effective_url, job.full, entry)) {
                case FeedError::None:
                    return std::nullopt;
                case FeedError::NoEntry:
                    last = {UPD_E_NO_ENTRY, kTextNoEntry};
                    break;
                case FeedError::Invalid:
                    last = {UPD_E_BAD_FEED, kTextBadFeed};
                    break;
            }
        }
        return last;
    }

    void show_version(const FeedEntry &entry) {
        std::lock_guard lock(status_m_);
        copy_text(status_.version, entry.version);
    }

    // A staged version reaches automatic checks and upgrades only on the machines its
    // rollout has come to; a person who starts the installer gets it at once.
    static bool held_back(const Job &job, const FeedEntry &entry) {
        return job.request != UPD_REQ_DOWNLOAD_LIGHT && !offered_here(entry, job.root);
    }

    std::optional<Failure> check(const Job &job) {
        FeedEntry entry;
        if (auto f = fetch_entry(job, entry)) return f;
        // Not offered here yet: the same answer as an up-to-date client.
        if (held_back(job, entry)) return std::nullopt;
        bool newer = true;
        if (auto text = installed_version(job.root)) {
            auto installed = parse_leading_version(*text);
            auto offered = parse_version(entry.version);
            newer = !installed || compare_versions(*offered, *installed) > 0;
        }
        std::lock_guard lock(status_m_);
        copy_text(status_.version, entry.version);
        status_.has_new_version = newer ? 1 : 0;
        found_ = entry;
        found_full_ = job.full;
        return std::nullopt;
    }

    // A download never goes back from the client installed now: an upgrade only to a newer
    // version, a person's download to none older (the same version repairs the client).
    static std::optional<Failure> refuse_going_back(const Job &job, const FeedEntry &entry) {
        auto text = installed_version(job.root);
        auto installed = text ? parse_leading_version(*text) : std::nullopt;
        auto offered = parse_version(entry.version);
        if (!installed || !offered) return std::nullopt;
        int order = compare_versions(*offered, *installed);
        if (order < 0) return Failure{UPD_E_NOT_NEWER, kTextRollback};
        if (order == 0 && job.request == UPD_REQ_DOWNLOAD) return Failure{UPD_E_NOT_NEWER, kTextInstalled};
        return std::nullopt;
    }

    std::optional<Failure> download(const Job &job) {
        FeedEntry entry;
        if (job.found) {
            entry = *job.found;
        } else if (auto f = fetch_entry(job, entry)) {
            return f;
        } else if (held_back(job, entry)) {
            return Failure{UPD_E_NO_ENTRY, kTextNoEntry};
        }
        show_version(entry);
        // No client image comes near this: the entry is taken as invalid.
        if (entry.size > kMaxImageBytes) return Failure{UPD_E_BAD_FEED, kTextBadFeed};
        if (auto f = refuse_going_back(job, entry)) return f;
        if (job.folder.empty()) return Failure{UPD_E_NOT_SET_UP, kTextNoFolder};
        if (!make_private_folder(job.folder)) return Failure{UPD_E_SAVE, kTextSave};

        std::string final_path = job.folder + "/" + image_file_name(entry.url);
        std::string temp_path = job.folder + "/.download-XXXXXX";
        int fd = mkostemp(temp_path.data(), O_CLOEXEC);
        if (fd < 0) return Failure{UPD_E_SAVE, kTextSave};
        fchmod(fd, 0644);

        // Nothing half-done stays behind: the image appears under its name only once its
        // size and digest match.
        struct TempFile {
            int fd;
            const std::string &path;
            bool keep = false;
            ~TempFile() {
                if (fd >= 0) close(fd);
                if (!keep) unlink(path.c_str());
            }
        } temp{fd, temp_path};

        auto on_bytes = [&](uint64_t total) {
            uint64_t p = total >= entry.size ? kMaxProgress : total * kMaxProgress / entry.size;
            int now = static_cast<int>(p);
            // A restart from zero must not move the bar backwards.
            int prev = progress_.load(std::memory_order_relaxed);
            if (now > prev) progress_.store(now, std::memory_order_relaxed);
        };
        DownloadOutcome out = download_to_file(entry.url, fd, entry.size, net_options(job), kMaxResumes, on_bytes);
        if (out.net.error != NetError::None) return net_failure(out.net, false);
        if (out.bytes != entry.size || out.sha256 != entry.sha256) return Failure{UPD_E_DAMAGED, kTextDamaged};
        int rc = close(temp.fd);
        temp.fd = -1;
        if (rc != 0 || rename(temp_path.c_str(), final_path.c_str()) != 0) return Failure{UPD_E_SAVE, kTextSave};
        temp.keep = true;

        progress_.store(kMaxProgress);
        std::lock_guard lock(status_m_);
        copy_text(status_.file_path, final_path);
        return std::nullopt;
    }

    std::mutex config_m_;
    Providers providers_;
    bool full_ = false;
    std::string folder_;

    std::mutex status_m_;
    upd_result status_{};
    std::optional<FeedEntry> found_;
    bool found_full_ = false;
    std::atomic<int> progress_{0};

    std::atomic<bool> cancel_{false};
    std::thread worker_;

    // Written only inside upd_check_bwn_update on the caller's thread.
    upd_result published_{};
};

Library &library() {
    static Library lib;
    return lib;
}

}  // namespace
}  // namespace bwv::upd

UPD_EXPORT int load_providers(void) {
    try {
        return bwv::upd::library().load_providers();
    } catch (...) {
        return -2;
    }
}

UPD_EXPORT int set_full_version(void) {
    try {
        return bwv::upd::library().set_full();
    } catch (...) {
        return -1;
    }
}

UPD_EXPORT int upd_init(const char *path) {
    try {
        return bwv::upd::library().init(path);
    } catch (...) {
        return -2;
    }
}

UPD_EXPORT upd_result *upd_check_bwn_update(int request) {
    try {
        return bwv::upd::library().request(request);
    } catch (...) {
        // A request that could not even start is reported as finished and failed.
        try {
            auto &lib = bwv::upd::library();
            lib.fail_request(bwv::upd::kTextInternal);
            return lib.request(UPD_REQ_POLL);
        } catch (...) {
            return nullptr;
        }
    }
}
