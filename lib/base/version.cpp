#include "lib/base/version.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "lib/base/utf8.hpp"

namespace bwv::ver {
namespace {

std::string_view strip_leading_zeros(std::string_view piece) {
    while (piece.size() > 1 && piece.front() == '0') piece.remove_prefix(1);
    return piece;
}

constexpr size_t kMaxVersionFile = 1 << 20;

// A regular file's whole text, or nullopt (missing, not a regular file, too big, unreadable,
// not UTF-8). Non-blocking, so that a FIFO in its place fails at once instead of waiting.
std::optional<std::string> read_text_file(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::string data;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char buf[8192];
    while (ok) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        data.append(buf, static_cast<size_t>(n));
        ok = data.size() <= kMaxVersionFile;
    }
    close(fd);
    if (!ok || !text::valid_utf8(data)) return std::nullopt;
    return data;
}

}  // namespace

std::optional<std::string> installed_version(const std::string &conf_dir, const std::string &support_dir) {
    for (const std::string *dir : {&conf_dir, &support_dir}) {
        auto text = read_text_file(*dir + "/bwvinfo");
        if (!text) continue;
        auto at = text->find("version=");
        if (at == std::string::npos) return std::nullopt;
        return text->substr(at + 8);
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>> parse_version(std::string_view text) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            piece += c;
        } else if (c == '.') {
            if (piece.empty()) return std::nullopt;
            pieces.push_back(std::move(piece));
            piece.clear();
        } else {
            return std::nullopt;
        }
    }
    if (piece.empty()) return std::nullopt;
    pieces.push_back(std::move(piece));
    return pieces;
}

std::optional<std::vector<std::string>> parse_leading_version(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    size_t n = 0;
    while (n < text.size() && ((text[n] >= '0' && text[n] <= '9') || text[n] == '.')) ++n;
    std::string_view head = text.substr(0, n);
    while (!head.empty() && head.back() == '.') head.remove_suffix(1);
    return parse_version(head);
}

int compare_versions(const std::vector<std::string> &a, const std::vector<std::string> &b) {
    for (size_t i = 0, n = std::max(a.size(), b.size()); i < n; ++i) {
        std::string_view x = strip_leading_zeros(i < a.size() ? std::string_view(a[i]) : "0");
        std::string_view y = strip_leading_zeros(i < b.size() ? std::string_view(b[i]) : "0");
        if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
        if (int c = x.compare(y); c != 0) return c < 0 ? -1 : 1;
    }
    return 0;
}

}  // namespace bwv::ver
