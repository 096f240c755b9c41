// hdiutil stand-in: attach makes a disk image's files appear, read-only, under the mount
// point; detach takes them away again. Images are read with 7-Zip, which understands UDIF
// (.dmg), HFS+, APFS, UDF and ISO 9660. Without kernel mounts the "mount" is a copy, so the
// tool keeps a small table of its mounts to make sure detach only ever empties a folder that
// attach filled.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/common/standin.hpp"

namespace {

using bwv::tools::run_capture;

struct Failure {
    std::string message;  // after "hdiutil: VERB failed - "
};

bool is_dir(const std::string &p) {
    struct stat st{};
    return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Removes everything under path (and path itself unless keep_root). Never follows links.
bool remove_tree(const std::string &path, bool keep_root) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    bool ok = true;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
        if (DIR *d = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (dirent *de = readdir(d)) {
                std::string n = de->d_name;
                if (n != "." && n != "..") names.push_back(n);
            }
            closedir(d);
            for (auto &n : names) ok = remove_tree(path + "/" + n, false) && ok;
        } else {
            ok = false;
        }
        if (!keep_root && rmdir(path.c_str()) != 0) ok = false;
    } else if (!keep_root && unlink(path.c_str()) != 0) {
        ok = false;
    }
    return ok;
}

// Takes write permission away, as on a read-only volume.
void make_read_only(const std::string &path) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (dirent *de = readdir(d)) {
                std::string n = de->d_name;
                if (n != "." && n != "..") names.push_back(n);
            }
            closedir(d);
            for (auto &n : names) make_read_only(path + "/" + n);
        }
    }
    chmod(path.c_str(), st.st_mode & 0555);
}

std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *de = readdir(d)) {
            std::string n = de->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

// The mount table: one file per mount point, named after its device and inode.
std::string table_dir() {
    std::string dir = "/tmp/bwv-hdiutil-" + std::to_string(getuid());
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) throw Failure{"cannot create " + dir};
    struct stat st{};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077))
        throw Failure{dir + " is not a private folder of this user"};
    return dir;
}

std::string record_name(const struct stat &st) {
    return std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino);
}

struct Record {
    std::string mount_point, image, device;
};

bool read_record(const std::string &file, Record *r) {
    std::ifstream in(file);
    return static_cast<bool>(std::getline(in, r->mount_point)) && std::getline(in, r->image) &&
           std::getline(in, r->device);
}

std::string free_device(const std::string &table) {
    std::set<std::string> used;
    for (auto &n : list_dir(table)) {
        Record r;
        if (read_record(table + "/" + n, &r)) used.insert(r.device);
    }
    for (int i = 4;; ++i) {
        std::string d = "disk" + std::to_string(i);
        if (!used.count(d)) return d;
    }
}

void read_confirmation() {
    if (isatty(0)) return;
    // The caller may answer a licence prompt on standard input; take the answer when one
    // comes, without waiting on an input that never ends.
    char buf[256];
    for (int rounds = 0; rounds < 10; ++rounds) {
        struct pollfd p{0, POLLIN, 0};
        int rc = poll(&p, 1, 100);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return;
        ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0) return;
        if (std::memchr(buf, '\n', static_cast<size_t>(n))) return;
    }
}

// The archive types 7-Zip sees, outermost first: a UDIF image whose main partition holds a
// file system lists as "Dmg" and then that file system, which 7-Zip extracts directly.
std::vector<std::string> image_types(const std::string &image) {
    std::string out, err;
    int rc = run_capture({"7zz", "l", "-slt", "-bd", "--", image}, &out, &err);
    if (rc != 0) return {};
    std::vector<std::string> types;
    std::istringstream in(out);
    std::string line;
    bool in_header = false;
    while (std::getline(in, line)) {
        if (line == "--") in_header = true;
        if (line.rfind("----", 0) == 0) in_header = false;
        if (in_header && line.rfind("Type = ", 0) == 0) types.push_back(line.substr(7));
    }
    return types;
}

bool is_filesystem(const std::string &type) {
    return type == "HFS" || type == "APFS" || type == "Iso" || type == "Udf";
}

void extract(const std::string &image, const std::string &dest) {
    std::string out, err;
    int rc = run_capture({"7zz", "x", "-y", "-bd", "-o" + dest, "--", image}, &out, &err);
    if (rc != 0) throw Failure{"corrupt image"};
}

// A UDIF image holds partitions; the volume is the file system inside one of them.
void extract_udif(const std::string &image, const std::string &dest, const std::string &scratch) {
    extract(image, scratch);
    for (auto &n : list_dir(scratch)) {
        std::string part = scratch + "/" + n;
        struct stat st{};
        if (lstat(part.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        auto types = image_types(part);
        if (types.size() == 1 && is_filesystem(types[0])) {
            extract(part, dest);
            return;
        }
    }
    throw Failure{"no mountable file systems"};
}

int attach(const std::vector<std::string> &args) {
    std::string image, mount_point;
    static const std::set<std::string> ignored = {"-noverify", "-verify", "-nobrowse", "-browse",
                                                 "-noautoopen", "-autoopen", "-readonly", "-noautofsck",
                                                 "-quiet", "-noidme"};
    bool quiet = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "-mountpoint" && i + 1 < args.size()) {
            mount_point = args[++i];
        } else if (a == "-mount" && i + 1 < args.size()) {
            ++i;  // required, optional or suppressed: attaching here always means mounting
        } else if (ignored.count(a)) {
            quiet = quiet || a == "-quiet";
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "hdiutil: attach: unknown option %s\n", a.c_str());
            return 1;
        } else if (image.empty()) {
            image = a;
        } else {
            std::fprintf(stderr, "hdiutil: attach: only one image can be attached at a time\n");
            return 1;
        }
    }
    if (image.empty() || mount_point.empty()) {
        std::fprintf(stderr, "usage: hdiutil attach IMAGE -mountpoint DIR [-noverify] [-nobrowse] [-noautoopen]\n");
        return 1;
    }
    read_confirmation();

    bool created = false;
    std::string staging, filled_dir;
    try {
        struct stat st{};
        if (stat(image.c_str(), &st) != 0) throw Failure{std::strerror(errno)};
        if (!S_ISREG(st.st_mode) || access(image.c_str(), R_OK) != 0) throw Failure{"image not recognized"};

        if (mkdir(mount_point.c_str(), 0755) == 0)
            created = true;
        else if (errno != EEXIST)
            throw Failure{std::strerror(errno)};
        char resolved[PATH_MAX];
        if (!is_dir(mount_point) || !realpath(mount_point.c_str(), resolved)) throw Failure{"Not a directory"};
        std::string dir = resolved;
        if (!list_dir(dir).empty()) throw Failure{"Resource busy"};
        struct stat dst{};
        stat(dir.c_str(), &dst);
        std::string table = table_dir();
        std::string record = table + "/" + record_name(dst);
        // A record for this (empty) folder is left over from a mount whose contents are
        // gone, or from a folder that once had this inode; the new mount replaces it.
        auto types = image_types(image);
        bool direct = (types.size() == 1 && is_filesystem(types[0])) ||
                      (types.size() == 2 && types[0] == "Dmg" && is_filesystem(types[1]));
        bool partitions = types.size() == 1 && types[0] == "Dmg";
        if (!direct && !partitions) throw Failure{"image not recognized"};
        filled_dir = dir;

        staging = dir + "/.hdiutil-XXXXXX";
        if (!mkdtemp(staging.data())) throw Failure{std::strerror(errno)};
        std::string volume = staging + "/volume";
        if (mkdir(volume.c_str(), 0755) != 0) throw Failure{std::strerror(errno)};
        if (partitions)
            extract_udif(image, volume, staging + "/partitions");
        else
            extract(image, volume);

        std::string device = free_device(table);
        for (auto &n : list_dir(volume)) {
            if (rename((volume + "/" + n).c_str(), (dir + "/" + n).c_str()) != 0)
                throw Failure{std::strerror(errno)};
        }
        remove_tree(staging, false);
        staging.clear();
        for (auto &n : list_dir(dir)) make_read_only(dir + "/" + n);

        std::string tmp = record + ".new";
        {
            std::ofstream out(tmp, std::ios::trunc);
            out << dir << "\n" << bwv::tools::absolute_path(image) << "\n" << device << "\n";
            if (!out) throw Failure{"cannot record the mount"};
        }
        if (rename(tmp.c_str(), record.c_str()) != 0) throw Failure{"cannot record the mount"};
        if (!quiet) {
            std::printf("%-20s\t%-31s\t\n", ("/dev/" + device).c_str(), "GUID_partition_scheme");
            std::printf("%-20s\t%-31s\t%s\n", ("/dev/" + device + "s1").c_str(), "Apple_HFS", dir.c_str());
        }
        return 0;
    } catch (const Failure &f) {
        if (!staging.empty()) remove_tree(staging, false);
        // Whatever got as far as the mount point goes again; a failed attach leaves nothing.
        if (created)
            remove_tree(mount_point, false);
        else if (!filled_dir.empty())
            remove_tree(filled_dir, true);
        std::fprintf(stderr, "hdiutil: attach failed - %s\n", f.message.c_str());
        return 1;
    }
}

// A detach is usually started by an application that quits right afterwards, and whoever
// tears that application down may signal its whole process group; a half-emptied mount
// point would help nobody, so termination waits until the folder is empty.
struct DeferTermination {
    sigset_t old{};
    DeferTermination() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&set, s);
        sigprocmask(SIG_BLOCK, &set, &old);
    }
    ~DeferTermination() { sigprocmask(SIG_SETMASK, &old, nullptr); }
};

int detach(const std::vector<std::string> &args) {
    DeferTermination defer;
    std::string target;
    bool quiet = false;
    for (auto &a : args) {
        if (a == "-force") continue;
        if (a == "-quiet") {
            quiet = true;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "hdiutil: detach: unknown option %s\n", a.c_str());
            return 1;
        } else if (target.empty()) {
            target = a;
        } else {
            std::fprintf(stderr, "usage: hdiutil detach DIR [-force]\n");
            return 1;
        }
    }
    if (target.empty()) {
        std::fprintf(stderr, "usage: hdiutil detach DIR [-force]\n");
        return 1;
    }
    try {
        std::string table = table_dir();
        std::string record;
        Record r;
        if (target.rfind("/dev/", 0) == 0) {
            std::string dev = target.substr(5);
            if (auto s = dev.find('s', 4); s != std::string::npos) dev = dev.substr(0, s);
            for (auto &n : list_dir(table)) {
                Record c;
                if (read_record(table + "/" + n, &c) && c.device == dev) {
                    record = table + "/" + n;
                    r = c;
                }
            }
        } else {
            struct stat st{};
            char resolved[PATH_MAX];
            if (stat(target.c_str(), &st) == 0 && realpath(target.c_str(), resolved)) {
                std::string file = table + "/" + record_name(st);
                if (read_record(file, &r) && r.mount_point == resolved) record = file;
            }
        }
        if (record.empty()) throw Failure{"No such file or directory"};
        if (!remove_tree(r.mount_point, true)) throw Failure{"Resource busy"};
        unlink(record.c_str());
        if (!quiet) std::printf("\"%s\" ejected.\n", r.device.c_str());
        return 0;
    } catch (const Failure &f) {
        std::fprintf(stderr, "hdiutil: detach failed - %s\n", f.message.c_str());
        return 1;
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: hdiutil attach|detach ...\n");
        return 1;
    }
    std::string verb = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (verb == "attach") return attach(args);
    if (verb == "detach" || verb == "eject") return detach(args);
    std::fprintf(stderr, "hdiutil: unknown verb %s\n", verb.c_str());
    return 1;
}
