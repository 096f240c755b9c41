// A fake client root for the rebrand and custom-configuration files, and a fresh process
// for each scenario: the rebrand cache lives once per process.
#pragma once

#include <gtest/gtest.h>

#include <bwvutil/paths.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/core/paths.hpp"
#include "support/bplist_bomb.hpp"

namespace bwv_test {

class FakeRoot {
public:
    FakeRoot() {
        std::string templ = "/tmp/bwv-custom-XXXXXX";
        if (!mkdtemp(templ.data())) ADD_FAILURE() << "mkdtemp failed";
        root_ = templ;
        std::filesystem::create_directories(root_ + std::string(bwv::paths::kConfDir));
        bwv_set_root(root_.c_str());
    }
    ~FakeRoot() {
        bwv_set_root(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    std::string rebrand_file() const { return bwv::paths::fixed(bwv::paths::kRebrandFile); }
    std::string custom_file() const { return bwv::paths::fixed(bwv::paths::kCustomFile); }
    static void write(const std::string &path, const std::string &text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

private:
    std::string root_;
};

// An XML property list whose root dictionary holds the given <key>/value markup.
inline std::string plist_dict(const std::string &entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n" +
           entries + "</dict>\n</plist>\n";
}

// A binary root dictionary naming the product "Evil" beside 2^20 copies of a boolean:
// a few hundred bytes that no reader may expand.
inline std::string evil_bomb() {
    using namespace bwv::test;
    return doubling_bomb(20, {"\x09", {}}, "Bomb", {23}, {24},
                         {bplist_string("ProductName"), bplist_string("Evil")});
}

// Runs body in a child process and returns what it produced; "<crashed>" if it did not
// end normally.
inline std::string in_fresh_process(const std::function<std::string()> &body) {
    int fds[2];
    if (pipe(fds) != 0) return "<pipe>";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string out = body();
        size_t off = 0;
        while (off < out.size()) {
            ssize_t n = ::write(fds[1], out.data() + off, out.size() - off);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<crashed>";
    return out;
}

}  // namespace bwv_test
