#include <bwvutil/verify.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "lib/core/paths.hpp"
#include "lib/system/child.hpp"

namespace {

constexpr std::string_view kStatusText = "Status: signed by a developer certificate issued by Apple for distribution";
constexpr std::string_view kSignerEntry = "1. Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)";
constexpr std::string_view kStatusKey = "Status:";
constexpr std::string_view kSignerKey = "1. ";

// The check used to be a shell command line formed in a 1,024-byte buffer; a path too
// long for it never got an answer, and still does not.
constexpr char kCommandTemplate[] = "/usr/sbin/pkgutil --check-signature \"%s\"";
constexpr int kCommandBuffer = 1024;

// The report's lines, judged as their bytes arrive. Certificate names in the report come
// from the package, so the texts count only as whole lines of the tool's own: the first
// "Status:" line and the first chain entry (the signer), each exact but for blanks. A line
// longer than 1,023 bytes is judged in pieces of that size, each a line of its own, as the
// report has always been read; the tool writes its status line and the chain's first entry
// before any name it took from the package, so a later piece can never take their place.
class ReportLines {
public:
    void feed(const char *bytes, size_t n) {
        for (size_t i = 0; i < n; ++i) put(bytes[i]);
    }
    void finish() {
        if (in_line_) end_line();
    }
    bool accepted() const { return status_ok_ && signer_ok_; }

private:
    static bool blank(char c) { return c == ' ' || c == '\t'; }

    void put(char c) {
        if (c == '\n') {
            end_line();
            return;
        }
        in_line_ = true;
        ++piece_;
        if (!(text_.empty() && blank(c))) {
            if (text_.size() < kKeep)
                text_ += c;
            else if (!blank(c))
                blank_tail_ = false;
        }
        if (piece_ == kPiece) end_line();
    }

    // The line's text after its leading blanks is exactly `expected`, trailing blanks aside.
    bool is_exactly(std::string_view expected) const {
        if (!blank_tail_) return false;
        std::string_view t = text_;
        while (!t.empty() && blank(t.back())) t.remove_suffix(1);
        return t == expected;
    }

    void end_line() {
        std::string_view t = text_;
        if (!status_seen_ && t.substr(0, kStatusKey.size()) == kStatusKey) {
            status_seen_ = true;
            status_ok_ = is_exactly(kStatusText);
        }
        if (!signer_seen_ && t.substr(0, kSignerKey.size()) == kSignerKey) {
            signer_seen_ = true;
            signer_ok_ = is_exactly(kSignerEntry);
        }
        text_.clear();
        blank_tail_ = true;
        in_line_ = false;
        piece_ = 0;
    }

    // One byte more than the longer text: enough to tell "exactly" from "longer".
    static constexpr size_t kKeep = std::max(kStatusText.size(), kSignerEntry.size()) + 1;
    static constexpr size_t kPiece = 1023;
    std::string text_;
    size_t piece_ = 0;
    bool blank_tail_ = true;
    bool in_line_ = false;
    bool status_seen_ = false, status_ok_ = false;
    bool signer_seen_ = false, signer_ok_ = false;
};

int verify(const char *path) {
    int command_len = snprintf(nullptr, 0, kCommandTemplate, path);
    if (command_len < 0 || command_len >= kCommandBuffer) return 0;

    std::string tool = bwv::paths::fixed(bwv::paths::kPkgutil);
    // The path goes to the tool as one argument; no shell ever sees it.
    bwv::sys::ArgVector args{tool, "--check-signature", path};
    bwv::launch::Command cmd;
    cmd.argv = args.get();
    ReportLines lines;
    bwv::launch::Run how;
    how.out.sink = [&lines](const char *bytes, size_t n) { lines.feed(bytes, n); };
    how.err.inherit = true;
    how.deadline = bwv::launch::kVerifyDeadline;
    bwv::launch::Result ran = bwv::launch::run(cmd, how);
    if (ran.error != 0 || ran.timed_out || ran.read_failed) return 0;
    lines.finish();
    return lines.accepted() ? 1 : 0;
}

}  // namespace

extern "C" {

int verifyPackage(const char *path) {
    // An empty path is still a path: the tool is asked and its report decides.
    if (!path) return 0;
    try {
        return verify(path);
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
