#ifndef BWVUTIL_PS_UTILS_H
#define BWVUTIL_PS_UTILS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <bwvutil/export.h>
#include <bwvutil/dbuf.h>

BWV_BEGIN_DECLS

/* Process table, process-id files and child processes. No function keeps state or takes
 * a lock; all of them block the calling thread while they wait for a child. */

/* Stores the executable path of process pid, cut to size and terminated.
 * 0 on success; -1 for a NULL buffer or size < 1; -2 when the path cannot be read
 * (the buffer then holds ""). */
BWV_API int ps_get_path(int32_t pid, char *path, int size);

/* Id of the first process whose executable path ends in name (case matters; a name
 * matches any executable whose own name ends in it; a process whose file was replaced or
 * deleted since it started matches by the path it started from). 0 when none is found,
 * the table cannot be read, or name is NULL or empty. */
BWV_API int32_t ps_get_pid(const char *name);

/* Every process whose executable path ends in name; case_sensitive 0 compares ASCII
 * letters in either case. 0 with a malloc'ed array (always allocated, also for no match;
 * the caller frees it) and its count; -1 when the table or the array cannot be had or an
 * argument is missing, *pids and *count then untouched. */
BWV_API int ps_get_pid_all(const char *name, int case_sensitive, int32_t **pids, size_t *count);

/* Writes the caller's process id as decimal digits and one NUL byte (file created 0644,
 * truncated first). 0, or -1 when the file cannot be opened or the write fails or is short. */
BWV_API int ps_write_pid_to_file(const char *path);

/* The first number in the file; 0 when the file cannot be opened or holds no number
 * (or one beyond int); -1 for a NULL or empty path. */
BWV_API int ps_get_pid_from_file(const char *path);

/* SIGTERM to the process found by name, one second's wait, then SIGKILL to whatever
 * process has the name by then. 0 when none runs (any more), else the result of kill. */
BWV_API int ps_safe_kill(const char *name);

/* Starts file (looked up in PATH when it holds no "/") with argv, its standard streams on
 * pipes: fds[0] writes its stdin, fds[1] reads its stdout, fds[2] its stderr. The child's
 * id, or -1 with nothing left open. A child that cannot execute file exits with status 1.
 * Like every child of this library, it starts in a process group of its own with default
 * signal dispositions, an empty signal mask and no descriptor but 0 to 2, and it is killed
 * (SIGKILL) when the thread that started it ends: start it from a thread that outlives it. */
BWV_API pid_t popen3(int fds[3], const char *file, char *const argv[]);

/* Closes the three descriptors, waits for the child and gives its undecoded wait status;
 * -1 when the wait fails. */
BWV_API int pclose3(pid_t pid, int fds[3]);

typedef struct execute_cmd_ctx execute_cmd_ctx;
struct execute_cmd_ctx {
    void *user0;
    void *user1;
    int (*io_handler)(execute_cmd_ctx *ctx, int out_fd, int in_fd);
};

/* Runs cmdline with stdin and stdout on pipes handed to ctx->io_handler, and waits. The
 * child splits the line into words as a shell would (wordexp, expansions included: pass
 * only trusted text), so an assignment such as ${VAR=word} changes only the child's
 * environment and a command substitution reads the handler's input. A line that assigns
 * must not be run while other threads change the environment: its child could hang, and
 * this call with it. The exit code; the undecoded status when the child died by a
 * signal; 1 when the line cannot be split or run; -1 (handler not called) for a missing
 * argument or when no pipe or child could be made. Descriptors the handler leaves open
 * are closed as soon as it returns, before the wait, so the child sees the end of its
 * input and output no one reads ends its writes; a descriptor the handler closed is never
 * closed again, whatever its number names by then. */
BWV_API int execute_cmd(const char *cmdline, execute_cmd_ctx *ctx);

/* Runs argv[0] with argv and appends its stdout and stderr to out and err (either may be
 * NULL: the bytes are read and dropped; both may be one buffer, which then gets the
 * pieces of the two streams in the order they were read). argv[0] is run exactly as
 * checked: a name without "/" is the file in the working directory, never one found in
 * PATH. 0 once both streams ended, whatever the tool's exit status; -1 missing argv or
 * argv[0]; -8 no file at argv[0]; -2 the child cannot be started; -3 waiting for output
 * failed, or a buffer could not grow: the tool's output is then read to its end and
 * dropped, and each buffer holds the unread bytes it held before. The tool's stdin is an
 * open, never written pipe. */
BWV_API int ps_runtool(char *const argv[], dbuf *out, dbuf *err);

/* For a child just forked: closes every descriptor and puts 0, 1 and 2 on /dev/null. */
BWV_API void closeall(void);

/* Runs kextload (with "-b" when is_bundle_id is non-zero) with nothing inherited and an
 * empty environment, then appends "load EXT", the date and the kextstat listing to the
 * load log (created 0644; a log of 10,000,001 bytes or more is first deleted; an
 * argument over 148 bytes is not logged). 0 whatever the tool answered; 1 when it cannot
 * be started or waited for, or kext is NULL. */
BWV_API int ps_load_kext(const char *kext, int is_bundle_id);

/* Runs kextunload like ps_load_kext, without a log. The tool's exit code; 2 when it died
 * by a signal; 1 when it cannot be started or waited for, or kext is NULL. */
BWV_API int ps_unload_kext(const char *kext, int is_bundle_id);

/* 1 when name occurs as fixed text anywhere in the kextstat listing, else 0 (also when
 * the listing cannot be had or name is NULL or empty). */
BWV_API int ps_kext_is_run(const char *name);

/* Copies a flat package (first bytes "xar!") to /tmp/bwv_upgrade.pkg, runs the system
 * installer on it and removes it. No signature is checked here: whatever flat package is
 * passed is installed, so callers run verifyPackage on it first. The copy is created new
 * and owner-only, never through an existing entry: a stale copy of the caller's own (a
 * regular file) is removed first; anything else at that name (another account's file, a
 * folder, a link) is left alone and the call gives -1. 0 once the installer ran, whatever
 * it answered; -1 when the package cannot be read or is not flat, or the copy or the
 * child cannot be made (no copy of this call stays). */
BWV_API int ps_install_pkg_file(const char *path);

BWV_END_DECLS

#endif
