#include <bwvutil/ps_utils.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/core/paths.hpp"
#include "lib/system/child.hpp"

namespace {

namespace paths = bwv::paths;
using bwv::sys::ArgVector;

constexpr off_t kLogLimit = 10000001;
// The entry was once appended by a shell command formed in a 256-byte buffer from this
// template; arguments too long for it never produced an entry, and still do not.
constexpr char kLogCommandTemplate[] = "{ echo \"load %s\"; date; kextstat; } >>\"%s\"";
constexpr int kLogCommandBuffer = 256;
constexpr size_t kChunk = 4096;

// Runs a kext tool with nothing inherited and an empty environment; the wait status, or
// -1 when it cannot be started or waited for.
int run_kext_tool(std::string_view tool, const char *name, const char *kext, int is_bundle_id) {
    std::string file = paths::fixed(tool);
    ArgVector args = is_bundle_id ? ArgVector{name, "-b", kext} : ArgVector{name, kext};
    bwv::sys::SpawnOptions opts;
    opts.close_all = true;
    opts.empty_env = true;
    pid_t pid = bwv::sys::spawn(file.c_str(), args.get(), opts);
    if (pid < 0) return -1;
    int status = 0;
    if (bwv::sys::wait_for(pid, &status) < 0) return -1;
    return status;
}

std::string kextstat_listing() {
    std::string tool = paths::fixed(paths::kKextstat);
    ArgVector args{tool};
    std::string out;
    if (bwv::sys::run_capture(tool.c_str(), args.get(), out) != 0) out.clear();
    return out;
}

// One entry: "load " and the argument, the date as date(1) prints it, the kextstat listing.
void append_load_log(const char *kext) {
    std::string log = paths::fixed(paths::kKextLoadLog);
    struct stat st {};
    if (stat(log.c_str(), &st) == 0 && st.st_size >= kLogLimit) unlink(log.c_str());

    std::string macos_log(paths::kKextLoadLog);
    int command_len = snprintf(nullptr, 0, kLogCommandTemplate, kext, macos_log.c_str());
    if (command_len < 0 || command_len >= kLogCommandBuffer) return;

    std::string entry = "load ";
    entry += kext;
    entry += '\n';
    char date[128];
    time_t now = time(nullptr);
    struct tm tm {};
    if (localtime_r(&now, &tm) && strftime(date, sizeof date, "%a %b %e %H:%M:%S %Z %Y", &tm) > 0) {
        entry += date;
        entry += '\n';
    }
    entry += kextstat_listing();

    // Writable by its owner alone, whatever the caller's umask.
    int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    bwv::launch::write_all(fd, entry.data(), entry.size());
    close(fd);
}

int install_pkg(const char *path) {
    int src = open(path, O_RDONLY | O_CLOEXEC);
    if (src < 0) return -1;
    off_t length = lseek(src, 0, SEEK_END);
    if (length < 0 || lseek(src, 0, SEEK_SET) != 0) {
        close(src);
        return -1;
    }
    unsigned char chunk[kChunk] = {};
    ssize_t got;
    do {
        got = read(src, chunk, sizeof chunk);
    } while (got < 0 && errno == EINTR);
    if (got < 4 || memcmp(chunk, "xar!", 4) != 0) {
        close(src);
        return -1;
    }

    // The fixed name lies in a folder every account writes to. Only a stale copy of our
    // own (a regular file) is removed; anything else there (another account's file,
    // folder or link) is left alone and the install refused, and the copy is created new
    // without following a link, so an entry made in between fails the creation.
    std::string copy = paths::fixed(paths::kUpgradePkg);
    std::string installer = paths::fixed(paths::kInstaller);
    ArgVector args{installer, "-pkg", copy, "-target", "/"};
    struct stat st {};
    bool stale_own = lstat(copy.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
    if (stale_own) unlink(copy.c_str());
    int dst = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (dst < 0) {
        close(src);
        return -1;
    }
    bool ok = true;
    off_t copied = 0;
    while (ok && got > 0) {
        ok = bwv::launch::write_all(dst, reinterpret_cast<const char *>(chunk), static_cast<size_t>(got));
        copied += got;
        // Bytes appended after the length was measured are not part of this package.
        if (copied >= length) break;
        do {
            got = read(src, chunk, sizeof chunk);
        } while (got < 0 && errno == EINTR);
        if (got < 0) ok = false;
    }
    close(src);
    if (close(dst) != 0) ok = false;
    if (!ok) {
        unlink(copy.c_str());
        return -1;
    }

    bwv::sys::SpawnOptions opts;
    opts.search_path = true;
    pid_t pid = bwv::sys::spawn(installer.c_str(), args.get(), opts);
    if (pid < 0) {
        unlink(copy.c_str());
        return -1;
    }
    bwv::sys::wait_for(pid, nullptr);
    unlink(copy.c_str());
    return 0;
}

}  // namespace

extern "C" {

int ps_load_kext(const char *kext, int is_bundle_id) {
    if (!kext) return 1;
    try {
        if (run_kext_tool(paths::kKextload, "kextload", kext, is_bundle_id) < 0) return 1;
        // The tool's own status is not the answer: the entry's listing shows whether the
        // extension is loaded.
        append_load_log(kext);
        return 0;
    } catch (...) {
        return 1;
    }
}

int ps_unload_kext(const char *kext, int is_bundle_id) {
    if (!kext) return 1;
    try {
        int status = run_kext_tool(paths::kKextunload, "kextunload", kext, is_bundle_id);
        if (status < 0) return 1;
        if (status & 0x7f) return 2;
        return (status >> 8) & 0xff;
    } catch (...) {
        return 1;
    }
}

int ps_kext_is_run(const char *name) {
    if (!name || !*name) return 0;
    try {
        std::string listing = kextstat_listing();
        return listing.find(name) != std::string::npos ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int ps_install_pkg_file(const char *path) {
    if (!path || !*path) return -1;
    try {
        return install_pkg(path);
    } catch (...) {
        return -1;
    }
}

}  // extern "C"
