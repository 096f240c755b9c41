// Helpers every test may use: private folders (also as the library's root), files, child
// processes with input and environment, a fresh process for code that keeps per-process
// state, and the python3 oracles.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bwv::test {

// A fresh folder, removed with everything in it (read-only folders included) when the
// object goes away. Under $TMPDIR, or under /tmp itself when socket paths below it must fit
// an address.
class TempDir {
public:
    enum Base { UnderTmpdir, UnderSlashTmp };
    explicit TempDir(std::string_view prefix = "bwvtest", Base base = UnderTmpdir);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(std::string_view rel) const { return path_ + "/" + std::string(rel); }
    std::string operator/(std::string_view rel) const { return file(rel); }

    // Each answers the full path; folders on the way are created; throws std::runtime_error.
    std::string write(std::string_view rel, std::string_view content, mode_t mode = 0644) const;
    std::string mkdirs(std::string_view rel) const;
    // An executable "#!/bin/sh" script; "@ROOT@" in the body stands for this folder.
    std::string script(std::string_view rel, std::string body) const;

    std::string read(std::string_view rel) const;
    bool exists(std::string_view rel) const;  // lstat: a dangling link exists

private:
    std::string path_;
};

// A temporary folder that is the library's root (bwv_set_root) while the object lives.
// Header-only, so it sets the root of whichever copy of the library the test links.
template <void (*SetRoot)(const char *)>
class BasicFakeRoot : public TempDir {
public:
    explicit BasicFakeRoot(std::string_view prefix = "bwvroot", Base base = UnderSlashTmp) : TempDir(prefix, base) {
        SetRoot(path().c_str());
    }
    ~BasicFakeRoot() { SetRoot(nullptr); }
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, std::string_view content);  // throws
bool exists(const std::string &path);                                // lstat
std::vector<std::string> lines(const std::string &text);
std::vector<std::string> list_dir(const std::string &path);  // sorted names
void remove_tree(const std::string &path);                   // never follows links
// Every path under root (relative, sorted), with "/" after folders.
std::vector<std::string> walk(const std::string &root);
void flip_byte(const std::string &path, long offset);  // flips bit 0; throws

// A row of a table of calls: what it shows, the call, and what the call must answer.
template <class T = long>
struct CallRow {
    const char *what;
    std::function<T()> call;
    T want;
};

struct RunResult {
    int rc = -1;  // exit status, or 128 + signal
    std::string out, err;
};
using Env = std::vector<std::pair<std::string, std::string>>;

// Runs argv[0] (searched in PATH) with `input` on its standard input and `env` added.
RunResult run(const std::vector<std::string> &argv, const std::string &input = {}, const Env &env = {},
              const std::string &cwd = {});

// Runs body in a forked child and answers what it returned; "<crashed>" when the child did
// not end normally. For code whose state lives once per process.
std::string in_fresh_process(const std::function<std::string()> &body);

// python3 with `script` from the test data (tests/lib/data or a path), for the oracles.
RunResult run_python(const std::string &script, const std::vector<std::string> &args = {},
                     const std::string &input = {});

}  // namespace bwv::test
