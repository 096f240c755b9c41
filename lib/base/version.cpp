#include "lib/base/version.hpp"

#include <algorithm>

namespace bwv::ver {
namespace {

std::string_view strip_leading_zeros(std::string_view piece) {
    while (piece.size() > 1 && piece.front() == '0') piece.remove_prefix(1);
    return piece;
}

}  // namespace

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
