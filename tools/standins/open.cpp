// open stand-in: hands installer packages to the package-installer stand-in, the way
// "open -n -b com.apple.installer PKG" hands them to the macOS Installer, and returns at
// once. The hand-off is recorded in the installer log before open returns.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/base/launch.hpp"
#include "tools/standins/common/standin.hpp"

namespace {

constexpr const char *kInstallerId = "com.apple.installer";

int usage() {
    std::fprintf(stderr, "usage: open [-n] [-g] (-b BUNDLE_ID | -a APPLICATION) FILE...\n");
    return 1;
}

bool ends_with(const std::string &s, const char *suffix) {
    size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Starts the installer stand-in on the package in a session of its own, detached from
// our output so that whoever reads our output sees its end when we exit. It is the one
// child meant to outlive its starter: the Installer goes on after the installer has ended.
bool launch_installer(const std::string &pkg) {
    std::string tool = bwv::tools::self_dir() + "/installer";
    if (access(tool.c_str(), X_OK) != 0) return false;
    std::string name = "installer", pkg_arg = pkg;
    char dash_pkg[] = "-pkg", dash_target[] = "-target", root[] = "/";
    char *const argv[] = {name.data(), dash_pkg, pkg_arg.data(), dash_target, root, nullptr};
    bwv::launch::Command cmd;
    cmd.file = tool.c_str();
    cmd.argv = argv;
    cmd.detached = true;
    for (int &fd : cmd.stdio) fd = bwv::launch::kDevNull;
    bwv::launch::Child child = bwv::launch::spawn(cmd);
    if (child.pid > 0 && child.error != 0) bwv::launch::wait(child.pid);
    return child.pid > 0 && child.error == 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string bundle_id, app;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-n" || a == "-g" || a == "-F" || a == "-j" || a == "-W") continue;
        if (a == "-b" && i + 1 < argc) {
            bundle_id = argv[++i];
        } else if (a == "-a" && i + 1 < argc) {
            app = argv[++i];
        } else if (!a.empty() && a[0] == '-') {
            return usage();
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) return usage();

    bool installer = false;
    if (!bundle_id.empty()) {
        installer = bundle_id == kInstallerId;
        if (!installer) {
            std::fprintf(stderr, "Unable to find application with bundle identifier %s\n", bundle_id.c_str());
            return 1;
        }
    } else if (!app.empty()) {
        std::string base = bwv::tools::base_name(app);
        installer = base == "Installer" || base == "Installer.app";
        if (!installer) {
            std::fprintf(stderr, "Unable to find application named '%s'\n", app.c_str());
            return 1;
        }
    }

    for (auto &f : files) {
        struct stat st {};
        if (stat(f.c_str(), &st) != 0) {
            std::fprintf(stderr, "The file %s does not exist.\n", bwv::tools::absolute_path(f).c_str());
            return 1;
        }
        if (!installer && !ends_with(f, ".pkg") && !ends_with(f, ".mpkg")) {
            std::fprintf(stderr, "No application knows how to open %s.\n", bwv::tools::absolute_path(f).c_str());
            return 1;
        }
    }

    int rc = 0;
    for (auto &f : files) {
        std::string pkg = bwv::tools::absolute_path(f);
        unsigned long long size = 0;
        std::string sha = bwv::tools::sha256_file(pkg, &size);
        std::string detail = std::string("app=") + kInstallerId + " size=" + std::to_string(size) +
                             " sha256=" + (sha.empty() ? "unreadable" : sha);
        std::string err;
        if (!bwv::tools::append_installer_log("open", "handoff", pkg, detail, &err))
            std::fprintf(stderr, "open: cannot record the hand-off: %s\n", err.c_str());
        if (!launch_installer(pkg)) {
            std::fprintf(stderr, "open: cannot launch the Installer for %s\n", pkg.c_str());
            rc = 1;
        }
    }
    return rc;
}
