#include <bwvutil/bwvc.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "lib/base/hex.hpp"
#include "lib/core/paths.hpp"

#ifndef BWV_PREFERENCES_ID
#define BWV_PREFERENCES_ID "com.tarvenel.BrindleWave"
#endif

namespace {

namespace paths = bwv::paths;

constexpr char kPreferencesId[] = BWV_PREFERENCES_ID;
constexpr char kNoHome[] = "none";
constexpr size_t kNoticeBuffer = 4096;

constexpr std::array<const char *, 7> kFullClientTools = {"ctlsvc",   "monsvc",    "bwvappguard",         "ratingagent",
                                                          "urlguard", "vulnprobe", "ssoagent_launchagent"};

std::atomic<bool> bypass_credential{false};

// The home folder from the password database; false when the user has no entry.
bool home_of(uid_t uid, std::string &home) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
    for (;;) {
        struct passwd pw {};
        struct passwd *found = nullptr;
        int r = getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
        if (r == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (r != 0 || !found || !pw.pw_dir) return false;
        home = pw.pw_dir;
        return true;
    }
}

std::string home_or_none(uid_t uid) {
    std::string home;
    return home_of(uid, home) ? home : std::string(kNoHome);
}

// Cut to the buffer and always terminated, as snprintf would; being cut is not an error.
int put(char *buf, int size, const std::string &text) {
    snprintf(buf, static_cast<size_t>(size), "%s", text.c_str());
    return 0;
}

bool has_login_name() {
    char name[256];
    return getlogin_r(name, sizeof name) == 0 && name[0] != '\0';
}

std::string user_support_dir(const std::string &home) { return home + std::string(paths::kSupportDir); }

std::string system_preferences_file() {
    return paths::fixed(std::string(paths::kPreferencesDir) + "/" + kPreferencesId + ".plist");
}

std::string notice_path(std::string_view fmt, uint32_t uid) {
    std::string path(fmt);
    path.replace(path.find("%d"), 2, std::to_string(uid));
    return paths::fixed(path);
}

// The address takes at most sizeof sun_path bytes; the name actually bound is what must
// be removed again.
std::string fill_address(sockaddr_un &addr, const std::string &path) {
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    size_t n = std::min(path.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, path.data(), n);
    return path.substr(0, n);
}

void send_notice(const char *text) {
    uint32_t uid = bwvc_get_cur_uid();
    std::string own_path = notice_path(paths::kNoticeSenderSocketFmt, uid);
    std::string gui_path = notice_path(paths::kNoticeGuiSocketFmt, uid);
    std::vector<char> notice(kNoticeBuffer, 0);
    strncpy(notice.data(), text, kNoticeBuffer - 1);

    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        perror("socket create erro");
        return;
    }
    sockaddr_un addr;
    std::string bound = fill_address(addr, own_path);
    unlink(bound.c_str());
    if (bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        perror("bind");
        close(sock);
        unlink(bound.c_str());
        return;
    }
    fill_address(addr, gui_path);
    // The path lies in a folder every account writes to: whoever bound it first is on
    // the other end, so the notice goes only to the console user or root listening there.
    struct ucred peer {};
    socklen_t peer_len = sizeof peer;
    int rc = connect(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    if (rc == 0 &&
        (getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &peer, &peer_len) != 0 || (peer.uid != uid && peer.uid != 0))) {
        errno = EPERM;
        rc = -1;
    }
    if (rc != 0) {
        perror("connect");
        close(sock);
        unlink(bound.c_str());
        return;
    }
    // A front end that went away must cost this process an error, not its life (SIGPIPE).
    if (send(sock, notice.data(), strlen(notice.data()) + 1, MSG_NOSIGNAL) < 0) perror("send");
    close(sock);
    unlink(bound.c_str());
}

}  // namespace

extern "C" {

uint32_t bwvc_get_cur_uid(void) {
    try {
        struct stat st {};
        if (stat(paths::fixed(paths::kConsole).c_str(), &st) != 0) return 0;
        return st.st_uid;
    } catch (...) {
        return 0;
    }
}

int bwvc_get_cur_support_dir(char *buf, int size) {
    if (!buf || size < 1) return -1;
    try {
        uid_t uid = bwvc_get_cur_uid();
        if (uid == 0) return -1;
        return put(buf, size, user_support_dir(home_or_none(uid)));
    } catch (...) {
        return -1;
    }
}

int bwvc_get_support_dir(char *buf, int size) {
    if (!buf || size < 1) return -1;
    try {
        if (has_login_name()) return put(buf, size, user_support_dir(home_or_none(geteuid())));
        return put(buf, size, paths::fixed(paths::kSupportDir));
    } catch (...) {
        return -1;
    }
}

int bwvc_get_user_dir(char *buf, int size) {
    if (!buf || size < 1) return -1;
    try {
        if (has_login_name()) return put(buf, size, home_or_none(geteuid()) + std::string(paths::kLogsDir));
        // A daemon has no log folder of its own; it writes under the support folder.
        return put(buf, size, paths::fixed(paths::kSupportDir));
    } catch (...) {
        return -1;
    }
}

int bwvc_get_preference_path(char *buf, int size) {
    if (!buf || size < 1) return -1;
    try {
        if (has_login_name())
            return put(buf, size,
                       home_or_none(geteuid()) + std::string(paths::kPreferencesDir) + "/" + kPreferencesId + ".plist");
        return put(buf, size, system_preferences_file());
    } catch (...) {
        return -1;
    }
}

int bwvc_check_user_file_accessibility(void) {
    try {
        uid_t uid = bwvc_get_cur_uid();
        if (uid == 0) return -1;
        std::string home;
        if (!home_of(uid, home)) return -2;
        char docs[4096];
        snprintf(docs, sizeof docs, "%s/Documents", home.c_str());
        int fd = open(docs, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            return 1;
        }
        // EPERM is the privacy guard's refusal; plain permission bits (EACCES) and
        // everything else are other failures.
        if (errno == EPERM) return 0;
        return -3;
    } catch (...) {
        return -3;
    }
}

void bwvc_SendInfotoGUI(const char *text) {
    if (!text) return;
    try {
        send_notice(text);
    } catch (...) {
    }
}

int is_dev_build(void) { return 0; }

int is_vpn_client(void) {
    try {
        std::string bin = paths::fixed(paths::kBinDir);
        if (access(bin.c_str(), R_OK) != 0) return 0;
        for (const char *tool : kFullClientTools) {
            if (access((bin + "/" + tool).c_str(), F_OK) == 0) return 0;
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

int bwvc_external_cert_trust(void) {
    try {
        return access(paths::fixed(paths::kCertTrustMarker).c_str(), R_OK) == 0 ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void bwvc_disable_credential(void) { bypass_credential.store(true, std::memory_order_relaxed); }

int bwvc_get_bypass_credential(void) { return bypass_credential.load(std::memory_order_relaxed) ? 1 : 0; }

void bin_to_hex(const unsigned char *in, char *out, size_t len) {
    if (!in || !out || len == 0) return;
    // Upper case; out may start at in (conversion in place).
    bwv::hex_encode(in, len, out, true);
}

}  // extern "C"
