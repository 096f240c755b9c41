#include "lib/base/launch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

extern char **environ;

namespace bwv::launch {
namespace {

using Clock = std::chrono::steady_clock;

// Everything the child does is prepared before the fork: with other threads in the caller,
// the child may only make async-signal-safe calls.
struct Prepared {
    const char *file;
    char *const *argv;
    char *const *envp;
};

[[noreturn]] void fail_in_child(int report_fd, int err) {
    if (report_fd >= 0) {
        ssize_t w;
        do {
            w = ::write(report_fd, &err, sizeof err);
        } while (w < 0 && errno == EINTR);
    }
    _exit(1);
}

void close_from(int first, int keep) {
    // close_range closes in one call what a loop would visit slot by slot.
    auto range = [](unsigned lo, unsigned hi) {
        if (lo > hi) return;
        if (syscall(SYS_close_range, lo, hi, 0) != 0) {
            long max = sysconf(_SC_OPEN_MAX);
            unsigned top = std::min<unsigned>(hi, max > 0 && max < 65536 ? static_cast<unsigned>(max) : 65536);
            for (unsigned fd = lo; fd <= top; ++fd) ::close(static_cast<int>(fd));
        }
    };
    if (keep >= first) {
        range(static_cast<unsigned>(first), static_cast<unsigned>(keep) - 1);
        range(static_cast<unsigned>(keep) + 1, ~0U);
    } else {
        range(static_cast<unsigned>(first), ~0U);
    }
}

[[noreturn]] void in_child(const Command &cmd, const Prepared &p, pid_t parent, int report) {
    if (cmd.detached) {
        setsid();
    } else {
        setpgid(0, 0);
        // The death signal would come too late for a parent already gone: then go now.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) fail_in_child(report, ESRCH);
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &dfl, nullptr);
    }

    // A source may itself sit on 0, 1 or 2; lift every source above 2 before placing any.
    int lifted[3] = {-1, -1, -1};
    for (int i = 0; i < 3; ++i) {
        int src = cmd.stdio[i];
        if (src == kDevNull) src = ::open("/dev/null", O_RDWR);
        if (src == kInherit) continue;
        lifted[i] = src < 0 ? -1 : fcntl(src, F_DUPFD, 3);
        if (lifted[i] < 0) fail_in_child(report, errno);
    }
    for (int i = 0; i < 3; ++i) {
        if (lifted[i] >= 0 && dup2(lifted[i], i) < 0) fail_in_child(report, errno);
    }
    close_from(3, report);

    if (cmd.directory && chdir(cmd.directory) != 0) fail_in_child(report, errno);
    if (cmd.max_file_size > 0) {
        rlimit lim{cmd.max_file_size, cmd.max_file_size};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) fail_in_child(report, errno);
    }

    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (cmd.exec_hook) {
        cmd.exec_hook(cmd.hook_arg);
        _exit(1);
    }
    // execvpe with a "/" in the name still runs a script without "#!" with /bin/sh, as the
    // shell that once started the tools did.
    execvpe(p.file, p.argv, p.envp);
    fail_in_child(report, errno);
}

// SIGPIPE blocked on this thread while it lasts; one raised meanwhile is swallowed.
class NoSigpipe {
public:
    NoSigpipe() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~NoSigpipe() {
        const int saved = errno;
        sigset_t pending;
        sigpending(&pending);
        if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
            struct timespec zero {};
            while (sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        errno = saved;
    }
    NoSigpipe(const NoSigpipe &) = delete;
    NoSigpipe &operator=(const NoSigpipe &) = delete;

private:
    sigset_t pipe_, old_;
    bool was_pending_ = false;
};

struct Fd {
    int fd = -1;
    Fd() = default;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

bool make_pipe(Fd &r, Fd &w) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    r.fd = p[0];
    w.fd = p[1];
    return true;
}

int remaining_ms(Clock::time_point end) {
    auto left = std::chrono::ceil<milliseconds>(end - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

int wait_until(pid_t pid, std::optional<Clock::time_point> end, bool *timed_out) {
    if (timed_out) *timed_out = false;
    if (end) {
        // A descriptor for the child lets poll wait for its end and the deadline at once.
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        bool ended = false;
        while (!ended && Clock::now() < *end) {
            if (pidfd >= 0) {
                struct pollfd pf {
                    pidfd, POLLIN, 0
                };
                int n = poll(&pf, 1, remaining_ms(*end));
                ended = n > 0 || (n < 0 && errno != EINTR);
            } else {
                int st;
                pid_t r = waitpid(pid, &st, WNOHANG | WNOWAIT | __WALL);
                ended = r != 0;
                if (!ended) std::this_thread::sleep_for(milliseconds(10));
            }
        }
        if (pidfd >= 0) ::close(pidfd);
        if (!ended) {
            kill_group(pid);
            if (timed_out) *timed_out = true;
        }
    }
    int status = -1;
    pid_t r;
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -1 : status;
}

}  // namespace

Child spawn(const Command &cmd) {
    Child child;
    if (!cmd.argv || (!cmd.file && !cmd.argv[0])) {
        child.error = EINVAL;
        return child;
    }
    std::string file = cmd.file ? cmd.file : cmd.argv[0];
    if (!cmd.search_path && file.find('/') == std::string::npos) file = "./" + file;
    static char *const kNoEnv[] = {nullptr};
    Prepared p{file.c_str(), cmd.argv, cmd.empty_env ? kNoEnv : environ};

    Fd report_r, report_w;
    if (!cmd.exec_hook && !make_pipe(report_r, report_w)) {
        child.error = errno;
        return child;
    }
    // No handler of the caller may run in the child before its dispositions are reset.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) in_child(cmd, p, parent, report_w.fd);
    int fork_error = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        child.error = fork_error;
        return child;
    }
    child.pid = pid;
    // Also here, so that the group exists for kill_group whichever side runs first.
    if (!cmd.detached) setpgid(pid, pid);
    report_w.reset();
    if (report_r.fd >= 0) {
        int err = 0;
        ssize_t got;
        do {
            got = ::read(report_r.fd, &err, sizeof err);
        } while (got < 0 && errno == EINTR);
        if (got == static_cast<ssize_t>(sizeof err)) child.error = err;
    }
    return child;
}

void kill_group(pid_t pid) {
    if (pid <= 0) return;
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
}

int wait(pid_t pid, milliseconds deadline, bool *timed_out) {
    std::optional<Clock::time_point> end;
    if (deadline.count() > 0) end = Clock::now() + deadline;
    return wait_until(pid, end, timed_out);
}

bool write_all(int fd, const char *data, size_t len) {
    NoSigpipe guard;
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool Result::exited_zero() const {
    return error == 0 && !timed_out && !read_failed && status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Output capture(std::string &into, size_t cap) {
    Output o;
    o.sink = [&into](const char *p, size_t n) { into.append(p, n); };
    o.cap = cap;
    return o;
}

namespace {

// The parent's ends of the child's standard descriptors, and the child's until it starts.
struct Pipes {
    Fd in_r, in_w, out_r[2], out_w[2];
};

// Makes the pipes how asks for and points cmd's standard descriptors at them, at
// /dev/null or at this process's own; 0, or errno when a pipe cannot be made.
int connect_stdio(Command &cmd, const Run &how, Pipes &p) {
    bool feed = how.input.has_value() || how.keep_input_open;
    if (feed && !make_pipe(p.in_r, p.in_w)) return errno;
    cmd.stdio[0] = feed ? p.in_r.fd : kDevNull;
    const Output *outs[2] = {&how.out, &how.err};
    for (int i = 0; i < 2; ++i) {
        if (outs[i]->sink) {
            if (!make_pipe(p.out_r[i], p.out_w[i])) return errno;
            cmd.stdio[i + 1] = p.out_w[i].fd;
        } else {
            cmd.stdio[i + 1] = outs[i]->inherit ? kInherit : kDevNull;
        }
    }
    return 0;
}

// Moves bytes between run and its child until both outputs end (or, with no output
// pipes, the input is written), the deadline passes or polling fails: each output into
// its sink up to its cap, how.input into the child.
class Pump {
public:
    Pump(const Run &how, Pipes &p, Result &result)
        : how(how),
          in_w(p.in_w),
          out_r(p.out_r),
          result(result),
          input(how.input.value_or(std::string_view{})),
          piece_len(std::clamp<size_t>(how.piece, 1, sizeof piece)) {}

    void pump(pid_t pid, std::optional<Clock::time_point> end) {
        if (in_w.fd >= 0 && how.input) fcntl(in_w.fd, F_SETFL, fcntl(in_w.fd, F_GETFL) | O_NONBLOCK);
        if (in_w.fd >= 0 && how.input && input.empty()) in_w.reset();
        const bool drained = out_r[0].fd >= 0 || out_r[1].fd >= 0;
        while (out_r[0].fd >= 0 || out_r[1].fd >= 0 || (in_w.fd >= 0 && how.input)) {
            struct pollfd fds[3] = {
                {out_r[0].fd, POLLIN, 0}, {out_r[1].fd, POLLIN, 0}, {how.input ? in_w.fd : -1, POLLOUT, 0}};
            int n = poll(fds, 3, end ? remaining_ms(*end) : -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                result.read_failed = true;
                kill_group(pid);
                break;
            }
            if (n == 0 && end && Clock::now() >= *end) break;  // the wait below kills the group
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                read_output(i);
            }
            if (fds[2].fd >= 0 && fds[2].revents != 0) write_input();
            // Outputs that have ended mean a child done with its work: its input no longer counts.
            if (drained && out_r[0].fd < 0 && out_r[1].fd < 0) break;
        }
    }

private:
    void read_output(int i) {
        ssize_t got = ::read(out_r[i].fd, piece, piece_len);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
        if (got <= 0) {
            out_r[i].reset();
            return;
        }
        size_t take = std::min(static_cast<size_t>(got), outs[i]->cap - kept[i]);
        if (take > 0 && !broken[i]) {
            // Reading goes on, so the child is never left blocked on a full pipe.
            try {
                outs[i]->sink(piece, take);
            } catch (...) {
                broken[i] = result.sink_failed = true;
            }
            kept[i] += take;
        }
    }

    void write_input() {
        ssize_t put = ::write(in_w.fd, input.data(), input.size());
        if (put > 0) input.remove_prefix(static_cast<size_t>(put));
        // A child that stops reading ends its input; its status tells the rest.
        if (input.empty() || (put < 0 && errno != EINTR && errno != EAGAIN)) in_w.reset();
    }

    const Run &how;
    Fd &in_w;
    Fd *out_r;
    Result &result;
    const Output *outs[2] = {&how.out, &how.err};
    std::string_view input;
    size_t kept[2] = {0, 0};
    bool broken[2] = {false, false};
    char piece[65536];
    size_t piece_len;
};

}  // namespace

Result run(Command cmd, const Run &how) {
    Result result;
    std::optional<Clock::time_point> end;
    if (how.deadline.count() > 0) end = Clock::now() + how.deadline;

    Pipes p;
    result.error = connect_stdio(cmd, how, p);
    if (result.error != 0) return result;

    Child child = spawn(cmd);
    p.in_r.reset();
    p.out_w[0].reset();
    p.out_w[1].reset();
    if (child.pid < 0) {
        result.error = child.error;
        return result;
    }
    result.error = child.error;

    NoSigpipe guard;
    Pump(how, p, result).pump(child.pid, end);
    p.in_w.reset();
    p.out_r[0].reset();
    p.out_r[1].reset();
    bool timed_out = false;
    result.status = wait_until(child.pid, end, &timed_out);
    result.timed_out = timed_out;
    return result;
}

}  // namespace bwv::launch
