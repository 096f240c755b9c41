// installer stand-in: checks a flat package as the macOS installer would, prints its
// progress lines, and records what it would install in the installer log. It never writes
// anything to the target volume.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/standins/common/standin.hpp"
#include "tools/standins/xar/check.hpp"

namespace {

using bwv::xar::Status;

int usage() {
    std::fprintf(stderr,
                 "usage: installer -pkg PACKAGE -target (/ | DEVICE | MOUNTPOINT) [-allowUntrusted] [-verbose]\n");
    return 1;
}

std::string title_of(const std::string &distribution) {
    auto b = distribution.find("<title>");
    auto e = distribution.find("</title>");
    if (b == std::string::npos || e == std::string::npos || e < b) return {};
    return distribution.substr(b + 7, e - b - 7);
}

std::string package_name(const bwv::xar::Source &src, const std::string &path) {
    try {
        auto pkg = bwv::xar::parse(src);
        for (auto &e : pkg.entries)
            if (e.path == "Distribution") {
                std::string t = title_of(bwv::xar::extract(src, pkg, e, 1 << 20));
                if (!t.empty()) return t;
            }
    } catch (const std::exception &) {
    }
    std::string base = bwv::tools::base_name(path);
    auto dot = base.rfind('.');
    return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

bool record(const std::string &event, const std::string &pkg, const std::string &detail) {
    std::string err;
    if (bwv::tools::append_installer_log("installer", event, pkg, detail, &err)) return true;
    std::fprintf(stderr, "installer: Error - cannot record the installation: %s\n", err.c_str());
    return false;
}

int fail(const std::string &pkg, const std::string &why) {
    std::printf(
        "installer: The install failed. (The Installer encountered an error that caused the installation "
        "to fail. Contact the software manufacturer for assistance.)\n");
    std::fflush(stdout);
    if (!why.empty()) std::fprintf(stderr, "installer: %s\n", why.c_str());
    record("result", pkg, "failed: " + why);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    std::string pkg_arg, target;
    bool allow_untrusted = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-pkg" && i + 1 < argc) {
            pkg_arg = argv[++i];
        } else if (a == "-target" && i + 1 < argc) {
            target = argv[++i];
        } else if (a == "-allowUntrusted") {
            allow_untrusted = true;
        } else if (a == "-verbose" || a == "-verboseR" || a == "-dumplog") {
        } else {
            return usage();
        }
    }
    if (pkg_arg.empty() || target.empty()) return usage();

    struct stat st {};
    if (stat(pkg_arg.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "installer: Error - the package path specified was invalid: '%s'.\n", pkg_arg.c_str());
        return 1;
    }
    if (target != "/" && target != "LocalSystem") {
        struct stat tst {};
        if (stat(target.c_str(), &tst) != 0 || !S_ISDIR(tst.st_mode)) {
            std::fprintf(stderr, "installer: Error - the target volume specified was invalid: '%s'.\n", target.c_str());
            return 1;
        }
    }
    std::string pkg = bwv::tools::absolute_path(pkg_arg);

    try {
        bwv::xar::FileSource src(pkg);
        std::printf("installer: Package name is %s\n", package_name(src, pkg).c_str());
        std::fflush(stdout);
        auto r = bwv::xar::check_package(src, bwv::tools::self_dir() + "/trust");
        bool acceptable = r.status == Status::trusted || r.status == Status::no_signature ||
                          (allow_untrusted && (r.status == Status::untrusted || r.status == Status::expired));
        std::string signer = r.chain.empty() ? "" : r.chain.front().common_name;
        if (!record("install", pkg,
                    "target=" + target + " signature=" + bwv::xar::status_text(r.status) +
                        (signer.empty() ? "" : " signer=" + signer)))
            return 1;
        if (!acceptable)
            return fail(pkg,
                        std::string(bwv::xar::status_text(r.status)) + (r.detail.empty() ? "" : " (" + r.detail + ")"));

        std::printf("installer: Installing at base path %s\n", target == "LocalSystem" ? "/" : target.c_str());
        std::fflush(stdout);
        auto parsed = bwv::xar::parse(src);
        for (auto &e : parsed.entries)
            if (e.has_data && !record("would-install", pkg, std::to_string(e.data.size) + " " + e.path)) return 1;
        if (!record("result", pkg, "success")) return 1;
        std::printf("installer: The install was successful.\n");
        return 0;
    } catch (const std::exception &e) {
        return fail(pkg, e.what());
    }
}
