#ifndef BWVUTIL_PS_UTILS_H
#define BWVUTIL_PS_UTILS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <bwvutil/export.h>
#include <bwvutil/dbuf.h>

BWV_BEGIN_DECLS

BWV_API int ps_get_path(int32_t pid, char *path, int size);
BWV_API int32_t ps_get_pid(const char *name);
BWV_API int ps_get_pid_all(const char *name, int case_sensitive, int32_t **pids, size_t *count);
BWV_API int ps_write_pid_to_file(const char *path);
BWV_API int ps_get_pid_from_file(const char *path);
BWV_API int ps_safe_kill(const char *name);
BWV_API pid_t popen3(int fds[3], const char *file, char *const argv[]);
BWV_API int pclose3(pid_t pid, int fds[3]);

typedef struct execute_cmd_ctx execute_cmd_ctx;
struct execute_cmd_ctx {
    void *user0;
    void *user1;
    int (*io_handler)(execute_cmd_ctx *ctx, int out_fd, int in_fd);
};
BWV_API int execute_cmd(const char *cmdline, execute_cmd_ctx *ctx);
BWV_API int ps_runtool(char *const argv[], dbuf *out, dbuf *err);
BWV_API void closeall(void);
BWV_API int ps_load_kext(const char *kext, int is_bundle_id);
BWV_API int ps_unload_kext(const char *kext, int is_bundle_id);
BWV_API int ps_kext_is_run(const char *name);
BWV_API int ps_install_pkg_file(const char *path);

BWV_END_DECLS

#endif
