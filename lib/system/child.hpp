// Child processes started with an argument vector, never through a shell, all through the
// one launcher of base/ (own process group, death with the starting thread, default signals,
// nothing inherited but the standard descriptors).
#pragma once

#include <bwvutil/dbuf.h>

#include <sys/types.h>

#include <string>
#include <vector>

#include "lib/base/launch.hpp"

namespace bwv::sys {

// An argument vector that owns its strings and hands out the char *const[] that exec wants.
class ArgVector {
public:
    ArgVector(std::initializer_list<std::string> args) : args_(args) { rebuild(); }
    explicit ArgVector(std::vector<std::string> args) : args_(std::move(args)) { rebuild(); }
    ArgVector(const ArgVector &) = delete;
    ArgVector &operator=(const ArgVector &) = delete;

    char *const *get() const { return ptrs_.data(); }
    const std::string &operator[](size_t i) const { return args_[i]; }

private:
    void rebuild() {
        ptrs_.clear();
        for (auto &a : args_) ptrs_.push_back(a.data());
        ptrs_.push_back(nullptr);
    }
    std::vector<std::string> args_;
    std::vector<char *> ptrs_;
};

struct SpawnOptions {
    // Descriptors put on the child's 0, 1 and 2; -1 leaves the inherited one.
    int stdio[3] = {-1, -1, -1};
    // Look a file name without "/" up in the search path instead of the working directory.
    bool search_path = false;
    // 0 to 2 on /dev/null.
    bool close_all = false;
    // An empty environment instead of the caller's.
    bool empty_env = false;
};

// Starts file with argv. A child that cannot execute it ends with status 1. Returns the
// child's id, or -1 with errno set when no child could be made.
pid_t spawn(const char *file, char *const argv[], const SpawnOptions &opts);

// Starts a child that splits cmdline into words with wordexp as a shell would (no flags)
// and executes them through the search path. A child that cannot split or execute the line
// ends with status 1. The child's id, or -1 with errno set when no child could be made.
pid_t spawn_expanded(const char *cmdline, const SpawnOptions &opts);

// Waits for the child. Returns the wait status, or -1 when the wait itself fails.
int wait_for(pid_t pid, int *status);

// Runs file with argv to its end, its input a pipe left open and unwritten, appending its
// standard output and error to out and err (dropped when null; they may be one buffer).
// 0; -2 when no child could be made; -3 when waiting for the output failed or a buffer
// could not grow: the rest is read and dropped and each buffer holds what it held before.
int collect(const char *file, char *const argv[], dbuf *out, dbuf *err);

// Runs file with argv, its standard input on /dev/null and its standard error inherited,
// collecting its standard output; the exit status is stored in *status when not null.
// 0, or -1 when the child could not be started or waited for.
int run_capture(const char *file, char *const argv[], std::string &output, int *status = nullptr);

}  // namespace bwv::sys
