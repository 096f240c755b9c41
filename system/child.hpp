// Child processes started with an argument vector, never through a shell. Everything the
// child needs is prepared before fork, because the child may only make async-signal-safe
// calls when the caller has other threads; spawn_expanded is the one exception, for the
// reasons given where it is defined.
#pragma once

#include <bwvutil/dbuf.h>

#include <sys/types.h>

#include <string>
#include <vector>

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
    void rebuild()
    {
        ptrs_.clear();
        for (auto &a : args_)
            ptrs_.push_back(a.data());
        ptrs_.push_back(nullptr);
    }
    std::vector<std::string> args_;
    std::vector<char *> ptrs_;
};

struct SpawnOptions {
    // Descriptors put on the child's 0, 1 and 2; -1 leaves the inherited one.
    int stdio[3] = {-1, -1, -1};
    // Look a file name without "/" up in the search path (execvp) instead of using it as is.
    bool search_path = false;
    // Run closeall() in the child: nothing inherited, 0 to 2 on /dev/null.
    bool close_all = false;
    // An empty environment instead of the caller's.
    bool empty_env = false;
};

// Forks and executes file with argv. A child whose exec fails ends with status 1.
// Returns the child's id, or -1 with errno set when the fork fails.
pid_t spawn(const char *file, char *const argv[], const SpawnOptions &opts);

// Forks a child that puts opts.stdio (or closeall) in place, splits cmdline into words with
// wordexp as a shell would (no flags) and executes them through the search path. A child
// that cannot split or execute the line ends with status 1. The child's id, or -1 with
// errno set when the fork fails.
pid_t spawn_expanded(const char *cmdline, const SpawnOptions &opts);

// waitpid without options, repeated while interrupted. Returns the wait status, or -1 when
// the wait itself fails.
int wait_for(pid_t pid, int *status);

// Reads both descriptors to their end in pieces of at most 1,024 bytes and appends the
// bytes to the matching buffer (dropped when it is null; out and err may be one buffer).
// A descriptor of -1 counts as ended. 0 once both ended, -1 when waiting for data failed.
int drain(int out_fd, int err_fd, dbuf *out, dbuf *err);

// Runs file with argv, its standard input on /dev/null and its standard error inherited,
// collecting its standard output; the exit status is stored in *status when not null.
// 0, or -1 when the child could not be started or waited for.
int run_capture(const char *file, char *const argv[], std::string &output, int *status = nullptr);

}  // namespace bwv::sys
