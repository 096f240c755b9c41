// kextload, kextunload and kextstat stand-ins (one source, built three times). There is no
// kernel to load into: the set of "loaded" extensions is a list in the tools' state folder,
// which kextstat prints in its usual table.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/standins/common/standin.hpp"

#ifndef BWV_KEXT_TOOL
#error "BWV_KEXT_TOOL selects the tool"
#endif

namespace {

std::string list_path() { return bwv::tools::state_dir() + "/kexts.loaded"; }

// Holds the list's lock for one read-modify-write.
struct ListLock {
    int fd = -1;
    ListLock() {
        bwv::tools::make_dirs(bwv::tools::state_dir(), 0755);
        fd = ::open((list_path() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) flock(fd, LOCK_EX);
    }
    ~ListLock() {
        if (fd >= 0) close(fd);
    }
};

std::vector<std::string> read_list() {
    std::vector<std::string> ids;
    std::ifstream in(list_path());
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) ids.push_back(line);
    return ids;
}

bool write_list(const std::vector<std::string> &ids) {
    std::string tmp = list_path() + ".new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        for (auto &id : ids) out << id << "\n";
        if (!out) return false;
    }
    return rename(tmp.c_str(), list_path().c_str()) == 0;
}

// The bundle identifier of an extension folder: CFBundleIdentifier in its Info.plist, else
// the folder's name without ".kext".
std::string identifier_of(const std::string &path) {
    std::ifstream in(path + "/Contents/Info.plist");
    std::stringstream ss;
    ss << in.rdbuf();
    std::string plist = ss.str();
    auto k = plist.find("<key>CFBundleIdentifier</key>");
    if (k != std::string::npos) {
        auto b = plist.find("<string>", k);
        auto e = plist.find("</string>", b == std::string::npos ? k : b);
        if (b != std::string::npos && e != std::string::npos) return plist.substr(b + 8, e - b - 8);
    }
    std::string base = bwv::tools::base_name(path);
    if (base.size() > 5 && base.compare(base.size() - 5, 5, ".kext") == 0) base.resize(base.size() - 5);
    return base;
}

// Parses "[-b ID | PATH]" with the flags the tools accept and ignore.
bool target_of(int argc, char **argv, std::string *id) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "-b" || a == "-bundle-identifier") && i + 1 < argc) {
            *id = argv[++i];
        } else if (a == "-q" || a == "-quiet" || a == "-v" || a == "-verbose") {
        } else if (!a.empty() && a[0] == '-') {
            return false;
        } else {
            struct stat st {};
            if (stat(a.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                std::fprintf(stderr, "Can't open %s - no such kext.\n", a.c_str());
                *id = "";
                return true;
            }
            *id = identifier_of(a);
        }
    }
    return true;
}

[[maybe_unused]] int kextload(int argc, char **argv) {
    std::string id;
    if (!target_of(argc, argv, &id)) {
        std::fprintf(stderr, "usage: kextload [-b IDENTIFIER | KEXT]\n");
        return 64;
    }
    if (id.empty()) return 71;
    ListLock lock;
    auto ids = read_list();
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
        ids.push_back(id);
        if (!write_list(ids)) {
            std::fprintf(stderr, "Failed to load %s - (libkern/kext) internal error.\n", id.c_str());
            return 71;
        }
    }
    return 0;
}

[[maybe_unused]] int kextunload(int argc, char **argv) {
    std::string id;
    if (!target_of(argc, argv, &id)) {
        std::fprintf(stderr, "usage: kextunload [-b IDENTIFIER | KEXT]\n");
        return 64;
    }
    if (id.empty()) return 71;
    ListLock lock;
    auto ids = read_list();
    auto it = std::find(ids.begin(), ids.end(), id);
    if (it == ids.end()) {
        std::fprintf(stderr, "(kernel) Kext %s not found for unload request.\n", id.c_str());
        return 3;
    }
    ids.erase(it);
    if (!write_list(ids)) return 71;
    return 0;
}

[[maybe_unused]] int kextstat(int, char **) {
    static const char *builtin[] = {"com.apple.kpi.bsd (21.6.0)", "com.apple.kpi.dsep (21.6.0)",
                                    "com.apple.kpi.iokit (21.6.0)", "com.apple.kpi.libkern (21.6.0)"};
    std::printf("Index Refs Address            Size       Wired      Name (Version) UUID <Linked Against>\n");
    int index = 1;
    for (auto *b : builtin) {
        std::printf("%5d %4d %-18s %-10s %-10s %s\n", index, 0, "0", "0", "0", b);
        ++index;
    }
    std::vector<std::string> ids;
    {
        ListLock lock;
        ids = read_list();
    }
    for (auto &id : ids) {
        std::printf("%5d %4d 0xffffff7f80%06x 0x4000     0x4000     %s (1.0.0) <%d %d %d>\n", index, 0, index * 0x4000,
                    id.c_str(), 4, 3, 1);
        ++index;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
#if BWV_KEXT_TOOL == 1
    return kextload(argc, argv);
#elif BWV_KEXT_TOOL == 2
    return kextunload(argc, argv);
#else
    return kextstat(argc, argv);
#endif
}
