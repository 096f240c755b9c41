#include "tools/standins/common/standin.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "lib/base/hex.hpp"
#include "lib/base/launch.hpp"

namespace bwv::tools {

namespace {
constexpr size_t kMaxErrorText = 64 * 1024;
}  // namespace

std::string self_dir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, static_cast<size_t>(n));
    auto slash = p.rfind('/');
    return slash == 0 ? "/" : p.substr(0, slash);
}

std::string state_dir() {
    if (const char *env = std::getenv("BWV_TOOLS_STATE_DIR"); env && *env) return env;
    // The var folder may not exist yet; resolve the tree above it instead.
    std::string tree = self_dir() + "/../..";
    char resolved[PATH_MAX];
    if (realpath(tree.c_str(), resolved)) return std::string(resolved) + "/var";
    return tree + "/var";
}

std::string installer_log_path() { return state_dir() + "/installer.log"; }

std::string escape_field(const std::string &s) {
    std::string r;
    r.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '\\':
                r += "\\\\";
                break;
            case '\t':
                r += "\\t";
                break;
            case '\n':
                r += "\\n";
                break;
            case '\r':
                r += "\\r";
                break;
            default:
                r += c;
        }
    }
    return r;
}

std::string utc_now() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string base_name(const std::string &path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    auto slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string absolute_path(const std::string &path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

bool make_dirs(const std::string &path, unsigned mode) {
    if (path.empty()) return false;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !make_dirs(path.substr(0, slash), mode)) return false;
    return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

bool append_installer_log(const std::string &tool, const std::string &event, const std::string &subject,
                          const std::string &detail, std::string *error) {
    std::string dir = state_dir();
    if (!make_dirs(dir, 0755)) {
        if (error) *error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    std::string line = utc_now() + "\t" + escape_field(tool) + "\t" + escape_field(event) + "\t" +
                       escape_field(subject) + "\t" + escape_field(detail) + "\n";
    std::string path = dir + "/installer.log";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    // One write per record keeps records from concurrent tools whole (O_APPEND).
    ssize_t n = write(fd, line.data(), line.size());
    int saved = errno;
    close(fd);
    if (n != static_cast<ssize_t>(line.size())) {
        if (error) *error = "cannot write " + path + ": " + std::strerror(n < 0 ? saved : EIO);
        return false;
    }
    return true;
}

int run_capture(const std::vector<std::string> &argv, std::string *out, std::string *err) {
    if (argv.empty()) return -1;
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    launch::Command cmd;
    cmd.argv = args.data();
    cmd.search_path = true;
    launch::Run how;
    if (out) how.out = launch::capture(*out);
    // Messages only: a tool that floods its error stream does not fill the memory.
    if (err) how.err = launch::capture(*err, kMaxErrorText);
    launch::Result r = launch::run(cmd, how);
    if (r.error != 0 || r.status == -1 || r.sink_failed) return -1;
    if (WIFEXITED(r.status)) return WEXITSTATUS(r.status);
    if (WIFSIGNALED(r.status)) return 128 + WTERMSIG(r.status);
    return -1;
}

std::string sha256_file(const std::string &path, unsigned long long *size) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || !EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr)) {
        close(fd);
        return {};
    }
    unsigned long long total = 0;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return {};
        }
        if (n == 0) break;
        EVP_DigestUpdate(ctx.get(), buf, static_cast<size_t>(n));
        total += static_cast<unsigned long long>(n);
    }
    close(fd);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &len);
    std::string hex(2 * size_t{len}, '\0');
    hex_encode(md, len, hex.data());
    if (size) *size = total;
    return hex;
}

}  // namespace bwv::tools
