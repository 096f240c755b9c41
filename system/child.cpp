#include "system/child.hpp"

#include <bwvutil/ps_utils.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bwv::sys {
namespace {

constexpr size_t kPiece = 1024;

[[noreturn]] void exec_in_child(const char *file, char *const argv[], const SpawnOptions &opts)
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

}  // namespace

pid_t spawn(const char *file, char *const argv[], const SpawnOptions &opts)
{
    pid_t pid = fork();
    if (pid == 0)
        exec_in_child(file, argv, opts);
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

int drain(int out_fd, int err_fd, dbuf *out, dbuf *err)
{
    // poll rather than select: a caller with more than FD_SETSIZE descriptors open would
    // otherwise overflow the descriptor sets.
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    dbuf *sinks[2] = {out, err};
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
            // One write per piece: the caller's buffer grows by the byte buffer's own
            // rule, exactly as if the caller had appended the pieces itself.
            if (sinks[i])
                dbuf_write(sinks[i], piece, static_cast<uint32_t>(got));
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
