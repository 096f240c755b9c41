#include <bwvutil/verify.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "platform/core/paths.hpp"
#include "system/child.hpp"

namespace {

constexpr char kStatusText[] = "Status: signed by a developer certificate issued by Apple for distribution";
constexpr char kCertificateText[] = "Developer ID Installer: Tarvenel, Inc (Q7M2ZK4RTB)";

// The check used to be a shell command line formed in a 1,024-byte buffer; a path too
// long for it never got an answer, and still does not.
constexpr char kCommandTemplate[] = "/usr/sbin/pkgutil --check-signature \"%s\"";
constexpr int kCommandBuffer = 1024;
constexpr int kLineBuffer = 1024;

int verify(const char *path)
{
    int command_len = snprintf(nullptr, 0, kCommandTemplate, path);
    if (command_len < 0 || command_len >= kCommandBuffer)
        return 0;

    std::string tool = bwv::paths::fixed(bwv::paths::kPkgutil);
    // The path goes to the tool as one argument; no shell ever sees it.
    bwv::sys::ArgVector args{tool, "--check-signature", path};

    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0)
        return 0;
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    bwv::sys::SpawnOptions opts;
    opts.stdio[0] = devnull;
    opts.stdio[1] = pipefd[1];
    // execvp runs a tool script without a "#!" line with /bin/sh, as the shell did.
    opts.search_path = true;
    pid_t pid = devnull < 0 ? -1 : bwv::sys::spawn(tool.c_str(), args.get(), opts);
    if (devnull >= 0)
        close(devnull);
    close(pipefd[1]);
    if (pid < 0) {
        close(pipefd[0]);
        return 0;
    }
    FILE *report = fdopen(pipefd[0], "r");
    if (!report) {
        close(pipefd[0]);
        bwv::sys::wait_for(pid, nullptr);
        return 0;
    }

    // Each piece fgets hands back counts as a line of its own; the whole report is read
    // so the tool never blocks on a full pipe.
    bool status_seen = false;
    bool certificate_seen = false;
    char line[kLineBuffer] = {};
    while (fgets(line, sizeof line, report)) {
        if (strstr(line, kStatusText))
            status_seen = true;
        if (strstr(line, kCertificateText))
            certificate_seen = true;
    }
    fclose(report);
    bwv::sys::wait_for(pid, nullptr);
    return status_seen && certificate_seen ? 1 : 0;
}

}  // namespace

extern "C" {

int verifyPackage(const char *path)
{
    // An empty path is still a path: the tool is asked and its report decides.
    if (!path)
        return 0;
    try {
        return verify(path);
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
