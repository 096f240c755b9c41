// hdiutil stand-in: attach makes a disk image's files appear, read-only, under the mount
// point; detach takes them away again. Images are read with 7-Zip, which understands UDIF
// (.dmg), HFS+, APFS, UDF and ISO 9660. Without kernel mounts the "mount" is a copy, so the
// tool keeps a small table of its mounts to make sure detach only ever empties a folder that
// attach filled.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lib/base/launch.hpp"
#include "tools/standins/common/standin.hpp"

namespace {

using bwv::tools::run_capture;

struct Failure {
    std::string message;  // after "hdiutil: VERB failed - "
};

bool is_dir(const std::string &p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A folder's entries without "." and ".."; nullopt when it cannot be opened.
std::optional<std::vector<std::string>> entries_of(const std::string &path) {
    DIR *d = opendir(path.c_str());
    if (!d) return std::nullopt;
    std::vector<std::string> names;
    while (dirent *de = readdir(d)) {
        std::string n = de->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
}

std::vector<std::string> list_dir(const std::string &path) {
    return entries_of(path).value_or(std::vector<std::string>{});
}

// Removes everything under path (and path itself unless keep_root). Never follows links.
bool remove_tree(const std::string &path, bool keep_root) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    bool ok = true;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
        if (auto names = entries_of(path)) {
            for (auto &n : *names) ok = remove_tree(path + "/" + n, false) && ok;
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
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return;
    if (S_ISDIR(st.st_mode)) {
        for (auto &n : list_dir(path)) make_read_only(path + "/" + n);
    }
    chmod(path.c_str(), st.st_mode & 0555);
}

// A folder of this user's that no other account can write: anyone who could would be able
// to plant the mount table's folder (or a link in its place) and so block or misdirect
// attaches. Never a link.
bool owned_folder(const std::string &path, mode_t forbidden) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
           (st.st_mode & forbidden) == 0;
}

std::string without_trailing_slashes(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

// The mount table: one file per mount point, named after its device and inode. It lives
// in the user's private runtime folder, else in the user's cache folder; never in a shared
// folder such as /tmp, where another account could take its name first.
std::string table_dir() {
    std::string base;
    if (const char *run = std::getenv("XDG_RUNTIME_DIR"); run && run[0] == '/') {
        std::string dir = without_trailing_slashes(run);
        if (owned_folder(dir, 077)) base = dir;
    }
    if (base.empty()) {
        std::vector<std::string> homes;
        if (const char *home = std::getenv("HOME"); home && home[0] == '/') homes.push_back(home);
        if (const passwd *pw = getpwuid(getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
            homes.push_back(pw->pw_dir);
        for (auto &h : homes) {
            std::string home = without_trailing_slashes(h);
            if (!owned_folder(home, 022)) continue;
            std::string cache = (home == "/" ? "" : home) + "/.cache";
            mkdir(cache.c_str(), 0700);
            if (owned_folder(cache, 022)) {
                base = cache;
                break;
            }
        }
    }
    if (base.empty()) throw Failure{"no private folder for the mount table"};
    std::string dir = base + "/bwv-hdiutil";
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) throw Failure{"cannot create " + dir};
    if (!owned_folder(dir, 077)) throw Failure{dir + " is not a private folder of this user"};
    return dir;
}

std::string record_name(const struct stat &st) { return std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino); }

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
        struct pollfd p {
            0, POLLIN, 0
        };
        int rc = poll(&p, 1, 100);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return;
        ssize_t n = read(0, buf, sizeof buf);
        if (n <= 0) return;
        if (std::memchr(buf, '\n', static_cast<size_t>(n))) return;
    }
}

// Every file, folder and link counts for at least this much, so that countless empty
// files cannot pass for a small volume.
constexpr unsigned long long kEntryCost = 512;

unsigned long long add_capped(unsigned long long a, unsigned long long b) {
    return a > ULLONG_MAX - b ? ULLONG_MAX : a + b;
}

// What 7-Zip says is in an image: the archive types, outermost first (a UDIF image whose
// main partition holds a file system lists as "Dmg" and then that file system, which 7-Zip
// extracts directly), and the bytes its entries claim.
struct Listing {
    std::vector<std::string> types;
    unsigned long long bytes = 0;
};

// 7-Zip builds the whole list of an image's entries before it prints one, and a volume whose
// folders share their contents (a directory that several entries point at, level after
// level) lists exponentially many paths: the listing runs in so little memory and time that
// it fails long before that, which honest installer volumes never come near. Past the cap
// (the most an attach may ever write) the reading stops.
constexpr const char *kListingMemory = "--as=67108864", *kListingTime = "--cpu=4";

Listing list_image(const std::string &image, unsigned long long cap) {
    std::string out, err;
    int rc = run_capture({"prlimit", kListingMemory, kListingTime, "--", "7zz", "l", "-slt", "-bd", "--", image}, &out,
                         &err);
    if (rc == 128 + SIGXCPU || rc == 128 + SIGKILL || err.find("Can't allocate") != std::string::npos)
        throw Failure{std::strerror(EFBIG)};
    if (rc != 0) return {};
    Listing listing;
    bool in_header = false, in_entries = false;
    for (size_t pos = 0, end; pos < out.size() && listing.bytes <= cap; pos = end + 1) {
        end = std::min(out.find('\n', pos), out.size());
        std::string_view line(out.data() + pos, end - pos);
        if (line == "--") in_header = true;
        if (line.substr(0, 4) == "----") in_header = false;
        if (line.substr(0, 10) == "----------") in_entries = true;
        if (in_header && line.substr(0, 7) == "Type = ") listing.types.emplace_back(line.substr(7));
        if (!in_entries) continue;
        // A path costs its bytes besides the entry's own share.
        if (line.substr(0, 7) == "Path = ") listing.bytes = add_capped(listing.bytes, kEntryCost + line.size() - 7);
        if (line.substr(0, 7) == "Size = " && line.size() > 7) {
            errno = 0;
            unsigned long long n = std::strtoull(std::string(line.substr(7)).c_str(), nullptr, 10);
            listing.bytes = add_capped(listing.bytes, errno ? ULLONG_MAX : n);
        }
    }
    if (listing.bytes > cap) throw Failure{std::strerror(EFBIG)};
    return listing;
}

bool is_filesystem(const std::string &type) {
    return type == "HFS" || type == "APFS" || type == "Iso" || type == "Udf";
}

// Bytes under path as a copy would see them: regular files by their length (a sparse
// file still copies in full) and kEntryCost for every entry. Links are not followed.
unsigned long long tree_bytes(const std::string &path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return 0;
    unsigned long long total = kEntryCost;
    if (S_ISREG(st.st_mode)) total = add_capped(total, static_cast<unsigned long long>(st.st_size));
    if (S_ISDIR(st.st_mode))
        for (auto &n : list_dir(path)) total = add_capped(total, tree_bytes(path + "/" + n));
    return total;
}

// How much an attach may write. An image may compress its volume, so the volume may be
// larger than the image, but an image that claims far more than its own size times
// kExpansionRatio is a decompression bomb rather than an installer; kExpansionAllowance
// leaves room for small images, and nothing writes more than kMaxAttachBytes or more than
// the mount point's file system has free.
struct Budget {
    static constexpr unsigned long long kExpansionRatio = 64;
    static constexpr unsigned long long kExpansionAllowance = 16ULL << 20;
    static constexpr unsigned long long kMaxAttachBytes = 2ULL << 30;

    std::string staging;  // everything the attach writes goes in here
    unsigned long long limit = 0;
    bool by_space = false;  // the free space, not the image's size, sets the limit

    static unsigned long long most(unsigned long long image_size) {
        return std::min(kMaxAttachBytes, add_capped(kExpansionAllowance, image_size > ULLONG_MAX / kExpansionRatio
                                                                             ? ULLONG_MAX
                                                                             : image_size * kExpansionRatio));
    }

    Budget(const std::string &staging_dir, unsigned long long image_size, const std::string &mount_point)
        : staging(staging_dir) {
        limit = most(image_size);
        struct statvfs vfs {};
        if (statvfs(mount_point.c_str(), &vfs) != 0) throw Failure{std::strerror(errno)};
        unsigned long long avail = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
        if (avail < limit) {
            limit = avail;
            by_space = true;
        }
    }

    unsigned long long used() const { return tree_bytes(staging); }
    Failure exceeded() const { return Failure{std::strerror(by_space ? ENOSPC : EFBIG)}; }

    // Refuses an image whose own listing already claims more than is left.
    void admit(const Listing &listing) const {
        if (add_capped(used(), listing.bytes) > limit) throw exceeded();
    }
};

// Runs 7-Zip to extract image into dest. The listing admitted before may lie, so the
// budget also holds while 7-Zip writes: no file of its may grow past what is left, and it
// is stopped as soon as the staging folder holds more than the budget allows.
void extract(const std::string &image, const std::string &dest, const Budget &budget) {
    unsigned long long used = budget.used();
    if (used >= budget.limit) throw budget.exceeded();
    std::vector<std::string> argv = {"7zz", "x", "-y", "-bd", "-o" + dest, "--", image};
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    bwv::launch::Command cmd;
    cmd.argv = args.data();
    cmd.search_path = true;
    cmd.max_file_size = budget.limit - used;
    for (int &fd : cmd.stdio) fd = bwv::launch::kDevNull;
    bwv::launch::Child child = bwv::launch::spawn(cmd);
    if (child.pid < 0 || child.error != 0) {
        if (child.pid > 0) bwv::launch::wait(child.pid);
        throw Failure{std::strerror(child.error)};
    }
    pid_t pid = child.pid;
    int status = 0;
    bool over = false;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid || (w < 0 && errno != EINTR)) break;
        auto began = std::chrono::steady_clock::now();
        if (budget.used() > budget.limit) {
            over = true;
            bwv::launch::kill_group(pid);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        // A volume of many files takes a while to measure; keep that to a fraction of the time.
        using Clock = std::chrono::steady_clock;
        Clock::duration pause = 3 * (Clock::now() - began);
        std::this_thread::sleep_for(std::max(pause, Clock::duration(std::chrono::milliseconds(20))));
    }
    if (over || budget.used() > budget.limit || (WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ))
        throw budget.exceeded();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw Failure{"corrupt image"};
}

// A UDIF image holds partitions; the volume is the file system inside one of them.
void extract_udif(const std::string &image, const std::string &dest, const std::string &scratch, const Budget &budget) {
    extract(image, scratch, budget);
    for (auto &n : list_dir(scratch)) {
        std::string part = scratch + "/" + n;
        struct stat st {};
        if (lstat(part.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        auto listing = list_image(part, budget.limit);
        if (listing.types.size() == 1 && is_filesystem(listing.types[0])) {
            budget.admit(listing);
            extract(part, dest, budget);
            return;
        }
    }
    throw Failure{"no mountable file systems"};
}

struct AttachArgs {
    std::string image, mount_point;
    bool quiet = false;
};

// 0, or the exit status once the complaint is printed: an option attach does not take, or
// an image or mount point missing.
int parse_attach_args(const std::vector<std::string> &args, AttachArgs &out) {
    static const std::set<std::string> ignored = {"-noverify", "-verify",   "-nobrowse",   "-browse", "-noautoopen",
                                                  "-autoopen", "-readonly", "-noautofsck", "-quiet",  "-noidme"};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "-mountpoint" && i + 1 < args.size()) {
            out.mount_point = args[++i];
        } else if (a == "-mount" && i + 1 < args.size()) {
            ++i;  // required, optional or suppressed: attaching here always means mounting
        } else if (ignored.count(a)) {
            out.quiet = out.quiet || a == "-quiet";
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "hdiutil: attach: unknown option %s\n", a.c_str());
            return 1;
        } else if (out.image.empty()) {
            out.image = a;
        } else {
            std::fprintf(stderr, "hdiutil: attach: only one image can be attached at a time\n");
            return 1;
        }
    }
    if (out.image.empty() || out.mount_point.empty()) {
        std::fprintf(stderr, "usage: hdiutil attach IMAGE -mountpoint DIR [-noverify] [-nobrowse] [-noautoopen]\n");
        return 1;
    }
    return 0;
}

// The mount point's resolved path, made here when missing (created then says so); it must
// be an empty folder.
std::string open_mount_point(const std::string &mount_point, bool &created) {
    if (mkdir(mount_point.c_str(), 0755) == 0)
        created = true;
    else if (errno != EEXIST)
        throw Failure{std::strerror(errno)};
    char resolved[PATH_MAX];
    if (!is_dir(mount_point) || !realpath(mount_point.c_str(), resolved)) throw Failure{"Not a directory"};
    std::string dir = resolved;
    if (!list_dir(dir).empty()) throw Failure{"Resource busy"};
    return dir;
}

// True for a UDIF image whose partitions are extracted one by one, false for one 7-Zip
// extracts directly.
bool holds_partitions(const Listing &listing) {
    const auto &types = listing.types;
    bool direct = (types.size() == 1 && is_filesystem(types[0])) ||
                  (types.size() == 2 && types[0] == "Dmg" && is_filesystem(types[1]));
    bool partitions = types.size() == 1 && types[0] == "Dmg";
    if (!direct && !partitions) throw Failure{"image not recognized"};
    return partitions;
}

// Extracts the volume into a staging folder inside dir, under the budget; staging names it
// so that a failure can remove it. Returns the volume's folder.
std::string extract_to_staging(const std::string &image, const std::string &dir, unsigned long long image_size,
                               const Listing &listing, bool partitions, std::string &staging) {
    staging = dir + "/.hdiutil-XXXXXX";
    if (!mkdtemp(staging.data())) throw Failure{std::strerror(errno)};
    Budget budget(staging, image_size, dir);
    budget.admit(listing);
    std::string volume = staging + "/volume";
    if (mkdir(volume.c_str(), 0755) != 0) throw Failure{std::strerror(errno)};
    if (partitions)
        extract_udif(image, volume, staging + "/partitions", budget);
    else
        extract(image, volume, budget);
    return volume;
}

void record_mount(const std::string &record, const std::string &dir, const std::string &image,
                  const std::string &device) {
    std::string tmp = record + ".new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << dir << "\n" << bwv::tools::absolute_path(image) << "\n" << device << "\n";
        if (!out) throw Failure{"cannot record the mount"};
    }
    if (rename(tmp.c_str(), record.c_str()) != 0) throw Failure{"cannot record the mount"};
}

int attach(const std::vector<std::string> &args) {
    AttachArgs a;
    if (int rc = parse_attach_args(args, a)) return rc;
    const std::string &image = a.image, &mount_point = a.mount_point;
    read_confirmation();

    bool created = false;
    std::string staging, filled_dir;
    try {
        struct stat st {};
        if (stat(image.c_str(), &st) != 0) throw Failure{std::strerror(errno)};
        if (!S_ISREG(st.st_mode) || access(image.c_str(), R_OK) != 0) throw Failure{"image not recognized"};

        std::string dir = open_mount_point(mount_point, created);
        struct stat dst {};
        stat(dir.c_str(), &dst);
        std::string table = table_dir();
        std::string record = table + "/" + record_name(dst);
        // A record for this (empty) folder is left over from a mount whose contents are
        // gone, or from a folder that once had this inode; the new mount replaces it.
        Listing listing = list_image(image, Budget::most(static_cast<unsigned long long>(st.st_size)));
        bool partitions = holds_partitions(listing);
        filled_dir = dir;

        std::string volume =
            extract_to_staging(image, dir, static_cast<unsigned long long>(st.st_size), listing, partitions, staging);
        std::string device = free_device(table);
        for (auto &n : list_dir(volume)) {
            if (rename((volume + "/" + n).c_str(), (dir + "/" + n).c_str()) != 0) throw Failure{std::strerror(errno)};
        }
        remove_tree(staging, false);
        staging.clear();
        for (auto &n : list_dir(dir)) make_read_only(dir + "/" + n);

        record_mount(record, dir, image, device);
        if (!a.quiet) {
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
            struct stat st {};
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
