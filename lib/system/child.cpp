#include "lib/system/child.hpp"

#include <bwvutil/ps_utils.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <wordexp.h>

namespace bwv::sys {
namespace {

launch::Command to_command(const char *file, char *const argv[], const SpawnOptions &opts) {
    launch::Command cmd;
    cmd.file = file;
    cmd.argv = argv;
    cmd.search_path = opts.search_path;
    cmd.empty_env = opts.empty_env;
    for (int i = 0; i < 3; ++i)
        cmd.stdio[i] = opts.close_all ? launch::kDevNull : opts.stdio[i] < 0 ? launch::kInherit : opts.stdio[i];
    return cmd;
}

pid_t started(const launch::Child &child) {
    if (child.pid < 0) errno = child.error;
    return child.pid;
}

// The line is expanded in the child rather than in the caller: an assignment (${VAR=word})
// must change the child's environment and not the caller's, and a command substitution must
// read the child's standard input, the handler's pipe, which the handler feeds only while
// the child runs. wordexp is not async-signal-safe. It is usable in the child of a threaded
// caller because glibc's fork resets the allocator, stdio, loader and name-service locks in
// the child, and the child has one thread, so no other can change the environment under the
// expansion. The environment lock is the one glibc leaves as it was: a line that assigns,
// forked while another thread was inside setenv, waits for that lock forever (the public
// contract says so).
void exec_expanded(void *line) {
    wordexp_t words{};
    if (line && wordexp(static_cast<const char *>(line), &words, 0) == 0 && words.we_wordc > 0)
        execvp(words.we_wordv[0], words.we_wordv);
}

// Appends pieces to a caller's byte buffer and leaves every field exactly as one
// dbuf_write per piece would (its growth rule shows through size and room), while the
// storage behind them grows geometrically: growing a large block by one 1,024-byte piece
// at a time remaps it on every piece. The slack goes back when the sink is done.
class Sink {
public:
    explicit Sink(dbuf *buf)
        : buf_(buf), cap_(buf && buf->data ? buf->size : 0), unread_(buf ? buf->wpos - buf->rpos : 0) {}
    ~Sink() {
        if (buf_ && buf_->data && cap_ > buf_->size) {
            if (void *fitted = realloc(buf_->data, buf_->size > 0 ? buf_->size : 1))
                buf_->data = static_cast<unsigned char *>(fitted);
        }
    }
    Sink(const Sink &) = delete;
    Sink &operator=(const Sink &) = delete;

    bool failed() const { return failed_; }

    // Gives the buffer back as it was, but for consumed bytes already reclaimed.
    void undo() {
        if (buf_ && buf_->data) {
            buf_->wpos = buf_->rpos + unread_;
            buf_->room = buf_->size - buf_->wpos;
        }
    }

    void append(const unsigned char *piece, uint32_t len) {
        if (!buf_ || failed_) return;
        dbuf &b = *buf_;
        if (!b.data) {
            failed_ = dbuf_write(buf_, piece, len) != 0;
            cap_ = b.data ? b.size : 0;
            return;
        }
        if (b.rpos > 0) {
            uint32_t unread = b.wpos - b.rpos;
            memmove(b.data, b.data + b.rpos, unread);
            b.rpos = 0;
            b.wpos = unread;
            b.room = b.size - b.wpos;
        }
        if (b.room < len) {
            uint32_t growth = len <= kMinGrowth ? kMinGrowth : len;
            size_t want = size_t{b.size} + growth;
            if (growth > UINT32_MAX - b.size || (want > cap_ && !grow_to(want))) {
                failed_ = true;
                return;
            }
            b.size = static_cast<uint32_t>(want);
        }
        memcpy(b.data + b.wpos, piece, len);
        b.wpos += len;
        b.room = b.size - b.wpos;
    }

private:
    static constexpr uint32_t kMinGrowth = 256;

    bool grow_to(size_t want) {
        size_t ahead = std::min<size_t>(std::max(want, cap_ * 2), UINT32_MAX);
        void *grown = realloc(buf_->data, ahead);
        if (!grown) {
            ahead = want;
            grown = realloc(buf_->data, ahead);
        }
        if (!grown) return false;
        buf_->data = static_cast<unsigned char *>(grown);
        cap_ = ahead;
        return true;
    }

    dbuf *buf_;
    size_t cap_;
    uint32_t unread_;
    bool failed_ = false;
};

}  // namespace

pid_t spawn(const char *file, char *const argv[], const SpawnOptions &opts) {
    return started(launch::spawn(to_command(file, argv, opts)));
}

pid_t spawn_expanded(const char *cmdline, const SpawnOptions &opts) {
    static char *const kNone[] = {nullptr};
    launch::Command cmd = to_command("sh", kNone, opts);
    cmd.exec_hook = exec_expanded;
    cmd.hook_arg = const_cast<char *>(cmdline);
    return started(launch::spawn(cmd));
}

int wait_for(pid_t pid, int *status) {
    int st = launch::wait(pid);
    if (st != -1 && status) *status = st;
    return st;
}

int collect(const char *file, char *const argv[], dbuf *out, dbuf *err) {
    // One sink per buffer: each tracks the capacity behind its buffer, so a buffer given
    // for both streams must have a single one or the two would disagree about it.
    bool merged = err == out;
    Sink sinks[2] = {Sink(out), Sink(merged ? nullptr : err)};
    Sink *to[2] = {&sinks[0], merged ? &sinks[0] : &sinks[1]};
    launch::Command cmd;
    cmd.file = file;
    cmd.argv = argv;
    launch::Run how;
    how.keep_input_open = true;
    how.piece = 1024;
    auto into = [](Sink *s) {
        return [s](const char *p, size_t n) {
            s->append(reinterpret_cast<const unsigned char *>(p), static_cast<uint32_t>(n));
        };
    };
    how.out.sink = into(to[0]);
    how.err.sink = into(to[1]);
    launch::Result r = launch::run(cmd, how);
    if (r.error != 0 && r.status == -1) return -2;
    if (r.read_failed || sinks[0].failed() || sinks[1].failed()) {
        sinks[0].undo();
        sinks[1].undo();
        return -3;
    }
    return 0;
}

int run_capture(const char *file, char *const argv[], std::string &output, int *status) {
    launch::Command cmd;
    cmd.file = file;
    cmd.argv = argv;
    // Tools were once run by a shell, which also ran a script without a "#!" line.
    cmd.search_path = true;
    launch::Run how;
    how.out = launch::capture(output);
    how.err.inherit = true;
    launch::Result r;
    try {
        r = launch::run(cmd, how);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    if (r.status == -1 || r.sink_failed) return -1;
    if (status) *status = r.status;
    return 0;
}

}  // namespace bwv::sys
