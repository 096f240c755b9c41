#include "system/child.hpp"

#include <bwvutil/ps_utils.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wordexp.h>

namespace bwv::sys {
namespace {

constexpr size_t kPiece = 1024;

void place_stdio(const SpawnOptions &opts)
{
    if (opts.close_all) {
        closeall();
    } else {
        // A pipe end may itself sit on 0, 1 or 2 when the caller runs with a standard
        // descriptor closed; lift every source above 2 first so no dup2 overwrites another.
        int lifted[3] = {-1, -1, -1};
        for (int i = 0; i < 3; ++i) {
            if (opts.stdio[i] < 0)
                continue;
            lifted[i] = fcntl(opts.stdio[i], F_DUPFD_CLOEXEC, 3);
            if (lifted[i] < 0)
                _exit(1);
        }
        for (int i = 0; i < 3; ++i) {
            if (lifted[i] >= 0 && dup2(lifted[i], i) < 0)
                _exit(1);
        }
    }
}

[[noreturn]] void exec_in_child(const char *file, char *const argv[], const SpawnOptions &opts)
{
    place_stdio(opts);
    if (!file || !argv)
        _exit(1);
    static char *const kNoEnv[] = {nullptr};
    if (opts.empty_env)
        execve(file, argv, kNoEnv);
    else if (opts.search_path)
        execvp(file, argv);
    else
        execv(file, argv);
    _exit(1);
}

// Closes now what exec would close. A command substitution runs while the child still
// holds the caller's descriptors, among them the write end of its own input pipe, so the
// substitution would never see the end of that input.
void drop_cloexec_descriptors()
{
    auto drop = [](int fd) {
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC))
            close(fd);
    };
    if (DIR *dir = opendir("/proc/self/fd")) {
        int own = dirfd(dir);
        while (struct dirent *e = readdir(dir)) {
            int fd = atoi(e->d_name);
            if (fd > 2 && fd != own)
                drop(fd);
        }
        closedir(dir);
        return;
    }
    for (int fd = getdtablesize() - 1; fd > 2; --fd)
        drop(fd);
}

}  // namespace

pid_t spawn(const char *file, char *const argv[], const SpawnOptions &opts)
{
    pid_t pid = fork();
    if (pid == 0)
        exec_in_child(file, argv, opts);
    return pid;
}

// The line is expanded here, after fork, rather than in the caller: an assignment
// (${VAR=word}) must change the child's environment and not the caller's, and a command
// substitution must read the child's standard input, the handler's pipe, which the handler
// feeds only while the child runs, so no helper process started beforehand could expand it.
// wordexp is not async-signal-safe. It is usable in the child of a threaded caller because
// glibc's fork resets the allocator, stdio, loader and name-service locks in the child, and
// the child has one thread, so no other can change the environment under the expansion.
// The environment lock is the one glibc leaves as it was: a line that assigns, forked while
// another thread was inside setenv, waits for that lock forever (the public contract says so).
pid_t spawn_expanded(const char *cmdline, const SpawnOptions &opts)
{
    pid_t pid = fork();
    if (pid == 0) {
        place_stdio(opts);
        drop_cloexec_descriptors();
        wordexp_t words{};
        if (cmdline && wordexp(cmdline, &words, 0) == 0 && words.we_wordc > 0)
            execvp(words.we_wordv[0], words.we_wordv);
        // Nothing to free: the process ends here.
        _exit(1);
    }
    return pid;
}

int wait_for(pid_t pid, int *status)
{
    int st = -1;
    pid_t r;
    do {
        r = waitpid(pid, &st, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return -1;
    if (status)
        *status = st;
    return st;
}

namespace {

// Appends pieces to a caller's byte buffer and leaves every field exactly as one
// dbuf_write per piece would (its growth rule shows through size and room), while the
// storage behind them grows geometrically: growing a large block by one 1,024-byte piece
// at a time remaps it on every piece. The slack goes back when the sink is done.
class Sink {
public:
    explicit Sink(dbuf *buf) : buf_(buf), cap_(buf && buf->data ? buf->size : 0) {}
    ~Sink()
    {
        if (buf_ && buf_->data && cap_ > buf_->size) {
            if (void *fitted = realloc(buf_->data, buf_->size > 0 ? buf_->size : 1))
                buf_->data = static_cast<unsigned char *>(fitted);
        }
    }
    Sink(const Sink &) = delete;
    Sink &operator=(const Sink &) = delete;

    void append(const unsigned char *piece, uint32_t len)
    {
        if (!buf_)
            return;
        dbuf &b = *buf_;
        if (!b.data) {
            dbuf_write(buf_, piece, len);
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
            // Where dbuf_write would fail, the piece is dropped and the buffer kept.
            if (growth > UINT32_MAX - b.size)
                return;
            size_t want = size_t{b.size} + growth;
            if (want > cap_ && !grow_to(want))
                return;
            b.size = static_cast<uint32_t>(want);
        }
        memcpy(b.data + b.wpos, piece, len);
        b.wpos += len;
        b.room = b.size - b.wpos;
    }

private:
    static constexpr uint32_t kMinGrowth = 256;

    bool grow_to(size_t want)
    {
        size_t ahead = std::min<size_t>(std::max(want, cap_ * 2), UINT32_MAX);
        void *grown = realloc(buf_->data, ahead);
        if (!grown) {
            ahead = want;
            grown = realloc(buf_->data, ahead);
        }
        if (!grown)
            return false;
        buf_->data = static_cast<unsigned char *>(grown);
        cap_ = ahead;
        return true;
    }

    dbuf *buf_;
    size_t cap_;
};

}  // namespace

int drain(int out_fd, int err_fd, dbuf *out, dbuf *err)
{
    // poll rather than select: a caller with more than FD_SETSIZE descriptors open would
    // otherwise overflow the descriptor sets.
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    // One sink per buffer: each tracks the capacity behind its buffer, so a buffer given
    // for both streams must have a single one or the two would disagree about it.
    bool merged = err == out;
    Sink sinks[2] = {Sink(out), Sink(merged ? nullptr : err)};
    Sink *to[2] = {&sinks[0], merged ? &sinks[0] : &sinks[1]};
    unsigned char piece[kPiece];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        int n = poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t got = read(fds[i].fd, piece, sizeof piece);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got <= 0) {
                // A negative fd is skipped by poll, so an ended stream costs nothing more.
                fds[i].fd = -1;
                continue;
            }
            to[i]->append(piece, static_cast<uint32_t>(got));
        }
    }
    return 0;
}

int run_capture(const char *file, char *const argv[], std::string &output, int *status)
{
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) < 0)
        return -1;
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull < 0) {
        close(pipefd[0]);
        close(pipefd[1]);
        return -1;
    }
    SpawnOptions opts;
    opts.stdio[0] = devnull;
    opts.stdio[1] = pipefd[1];
    // Tools were once run by a shell, which also ran a script without a "#!" line.
    opts.search_path = true;
    pid_t pid = spawn(file, argv, opts);
    close(devnull);
    close(pipefd[1]);
    if (pid < 0) {
        close(pipefd[0]);
        return -1;
    }
    char piece[kPiece];
    bool failed = false;
    for (;;) {
        ssize_t got = read(pipefd[0], piece, sizeof piece);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (!failed) {
            try {
                output.append(piece, static_cast<size_t>(got));
            } catch (...) {
                // Keep reading so the child is not left blocked on a full pipe.
                failed = true;
            }
        }
    }
    close(pipefd[0]);
    if (wait_for(pid, status) < 0 || failed)
        return -1;
    return 0;
}

}  // namespace bwv::sys
