#include <bwvutil/ps_utils.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "lib/system/child.hpp"

namespace {

// The process table is read from /proc; one record per process, of which only the id is
// used, shaped like the kernel record the lookup was designed around.
struct kinfo_proc {
    struct {
        pid_t p_pid;
    } kp_proc;
};

// Checked in every build type: a broken precondition here is a programming error that
// must stop the program, not a result to report.
[[noreturn]] void check_failed(const char *expr, const char *file, int line) {
    fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, "GetBSDProcessList", expr);
    abort();
}
#define BWV_CHECK(cond) ((cond) ? (void)0 : check_failed(#cond, __FILE__, __LINE__))

bool is_pid_name(const char *s) {
    if (!*s) return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9') return false;
    return true;
}

// How many records the table needs now, with room for processes started meanwhile.
// The first estimate is the kernel's count of tasks (threads included, so never fewer
// than the processes) and costs one small read; once that proved short, /proc is counted.
int table_size(size_t *entries, bool count_entries) {
    size_t n = 0;
    if (!count_entries) {
        int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            char text[128];
            ssize_t got = read(fd, text, sizeof text - 1);
            close(fd);
            if (got > 0) {
                text[got] = '\0';
                const char *slash = strchr(text, '/');
                if (slash) n = strtoul(slash + 1, nullptr, 10);
            }
        }
    }
    if (n == 0) {
        DIR *dir = opendir("/proc");
        if (!dir) return errno ? errno : EIO;
        errno = 0;
        while (struct dirent *e = readdir(dir))
            if (is_pid_name(e->d_name)) ++n;
        int err = errno;
        closedir(dir);
        if (err) return err;
    }
    *entries = n + n / 8 + 16;
    return 0;
}

// Fills at most cap records; ENOMEM when there are more processes than that.
int fill_table(kinfo_proc *list, size_t cap, size_t *filled) {
    DIR *dir = opendir("/proc");
    if (!dir) return errno ? errno : EIO;
    size_t n = 0;
    int err = 0;
    errno = 0;
    while (struct dirent *e = readdir(dir)) {
        if (!is_pid_name(e->d_name)) continue;
        if (n == cap) {
            err = ENOMEM;
            break;
        }
        list[n++].kp_proc.p_pid = static_cast<pid_t>(strtol(e->d_name, nullptr, 10));
    }
    if (!err && errno) err = errno;
    closedir(dir);
    *filled = n;
    return err;
}

int GetBSDProcessList(kinfo_proc **procList, size_t *procCount) {
    BWV_CHECK(procList != NULL);
    BWV_CHECK(*procList == NULL);
    BWV_CHECK(procCount != NULL);
    *procCount = 0;

    kinfo_proc *result = nullptr;
    int err = 0;
    bool done = false;
    bool grew = false;
    do {
        size_t cap = 0;
        err = table_size(&cap, grew);
        if (err) break;
        result = static_cast<kinfo_proc *>(malloc(cap * sizeof(kinfo_proc)));
        if (!result) {
            err = ENOMEM;
            break;
        }
        size_t filled = 0;
        err = fill_table(result, cap, &filled);
        if (err == 0) {
            *procCount = filled;
            done = true;
        } else {
            // ENOMEM: the table grew since it was sized; size it again.
            grew = true;
            free(result);
            result = nullptr;
            if (err != ENOMEM) break;
        }
    } while (!done);

    *procList = result;
    BWV_CHECK((err == 0) == (*procList != NULL));
    return err;
}

// Reads the executable link of a process whole; -1 when it cannot be read or does not fit.
ssize_t exe_link(pid_t pid, char *buf, size_t cap) {
    char link[32];
    snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
    ssize_t n = readlink(link, buf, cap - 1);
    if (n <= 0 || static_cast<size_t>(n) >= cap - 1) return -1;
    buf[n] = '\0';
    return n;
}

bool tail_matches(const char *path, size_t plen, const char *name, size_t nlen, bool case_sensitive) {
    // The kernel appends this to the executable of a process whose file was replaced or
    // removed since it started. Such a process still runs under its name; an agent left
    // running after an upgrade moved a new file over its path is the case that matters.
    static constexpr char kDeleted[] = " (deleted)";
    constexpr size_t kDeletedLen = sizeof kDeleted - 1;
    if (plen >= kDeletedLen && memcmp(path + plen - kDeletedLen, kDeleted, kDeletedLen) == 0) plen -= kDeletedLen;
    if (plen < nlen) return false;
    const char *tail = path + plen - nlen;
    return case_sensitive ? strncmp(tail, name, nlen) == 0 : strncasecmp(tail, name, nlen) == 0;
}

// Calls on_match(pid) for every process of the snapshot whose executable path ends in
// name; stops early when on_match answers false.
template <typename F>
void for_each_match(const kinfo_proc *list, size_t count, const char *name, bool case_sensitive, F &&on_match) {
    size_t nlen = strlen(name);
    char path[PATH_MAX];
    for (size_t i = 0; i < count; ++i) {
        pid_t pid = list[i].kp_proc.p_pid;
        ssize_t plen = exe_link(pid, path, sizeof path);
        if (plen <= 0) continue;
        if (tail_matches(path, static_cast<size_t>(plen), name, nlen, case_sensitive) && !on_match(pid)) break;
    }
}

}  // namespace

extern "C" {

int ps_get_path(int32_t pid, char *path, int size) {
    if (!path || size < 1) return -1;
    path[0] = '\0';
    // Read whole, then cut to the caller's buffer: even a buffer of one byte gets "".
    char link[32], whole[PATH_MAX];
    snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
    ssize_t n = readlink(link, whole, sizeof whole);
    if (n <= 0) return -2;
    size_t kept = std::min(static_cast<size_t>(n), static_cast<size_t>(size) - 1);
    memcpy(path, whole, kept);
    path[kept] = '\0';
    return 0;
}

int32_t ps_get_pid(const char *name) {
    if (!name || !*name) return 0;
    kinfo_proc *list = nullptr;
    size_t count = 0;
    if (GetBSDProcessList(&list, &count) != 0) return 0;
    int32_t found = 0;
    for_each_match(list, count, name, true, [&](pid_t pid) {
        found = pid;
        return false;
    });
    free(list);
    return found;
}

int ps_get_pid_all(const char *name, int case_sensitive, int32_t **pids, size_t *count) {
    if (!name || !*name || !pids || !count) return -1;
    kinfo_proc *list = nullptr;
    size_t entries = 0;
    if (GetBSDProcessList(&list, &entries) != 0) return -1;
    // Room for every entry, so the array always exists for the caller to free.
    auto *arr = static_cast<int32_t *>(malloc((entries ? entries : 1) * sizeof(int32_t)));
    if (!arr) {
        free(list);
        return -1;
    }
    *pids = arr;
    size_t n = 0;
    for_each_match(list, entries, name, case_sensitive != 0, [&](pid_t pid) {
        arr[n++] = pid;
        return true;
    });
    *count = n;
    free(list);
    return 0;
}

int ps_write_pid_to_file(const char *path) {
    if (!path || !*path) return -1;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    char text[24];
    int len = snprintf(text, sizeof text, "%u", static_cast<unsigned>(getpid()));
    // The digits and their NUL, nothing else.
    size_t want = static_cast<size_t>(len) + 1;
    int result = 0;
    if (ftruncate(fd, 0) != 0) {
        result = -1;
    } else {
        size_t done = 0;
        while (done < want) {
            ssize_t w = write(fd, text + done, want - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                result = -1;
                break;
            }
            done += static_cast<size_t>(w);
        }
    }
    if (close(fd) != 0) result = -1;
    return result;
}

int ps_get_pid_from_file(const char *path) {
    if (!path || !*path) return -1;
    FILE *f = fopen(path, "re");
    if (!f) return 0;
    // What "%d" accepts, without its undefined behaviour on overflow: a number that does
    // not fit counts as no number.
    int c;
    do {
        c = getc(f);
    } while (c != EOF && isspace(c));
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = getc(f);
    }
    long long value = 0;
    bool digits = false;
    bool overflow = false;
    while (c != EOF && c >= '0' && c <= '9') {
        digits = true;
        if (!overflow) {
            value = value * 10 + (c - '0');
            if (value > static_cast<long long>(INT_MAX) + 1) overflow = true;
        }
        c = getc(f);
    }
    fclose(f);
    if (!digits || overflow) return 0;
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) return 0;
    return static_cast<int>(value);
}

int ps_safe_kill(const char *name) {
    int32_t pid = ps_get_pid(name);
    if (pid < 1) return pid;
    kill(pid, SIGTERM);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    pid = ps_get_pid(name);
    if (pid < 1) return pid;
    return kill(pid, SIGKILL);
}

pid_t popen3(int fds[3], const char *file, char *const argv[]) {
    if (!fds || !file || !argv) return -1;
    // [0] stdin, [1] stdout, [2] stderr; each pipe as {read end, write end}.
    int p[3][2];
    for (int i = 0; i < 3; ++i) {
        if (pipe2(p[i], O_CLOEXEC) != 0) {
            for (int j = 0; j < i; ++j) {
                close(p[j][0]);
                close(p[j][1]);
            }
            return -1;
        }
    }
    bwv::sys::SpawnOptions opts;
    opts.stdio[0] = p[0][0];
    opts.stdio[1] = p[1][1];
    opts.stdio[2] = p[2][1];
    opts.search_path = true;
    pid_t pid = bwv::sys::spawn(file, argv, opts);
    if (pid < 0) {
        for (auto &pp : p) {
            close(pp[0]);
            close(pp[1]);
        }
        return -1;
    }
    close(p[0][0]);
    close(p[1][1]);
    close(p[2][1]);
    fds[0] = p[0][1];
    fds[1] = p[1][0];
    fds[2] = p[2][0];
    return pid;
}

int pclose3(pid_t pid, int fds[3]) {
    if (fds) {
        for (int i = 0; i < 3; ++i) close(fds[i]);
    }
    int status = -1;
    if (bwv::sys::wait_for(pid, &status) < 0) return -1;
    return status;
}

int execute_cmd(const char *cmdline, execute_cmd_ctx *ctx) {
    if (!cmdline || !ctx || !ctx->io_handler) return -1;
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return -1;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return -1;
    }
    bwv::sys::SpawnOptions opts;
    opts.stdio[0] = in[0];
    opts.stdio[1] = out[1];
    pid_t pid = bwv::sys::spawn_expanded(cmdline, opts);
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        return -1;
    }

    // Which pipes this call made, so that only they are ever closed: once the handler has
    // closed one, its number may belong to another thread's file.
    struct stat made[2];
    bool known[2] = {fstat(out[0], &made[0]) == 0, fstat(in[1], &made[1]) == 0};

    ctx->io_handler(ctx, out[0], in[1]);

    // Closed before the wait: the child sees the end of its input, and output nobody reads
    // any more ends its writes, so it never waits for a handler that is gone.
    int fds[2] = {out[0], in[1]};
    for (int i = 0; i < 2; ++i) {
        struct stat now;
        if (known[i] && fstat(fds[i], &now) == 0 && now.st_dev == made[i].st_dev && now.st_ino == made[i].st_ino)
            close(fds[i]);
    }
    int status = -1;
    bwv::sys::wait_for(pid, &status);
    if (status & 0x7f) return status;
    return (status >> 8) & 0xff;
}

int ps_runtool(char *const argv[], dbuf *out, dbuf *err) {
    if (!argv || !argv[0]) return -1;
    if (access(argv[0], F_OK) != 0) return -8;
    // The file just checked is the one run: a name without "/" is not looked up in PATH.
    try {
        return bwv::sys::collect(argv[0], argv, out, err);
    } catch (...) {
        return -2;
    }
}

void closeall(void) {
    // One system call where a loop would visit every slot of a possibly huge table.
    if (close_range(0, ~0U, 0) != 0) {
        for (int fd = getdtablesize() - 1; fd >= 0; --fd) close(fd);
    }
    int fd = open("/dev/null", O_RDWR);
    if (fd == 0) {
        int out = dup(0);
        int err = dup(0);
        (void)out;
        (void)err;
    }
}

}  // extern "C"
