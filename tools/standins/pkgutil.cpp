// pkgutil stand-in: --check-signature on flat packages, verified against the trust anchors
// installed beside this program.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/standins/common/standin.hpp"
#include "tools/standins/xar/check.hpp"

namespace {

int usage() {
    std::fprintf(stderr, "usage: pkgutil --check-signature PACKAGE\n");
    return 1;
}

int check_signature(const std::string &path) {
    std::string name = bwv::tools::base_name(path);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "Error: package %s does not exist: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    bwv::xar::CheckResult r;
    if (S_ISDIR(st.st_mode)) {
        // A bundle package carries no signature of its own.
        r.status = bwv::xar::Status::no_signature;
    } else {
        r = bwv::xar::check_package_file(path, bwv::tools::self_dir() + "/trust");
    }
    std::string report = bwv::xar::format_report(name, r);
    std::fwrite(report.data(), 1, report.size(), stdout);
    std::fflush(stdout);
    if (!r.detail.empty()) std::fprintf(stderr, "pkgutil: %s: %s\n", path.c_str(), r.detail.c_str());
    return r.status == bwv::xar::Status::trusted ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--check-signature") == 0) return check_signature(argv[2]);
    return usage();
}
