// The one way children are started, by the library, the installer and the tools alike, so
// that every rule about them holds in one place. Every child:
// - lives in a process group of its own, which a deadline kills whole;
// - gets SIGKILL when the thread that started it ends (with its process, normally), also
//   when that happened between the fork and this request;
// - starts with default signal dispositions and an empty signal mask, whatever the starter
//   ignores or blocks (the light installer ignores SIGTERM);
// - inherits no descriptor but its standard three.
// "Spawn" starts a child and leaves it to the caller; "run" takes it to its end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace bwv::launch {

using std::chrono::milliseconds;

// What a standard descriptor of the child is: one of these or a descriptor of the caller.
inline constexpr int kInherit = -1;
inline constexpr int kDevNull = -2;

struct Command {
    char *const *argv = nullptr;  // NULL-terminated; argv[0] is the program's name
    const char *file = nullptr;   // the program; NULL: argv[0]
    // Look a file name without "/" up in PATH. Otherwise such a name is the file in the
    // working directory: the program checked is the program run.
    bool search_path = false;
    const char *directory = nullptr;  // NULL: the caller's
    int stdio[3] = {kInherit, kInherit, kInherit};
    bool empty_env = false;
    // The largest file the child may write (RLIMIT_FSIZE); 0 leaves the limit as it is.
    unsigned long long max_file_size = 0;
    // For hand-offs meant to outlive their starter: a session of its own, no death signal.
    bool detached = false;
    // Called in the child instead of the exec of argv, once its descriptors and signals are
    // set; it may only exec or return (the child then exits with status 1). spawn then
    // returns without waiting for the exec, since the hook may wait for the caller.
    void (*exec_hook)(void *) = nullptr;
    void *hook_arg = nullptr;
};

struct Child {
    pid_t pid = -1;  // -1: no child
    // errno of a failed start: with pid -1 no child was made; otherwise the child could not
    // set itself up or exec and has exited with status 1, still to be waited for.
    int error = 0;
};

// Starts a child as Command says. Not for use between fork and exec.
Child spawn(const Command &cmd);

// SIGKILL to the child's process group and to the child.
void kill_group(pid_t pid);

// Waits for the child, killing its group once the deadline (none when zero) has passed.
// The wait status, or -1 when the wait failed; *timed_out tells whether it was killed.
int wait(pid_t pid, milliseconds deadline = {}, bool *timed_out = nullptr);

// Writes every byte to fd. A reader that has gone gives false with EPIPE in errno, never a
// SIGPIPE that ends the caller.
bool write_all(int fd, const char *data, size_t len);

// Where one output stream of a run goes: with a sink, its bytes are handed over as they come
// (at most cap of them; the rest is read and dropped; a sink that throws gets no more);
// without, it is discarded (or, with inherit, goes where the caller's own goes).
struct Output {
    std::function<void(const char *, size_t)> sink;
    size_t cap = SIZE_MAX;
    bool inherit = false;
};

struct Run {
    // Written to the child's input, which then ends. Without: the input is /dev/null, or with
    // keep_input_open a pipe that stays open and unwritten until both outputs end.
    std::optional<std::string_view> input;
    bool keep_input_open = false;
    Output out, err;
    milliseconds deadline{0};  // for the whole run; zero: none
    size_t piece = 65536;      // the most bytes one read hands to a sink
};

struct Result {
    int error = 0;             // errno when the child could not be started (see Child)
    int status = -1;           // the wait status
    bool timed_out = false;    // the deadline killed its group
    bool read_failed = false;  // waiting for output failed; the child was killed
    bool sink_failed = false;  // a sink threw; later bytes of it were dropped
    bool exited_zero() const;
};

// Starts the child (cmd.stdio is set by the run), feeds and drains it, and waits for it.
Result run(Command cmd, const Run &how);

// Captures into a string, at most cap bytes.
Output capture(std::string &into, size_t cap = SIZE_MAX);

// How long the installer's tools may take before their group is killed: generous for an
// honest 256 MiB image or package on a slow disk (about 20 MB/s, where an attach of such an
// image, listed and extracted twice, takes about a minute), short enough that a tool that
// stalls or is steered into endless work cannot hold the installer.
inline constexpr milliseconds kVerifyDeadline{std::chrono::minutes(2)};
inline constexpr milliseconds kAttachDeadline{std::chrono::minutes(5)};
inline constexpr milliseconds kDetachDeadline{std::chrono::minutes(1)};

}  // namespace bwv::launch
