// A stand-in for the update library that a test puts into a built bundle in place of
// libUpdate.so. It appends every call to the file named by UPD_RECORD, one line each
// ("load_providers", "set_full_version", "upd_init <path>", "request <code>"), and reports
// the request as still running.
#include <cstdio>
#include <cstdlib>

#include "updater/upd.h"

namespace {

upd_result g_record{};

void record(const char *what, const char *argument = nullptr) {
    const char *path = std::getenv("UPD_RECORD");
    if (!path) return;
    FILE *f = std::fopen(path, "a");
    if (!f) return;
    if (argument)
        std::fprintf(f, "%s %s\n", what, argument);
    else
        std::fprintf(f, "%s\n", what);
    std::fclose(f);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int load_providers(void) {
    record("load_providers");
    return 0;
}

__attribute__((visibility("default"))) int set_full_version(void) {
    record("set_full_version");
    return 0;
}

__attribute__((visibility("default"))) int upd_init(const char *path) {
    record("upd_init", path ? path : "(null)");
    return 0;
}

__attribute__((visibility("default"))) upd_result *upd_check_bwn_update(int request) {
    char code[16];
    std::snprintf(code, sizeof code, "%d", request);
    record("request", code);
    g_record.state = UPD_STATE_RUNNING;
    return &g_record;
}

}
