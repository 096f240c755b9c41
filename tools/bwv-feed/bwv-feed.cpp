// bwv-feed: publishes the update feed from the disk images and checks a published one.
// It refuses an image the installer would refuse, with the installer's own steps: the
// image attached read-only with hdiutil, "Install.mpkg" on it judged by verifyPackage, and
// the feed written and read with the update library's code.
#include <bwvutil/ps_utils.h>
#include <bwvutil/verify.h>

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <thread>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/base/launch.hpp"
#include "lib/core/paths.hpp"
#include "tools/standins/xar/facts.hpp"
#include "updater/feed.hpp"
#include "updater/net.hpp"
#include "updater/trust.hpp"

namespace {

namespace upd = bwv::upd;

// Exit statuses; README.md lists them.
enum Exit {
    kOk = 0,
    kInternal = 1,
    kUsage = 2,
    kNoImage = 3,
    kNoPackage = 4,
    kSignature = 5,
    kVersion = 6,
    kBadFeed = 7,
    kUnreachable = 8,
    kMismatch = 9,
    kWrite = 10,
    kProduct = 11,
    kKey = 12,
    kUntrusted = 13,
};

constexpr char kPackageName[] = "Install.mpkg";
constexpr size_t kMaxFeedBytes = 1 << 20;  // as the update library fetches it
constexpr int kMaxResumes = 3;

constexpr char kUsageText[] =
    "usage: bwv-feed make --version V [--full FULL.dmg] [--vpn VPN.dmg] [--base-url URL]\n"
    "                     [--rollout PERCENT] [--sign KEY --expires TIME] -o FEED\n"
    "       bwv-feed make --sign KEY --expires TIME -o FEED    (sign FEED again)\n"
    "       bwv-feed check FEED-URL [--key KEY.pub ...]\n"
    "       bwv-feed keygen -o KEY\n"
    "       bwv-feed --version\n"
    "\n"
    "make    attaches each image read-only, requires Install.mpkg on it with a signature\n"
    "        the installer accepts, the product of the image's entry and the version V,\n"
    "        and writes the image's entry (Version, URL, Size, SHA256 and Rollout: --rollout,\n"
    "        else the entry's old one) into FEED, keeping FEED's other entry. URL is the\n"
    "        image's file name, after --base-url when given. Nothing is written unless every\n"
    "        image passes; FEED is replaced in one step, under the lock FEED.lock. -o - writes\n"
    "        a new feed to standard output.\n"
    "        --sign signs the feed with the private key KEY; it then carries Serial (one more\n"
    "        than FEED's, 1 for a new feed) and Expires (TIME, as 2027-01-31T00:00:00Z).\n"
    "check   fetches the feed as the update library does, then every image it names, and\n"
    "        reports each entry as ok or with its mismatch. With --key, the feed must be\n"
    "        signed by one of the public keys and not expired.\n"
    "keygen  writes a new Ed25519 private key to KEY (mode 0600) and its public key to\n"
    "        KEY.pub, never replacing an existing file.\n"
    "\n"
    "exit status: 0 done, 1 internal or local error, 2 usage, 3 image missing or not\n"
    "attachable, 4 no Install.mpkg on the image, 5 signature refused, 6 version mismatch,\n"
    "7 unreadable feed or invalid entry, 8 server unreachable or refusing, 9 an image does not\n"
    "match the feed, 10 a file cannot be written, 11 an image holds the other product's\n"
    "package, 12 unreadable or wrong key, 13 the feed is unsigned, not signed by a given key\n"
    "or expired, 128+N stopped by signal N.\n";

struct Failure {
    int status;
    std::string message;
};

void progress(const std::string &line) { std::fprintf(stderr, "bwv-feed: %s\n", line.c_str()); }

int fail(const Failure &f) {
    std::fprintf(stderr, "bwv-feed: %s\n", f.message.c_str());
    return f.status;
}

// Termination signals are taken by one thread of their own and blocked everywhere else,
// children included (they inherit the mask), so a Ctrl-C reaching the whole process group
// lets a tool that attaches or detaches an image finish, and this program then undoes
// whatever stands half-done before it exits with 128 + the signal.
volatile sig_atomic_t g_signal = 0;
std::atomic<bool> g_cancel{false};
// Set while waiting for nothing this program would have to undo.
std::atomic<bool> g_exit_at_once{false};

void watch_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        for (int sig = 0;;) {
            if (sigwait(&set, &sig) != 0 || g_signal) continue;
            if (g_exit_at_once.load()) _exit(128 + sig);
            g_signal = sig;
            g_cancel.store(true);
        }
    }).detach();
}

bool interrupted() { return g_signal != 0; }
Failure interruption() { return {128 + g_signal, "interrupted; nothing was written"}; }

std::optional<std::string> read_file(const std::string &path, size_t limit) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string data;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && data.size() <= limit) data.append(buf, static_cast<size_t>(n));
    close(fd);
    if (n < 0 || data.size() > limit) return std::nullopt;
    return data;
}

std::string hex(const unsigned char *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// Size and SHA-256 of a regular file.
std::optional<std::pair<uint64_t, std::string>> digest_file(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok =
        fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    uint64_t size = 0;
    char buf[1 << 16];
    ssize_t n = 0;
    while (ok && (n = read(fd, buf, sizeof buf)) > 0) {
        ok = EVP_DigestUpdate(ctx.get(), buf, static_cast<size_t>(n)) == 1;
        size += static_cast<uint64_t>(n);
    }
    close(fd);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!ok || n < 0 || EVP_DigestFinal_ex(ctx.get(), md, &len) != 1) return std::nullopt;
    return std::make_pair(size, hex(md, len));
}

struct ToolRun {
    int status = -1;  // exit code, -1 when it did not run or died
    std::string err;
};

// Runs a tool with input on its standard input, as the installer's task runner does, and
// within the installer's deadline for an attach.
ToolRun run_tool(const std::vector<std::string> &argv, const std::string &input) {
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    ToolRun r;
    bwv::launch::Command cmd;
    cmd.argv = args.data();
    cmd.search_path = true;
    bwv::launch::Run how;
    how.input = input;
    how.err = bwv::launch::capture(r.err, 65536);
    how.deadline = bwv::launch::kAttachDeadline;
    bwv::launch::Result ran = bwv::launch::run(cmd, how);
    if (ran.error == 0 && !ran.timed_out && ran.status >= 0 && WIFEXITED(ran.status))
        r.status = WEXITSTATUS(ran.status);
    while (!r.err.empty() && (r.err.back() == '\n' || r.err.back() == ' ')) r.err.pop_back();
    return r;
}

// An empty private folder for the image, beside nothing the image could reach.
std::optional<std::string> make_mount_point() {
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/bwv-feed-XXXXXX";
    if (!mkdtemp(templ.data())) return std::nullopt;
    return templ;
}

struct ImageFacts {
    uint64_t size = 0;
    std::string sha256;
};

// What the installer does with a downloaded image, short of installing: attach it
// read-only, find the package, verify its signature; then its version. The image is
// detached again whatever the outcome.
std::optional<Failure> inspect_image(const std::string &kind, const std::string &image, const std::string &version,
                                     ImageFacts &facts) {
    char abs[PATH_MAX];
    auto digest = realpath(image.c_str(), abs) ? digest_file(abs) : std::nullopt;
    if (!digest) return Failure{kNoImage, kind + ": cannot read the image " + image};
    facts.size = digest->first;
    facts.sha256 = digest->second;

    auto mount_point = make_mount_point();
    if (!mount_point) return Failure{kInternal, "cannot make a mount point: " + std::string(strerror(errno))};
    const std::string hdiutil = bwv::paths::fixed(bwv::paths::kHdiutil);
    progress(kind + ": attaching " + image);
    ToolRun attach = run_tool(
        {hdiutil, "attach", abs, "-mountpoint", *mount_point, "-noverify", "-nobrowse", "-noautoopen"}, "yes\n");
    if (attach.status != 0 || interrupted()) {
        if (attach.status == 0) run_tool({hdiutil, "detach", *mount_point, "-force"}, "");
        rmdir(mount_point->c_str());
        if (interrupted()) return interruption();
        return Failure{kNoImage,
                       kind + ": cannot attach the image " + image + (attach.err.empty() ? "" : ": " + attach.err)};
    }
    struct Detach {
        const std::string &hdiutil, &dir;
        ~Detach() {
            run_tool({hdiutil, "detach", dir, "-force"}, "");
            rmdir(dir.c_str());
        }
    } detach{hdiutil, *mount_point};

    const std::string pkg = *mount_point + "/" + kPackageName;
    struct stat st {};
    if (lstat(pkg.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return Failure{kNoPackage, kind + ": no " + std::string(kPackageName) + " on the image " + image};
    progress(kind + ": checking the package's signature");
    int verdict = verifyPackage(pkg.c_str());
    if (interrupted()) return interruption();
    if (verdict != 1)
        return Failure{kSignature,
                       kind + ": the signature of " + std::string(kPackageName) + " on " + image + " is refused"};
    // The installer's rule, short of the installed client: this product, this version.
    const bwv::pkg::Product &product = bwv::pkg::product(kind == "Full");
    const auto recorded = bwv::pkg::read_facts(pkg);
    auto listed = [](const std::vector<std::string> &words) {
        std::string s;
        for (const auto &w : words) s += (s.empty() ? "" : ", ") + w;
        return s.empty() ? std::string("nothing") : s;
    };
    using bwv::pkg::Verdict;
    switch (recorded ? bwv::pkg::judge(*recorded, product, version, std::nullopt, true) : Verdict::no_version) {
        case Verdict::accepted:
            return std::nullopt;
        case Verdict::other_product:
            return Failure{kProduct, kind + ": the package on " + image + " is for " + listed(recorded->identifiers) +
                                         ", not " + product.identifier};
        case Verdict::other_version:
            return Failure{kVersion, kind + ": the package on " + image + " is version " + listed(recorded->versions) +
                                         ", not " + version};
        default:
            return Failure{kVersion,
                           kind + ": " + std::string(kPackageName) + " on " + image + " records no readable version"};
    }
}

std::string base_name(const std::string &path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The image's file name as one URL path segment.
std::string url_segment(const std::string &name) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            s += static_cast<char>(c);
        } else {
            s += '%';
            s += digits[c >> 4];
            s += digits[c & 15];
        }
    }
    return s;
}

// Replaces path by data in one step: a private temporary file beside it, renamed over it.
std::optional<Failure> write_atomically(const std::string &path, const std::string &data) {
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string temp = dir + "/.bwv-feed-XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return Failure{kWrite, "cannot write beside " + path + ": " + strerror(errno)};
    size_t done = 0;
    bool ok = fchmod(fd, 0644) == 0;
    while (ok && done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        int e = errno;
        unlink(temp.c_str());
        return Failure{kWrite, "cannot write " + path + ": " + strerror(e)};
    }
    return std::nullopt;
}

// FEED.lock beside the feed, held from reading the feed until it is replaced, so two runs on
// one feed both land. It is removed while still held; a run that locked a removed file
// (its inode no longer at the path) tries again.
class FeedLock {
public:
    ~FeedLock() {
        if (fd_ < 0) return;
        unlink(path_.c_str());
        close(fd_);
    }

    std::optional<Failure> take(const std::string &feed) {
        path_ = feed + ".lock";
        for (;;) {
            int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0) return Failure{kWrite, "cannot make the lock " + path_ + ": " + strerror(errno)};
            g_exit_at_once.store(true);
            int rc = interrupted() ? -1 : flock(fd, LOCK_EX);
            g_exit_at_once.store(false);
            struct stat held {
            }, now{};
            if (rc == 0 && fstat(fd, &held) == 0 && stat(path_.c_str(), &now) == 0 && held.st_ino == now.st_ino &&
                held.st_dev == now.st_dev) {
                fd_ = fd;
                return std::nullopt;
            }
            close(fd);
            if (interrupted()) return interruption();
            if (rc != 0) return Failure{kWrite, "cannot lock " + path_ + ": " + strerror(errno)};
        }
    }

private:
    std::string path_;
    int fd_ = -1;
};

// Writes data to an output that is no regular file (standard output, a pipe, a device).
std::optional<Failure> write_stream(const std::string &path, const std::string &data) {
    int fd = path == "-" ? STDOUT_FILENO : open(path.c_str(), O_WRONLY | O_CLOEXEC);
    size_t done = 0;
    while (fd >= 0 && done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    int e = errno;
    if (fd > STDOUT_FILENO) close(fd);
    if (done < data.size()) return Failure{kWrite, "cannot write " + path + ": " + strerror(e)};
    return std::nullopt;
}

std::optional<unsigned> parse_percent(const std::string &s) {
    if (s.empty() || s.size() > 3 || s.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    unsigned v = static_cast<unsigned>(std::stoul(s));
    if (v > 100) return std::nullopt;
    return v;
}

// Only the one unambiguous form, as 2027-01-31T00:00:00Z.
std::optional<int64_t> parse_utc(const std::string &s) {
    struct tm t {};
    char z = 0;
    int used = 0;
    if (s.size() != 20 ||
        std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                    &t.tm_sec, &z, &used) != 7 ||
        used != 20 || z != 'Z')
        return std::nullopt;
    struct tm want = t;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    time_t v = timegm(&t);
    // timegm normalises 2027-02-30 into March; such a date was never meant.
    if (t.tm_year + 1900 != want.tm_year || t.tm_mon + 1 != want.tm_mon || t.tm_mday != want.tm_mday ||
        t.tm_hour != want.tm_hour || t.tm_min != want.tm_min || t.tm_sec != want.tm_sec)
        return std::nullopt;
    return static_cast<int64_t>(v);
}

std::string format_utc(int64_t when) {
    time_t t = static_cast<time_t>(when);
    struct tm tm {};
    char buf[32];
    gmtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

bool wants_help(const std::vector<std::string> &args) {
    for (const auto &a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

// What make was asked for, its options read and checked.
struct MakeRequest {
    std::map<std::string, std::string> opt;
    std::string version, out, base, key, public_key;
    bool resign = false;
    std::optional<unsigned> rollout;
    std::optional<int64_t> expires;

    bool given(const char *k) const { return opt.count(k) != 0; }
    std::string value(const char *k) const { return given(k) ? opt.at(k) : std::string(); }
};

// --sign and --expires, once both are known to be given.
std::optional<Failure> read_signing(MakeRequest &r) {
    r.expires = parse_utc(r.value("--expires"));
    if (!r.expires) return Failure{kUsage, "make: --expires takes a UTC time such as 2027-01-31T00:00:00Z"};
    if (*r.expires <= static_cast<int64_t>(std::time(nullptr)))
        return Failure{kUsage, "make: --expires " + r.value("--expires") + " has already passed"};
    // Property-list dates hold seconds since 2001 in 32 bits.
    if (*r.expires >= 978307200LL + INT32_MAX) return Failure{kUsage, "make: --expires must be before 2069"};
    auto text = read_file(r.value("--sign"), 1 << 16);
    auto pub = text ? upd::public_key_of(*text) : std::nullopt;
    if (!pub) return Failure{kKey, "make: " + r.value("--sign") + " is not a readable PEM Ed25519 private key"};
    r.key = *text;
    r.public_key = *pub;
    return std::nullopt;
}

std::optional<Failure> read_make_options(const std::vector<std::string> &args, MakeRequest &r) {
    for (size_t i = 0; i < args.size(); i += 2) {
        static const char *known[] = {"--version", "--full", "--vpn",     "--base-url",
                                      "--rollout", "--sign", "--expires", "-o"};
        bool ok = false;
        for (const char *k : known) ok = ok || args[i] == k;
        if (!ok || i + 1 >= args.size() || r.opt.count(args[i]))
            return Failure{kUsage, "make: unknown, repeated or incomplete option " + args[i] + "\n" + kUsageText};
        r.opt[args[i]] = args[i + 1];
    }
    r.version = r.value("--version");
    r.out = r.value("-o");
    // Only --sign: the feed as it stands, signed again with a new serial and expiry.
    r.resign = !r.given("--full") && !r.given("--vpn") && r.given("--sign");
    if (!r.resign && (!upd::parse_version(r.version) || r.version.size() > 95))
        return Failure{kUsage, "make: --version needs a dotted version such as 5.3.0"};
    if (r.out.empty()) return Failure{kUsage, "make: -o FEED is missing"};
    if (!r.given("--full") && !r.given("--vpn") && !r.resign)
        return Failure{kUsage, "make: give --full, --vpn or both (or only --sign to sign FEED again)"};
    if (r.given("--rollout") && !(r.rollout = parse_percent(r.value("--rollout"))))
        return Failure{kUsage, "make: --rollout takes a whole percentage from 0 to 100"};
    r.base = r.value("--base-url");
    if (r.given("--base-url")) {
        if (!upd::is_http_url(r.base)) return Failure{kUsage, "make: --base-url must be an http or https URL"};
        if (r.base.back() != '/') r.base += '/';
    }
    if (r.given("--sign") != r.given("--expires"))
        return Failure{kUsage, "make: --sign KEY and --expires TIME go together"};
    if (r.given("--sign")) return read_signing(r);
    return std::nullopt;
}

// The existing FEED's body into doc; nothing when there is no such file.
std::optional<Failure> read_existing_feed(const MakeRequest &r, std::string &doc) {
    struct stat st {};
    if (stat(r.out.c_str(), &st) != 0) return std::nullopt;
    auto text = read_file(r.out, kMaxFeedBytes);
    upd::SplitFeed split = text ? upd::split_feed(*text) : upd::SplitFeed{};
    if (!text || split.malformed || !upd::feed_with_entry(split.body, true, upd::FeedEntry{}))
        return Failure{kBadFeed, "make: " + r.out + " is not a feed this tool can update"};
    if (!split.signature.empty() && r.key.empty())
        return Failure{kUsage, "make: " + r.out + " is signed; give --sign KEY and --expires TIME"};
    doc = std::string(split.body);
    return std::nullopt;
}

// Each existing entry's Rollout, kept unless --rollout replaces it; an invalid entry is
// refused unless it is replaced whole.
std::optional<Failure> kept_rollouts(const MakeRequest &r, const std::string &doc, const std::string &resolve_base,
                                     std::map<std::string, std::optional<unsigned>> &kept) {
    for (const char *kind : {"Full", "VPN"}) {
        upd::FeedEntry old;
        std::string why;
        bool replaced = r.given(kind[0] == 'F' ? "--full" : "--vpn");
        switch (upd::parse_feed(doc, resolve_base, kind[0] == 'F', old, &why)) {
            case upd::FeedError::None:
                kept[kind] = old.rollout;
                break;
            case upd::FeedError::NoEntry:
                break;
            case upd::FeedError::Invalid:
                if (!doc.empty() && (!replaced || !r.rollout))
                    return Failure{
                        kBadFeed, "make: the " + std::string(kind) + " entry of " + r.out + " is invalid: " + why +
                                      (replaced ? "; give --rollout to replace it" : "; give its image to replace it")};
        }
    }
    return std::nullopt;
}

// Every image passes before anything is written.
std::optional<Failure> add_image_entries(const MakeRequest &r, const std::string &resolve_base,
                                         std::map<std::string, std::optional<unsigned>> &kept, std::string &doc,
                                         FILE *report) {
    for (const char *kind : {"Full", "VPN"}) {
        const char *key_opt = kind[0] == 'F' ? "--full" : "--vpn";
        if (!r.given(key_opt)) continue;
        const std::string image = r.value(key_opt);
        ImageFacts facts;
        if (auto f = inspect_image(kind, image, r.version, facts)) return f;
        upd::FeedEntry e;
        e.version = r.version;
        e.url = r.base + url_segment(base_name(image));
        e.size = facts.size;
        e.sha256 = facts.sha256;
        e.rollout = r.rollout ? r.rollout : kept[kind];
        auto next = upd::feed_with_entry(doc, kind[0] == 'F', e);
        // Read back as the library will, from wherever the feed comes to be served.
        upd::FeedEntry back;
        if (!next || upd::parse_feed(*next, resolve_base, kind[0] == 'F', back) != upd::FeedError::None)
            return Failure{kInternal, std::string(kind) + ": the entry would not read back"};
        doc = *next;
        std::string shown = e.rollout ? "  rollout " + std::to_string(*e.rollout) + "%" : "";
        if (e.rollout && !r.rollout) shown += " (kept)";
        std::fprintf(report, "%-4s %s  %s  %llu bytes  SHA-256 %s%s\n", kind, r.version.c_str(), e.url.c_str(),
                     static_cast<unsigned long long>(e.size), e.sha256.c_str(), shown.c_str());
    }
    return std::nullopt;
}

// The next serial and the expiry go in, then the signature, checked as an installer would.
std::optional<Failure> sign_doc(const MakeRequest &r, std::string &doc, FILE *report) {
    const upd::FeedValidity v{upd::feed_serial(doc).value_or(0) + 1, *r.expires};
    auto sealed = upd::feed_with_validity(doc, v);
    auto signed_doc = sealed ? upd::sign_feed(*sealed, r.key) : std::nullopt;
    std::string_view body;
    uint64_t serial = 0;
    if (!signed_doc || upd::verify_feed(*signed_doc, {r.public_key}, static_cast<int64_t>(std::time(nullptr)), body,
                                        serial) != upd::TrustError::None)
        return Failure{kInternal, "make: the signed feed would not verify"};
    doc = *signed_doc;
    std::fprintf(report, "signed  serial %llu  expires %s\n", static_cast<unsigned long long>(v.serial),
                 format_utc(v.expires).c_str());
    return std::nullopt;
}

int make(const std::vector<std::string> &args) {
    MakeRequest r;
    if (auto f = read_make_options(args, r)) return fail(*f);
    const std::string &out = r.out;

    // Standard output, a pipe or a device gets a new feed; nothing is read back from it.
    struct stat st {};
    const bool stream = out == "-" || out == "/dev/stdout" ||
                        (stat(out.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode));
    const std::string sink = out == "/dev/stdout" ? "-" : out;
    FILE *report = sink == "-" ? stderr : stdout;
    FeedLock lock;
    if (!stream)
        if (auto f = lock.take(out)) return fail(*f);

    // The feed as it stands: its other entry stays, and so does each entry's Rollout unless
    // --rollout replaces it; an entry that would not read back is named, never dropped.
    std::string doc;
    const std::string resolve_base = r.base.empty() ? "https://feed.invalid/feed.plist" : r.base;
    if (!stream)
        if (auto f = read_existing_feed(r, doc)) return fail(*f);
    if (r.resign && doc.empty()) return fail({kUsage, "make: signing again needs an existing FEED"});
    std::map<std::string, std::optional<unsigned>> kept;
    if (auto f = kept_rollouts(r, doc, resolve_base, kept)) return fail(*f);
    if (auto f = add_image_entries(r, resolve_base, kept, doc, report)) return fail(*f);
    if (!r.key.empty())
        if (auto f = sign_doc(r, doc, report)) return fail(*f);
    if (interrupted()) return fail(interruption());
    if (auto f = stream ? write_stream(sink, doc) : write_atomically(out, doc)) return fail(*f);
    std::fprintf(report, "wrote %s\n", sink == "-" ? "the feed to standard output" : out.c_str());
    return kOk;
}

int keygen(const std::vector<std::string> &args) {
    if (args.size() != 2 || args[0] != "-o" || args[1].empty())
        return fail({kUsage, std::string("keygen: give -o KEY\n") + kUsageText});
    const std::string priv = args[1], pub = priv + ".pub";
    auto pair = upd::generate_key();
    if (!pair) return fail({kInternal, "keygen: cannot generate a key"});
    // Neither file may replace one that exists: a lost signing key cannot be made again.
    auto create = [](const std::string &path, const std::string &text, mode_t mode) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0) return false;
        bool ok = fchmod(fd, mode) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ok = close(fd) == 0 && ok;
        if (!ok) unlink(path.c_str());
        return ok;
    };
    struct stat st {};
    if (lstat(pub.c_str(), &st) == 0) return fail({kWrite, "keygen: " + pub + " already exists"});
    if (!create(priv, pair->private_pem, 0600))
        return fail({kWrite, "keygen: cannot create " + priv + ": " + strerror(errno)});
    if (!create(pub, pair->public_pem, 0644)) {
        int e = errno;
        unlink(priv.c_str());
        return fail({kWrite, "keygen: cannot create " + pub + ": " + strerror(e)});
    }
    std::printf("wrote %s and %s\n", priv.c_str(), pub.c_str());
    return kOk;
}

std::string net_problem(const upd::NetResult &r) {
    switch (r.error) {
        case upd::NetError::Server:
            return "the server answered with HTTP status " + std::to_string(r.http_status);
        case upd::NetError::Tls:
            return "the server's certificate is not accepted";
        case upd::NetError::Interrupted:
            return "the transfer broke off";
        case upd::NetError::Local:
            return "cannot store the download";
        case upd::NetError::NoSpace:
            return "not enough free space for the image";
        default:
            return "cannot reach the server";
    }
}

std::optional<Failure> read_check_args(const std::vector<std::string> &args, std::string &url,
                                       std::vector<std::string> &keys) {
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--key" && i + 1 < args.size()) {
            auto pem = read_file(args[++i], 1 << 16);
            if (!pem || !upd::is_public_key(*pem))
                return Failure{kKey, "check: " + args[i] + " is not a readable PEM Ed25519 public key"};
            keys.push_back(*pem);
        } else if (url.empty() && args[i].rfind("-", 0) != 0) {
            url = args[i];
        } else {
            return Failure{kUsage, "check: unknown or incomplete argument " + args[i] + "\n" + kUsageText};
        }
    }
    if (url.empty()) return Failure{kUsage, std::string("check: give one feed URL\n") + kUsageText};
    if (!upd::is_http_url(url)) return Failure{kUsage, "check: " + url + " is not an http or https URL"};
    return std::nullopt;
}

// With keys given, doc becomes what a signature by one of them covers, if it holds and
// has not expired; without, doc stays as it is.
std::optional<Failure> check_signature(const std::string &url, const std::string &fetched,
                                       const std::vector<std::string> &keys, std::string_view &doc) {
    if (keys.empty()) return std::nullopt;
    uint64_t serial = 0;
    switch (upd::verify_feed(fetched, keys, static_cast<int64_t>(std::time(nullptr)), doc, serial)) {
        case upd::TrustError::None:
            break;
        case upd::TrustError::Unsigned:
            return Failure{kUntrusted, url + ": the feed is not signed"};
        case upd::TrustError::BadSignature:
            return Failure{kUntrusted, url + ": the feed's signature does not match any given key"};
        case upd::TrustError::Invalid:
            return Failure{kBadFeed, url + ": the signed feed has no Serial or Expires"};
        case upd::TrustError::Expired:
            return Failure{kUntrusted, url + ": the feed expired at " + format_utc(upd::feed_validity(doc)->expires)};
    }
    return std::nullopt;
}

// Downloads one entry's image into an unnamed temporary file and prints its line; problem
// is the exit status the entry calls for (kOk when it holds). A failure ends the check.
std::optional<Failure> check_image(const char *kind, const upd::FeedEntry &e, const upd::NetOptions &opts,
                                   int &problem) {
    progress(std::string(kind) + ": downloading " + e.url);
    const char *tmp = std::getenv("TMPDIR");
    std::string temp = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/.bwv-feed-check-XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return Failure{kInternal, "cannot make a temporary file: " + std::string(strerror(errno))};
    unlink(temp.c_str());
    int shown = 0;
    auto on_bytes = [&](uint64_t total) {
        int quarter = static_cast<int>(total >= e.size ? 4 : total * 4 / e.size);
        for (; shown < quarter; ++shown) std::fprintf(stderr, "bwv-feed: %s: %d%%\n", kind, (shown + 1) * 25);
    };
    upd::DownloadOutcome d = upd::download_to_file(e.url, fd, e.size, opts, kMaxResumes, on_bytes);
    close(fd);
    if (interrupted()) return interruption();
    // A local disk that fills up says nothing about the server.
    if (d.net.error == upd::NetError::Local)
        return Failure{kInternal, std::string(kind) + ": cannot store the download in " +
                                      temp.substr(0, temp.rfind('/')) + " (is the disk full?)"};
    std::string what;
    problem = kOk;
    if (d.net.error == upd::NetError::TooLarge) {
        what = "size mismatch: more than the feed's " + std::to_string(e.size) + " bytes";
    } else if (d.net.error != upd::NetError::None) {
        what = net_problem(d.net);
        problem = kUnreachable;
    } else if (d.bytes != e.size) {
        what = "size mismatch: " + std::to_string(d.bytes) + " bytes, the feed says " + std::to_string(e.size);
    } else if (d.sha256 != e.sha256) {
        what = "SHA-256 mismatch: " + d.sha256 + ", the feed says " + e.sha256;
    }
    if (!what.empty() && problem == kOk) problem = kMismatch;
    std::string rollout = e.rollout ? "  rollout " + std::to_string(*e.rollout) + "%" : "";
    std::printf("%-4s %s  %s  %s%s\n", kind, e.version.c_str(), e.url.c_str(), what.empty() ? "ok" : what.c_str(),
                rollout.c_str());
    return std::nullopt;
}

int check(const std::vector<std::string> &args) {
    std::string url;
    std::vector<std::string> keys;
    if (auto f = read_check_args(args, url, keys)) return fail(*f);
    upd::net_global_init();
    upd::NetOptions opts;  // the library's defaults
    opts.cancel = &g_cancel;
    std::string fetched;
    progress("fetching " + url);
    upd::NetResult r = upd::fetch_document(url, opts, kMaxFeedBytes, fetched);
    if (interrupted()) return fail(interruption());
    if (r.error == upd::NetError::TooLarge) return fail({kBadFeed, url + ": the feed is too large"});
    if (r.error != upd::NetError::None) return fail({kUnreachable, url + ": " + net_problem(r)});
    const std::string feed_url = r.effective_url.empty() ? url : r.effective_url;
    // The entries are read from what the signature covers, as the library reads them.
    std::string_view doc = upd::split_feed(fetched).body;
    if (auto f = check_signature(url, fetched, keys, doc)) return fail(*f);
    if (auto v = upd::feed_validity(doc))
        std::printf("feed serial %llu  expires %s  %s\n", static_cast<unsigned long long>(v->serial),
                    format_utc(v->expires).c_str(), keys.empty() ? "signature not checked" : "signature ok");

    // The first problem found decides the exit status.
    int status = kOk, entries = 0;
    auto note = [&status](int s) {
        if (status == kOk) status = s;
    };
    for (const char *kind : {"Full", "VPN"}) {
        upd::FeedEntry e;
        upd::FeedError fe = upd::parse_feed(doc, feed_url, kind[0] == 'F', e);
        if (fe == upd::FeedError::NoEntry) continue;
        ++entries;
        if (fe != upd::FeedError::None) {
            std::printf("%-4s invalid entry\n", kind);
            note(kBadFeed);
            continue;
        }
        int problem = kOk;
        if (auto f = check_image(kind, e, opts, problem)) return fail(*f);
        note(problem);
    }
    if (entries == 0) return fail({kBadFeed, url + ": the feed has no Full or VPN entry"});
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    // A tool that exits before reading its input must not end this program, and a file
    // that outgrows the size limit must fail as a write error, not end it either.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return fail({kUsage, std::string("no command given\n") + kUsageText});
    if (args[0] == "--version") {
        std::printf("bwv-feed %s\n", BWV_VERSION);
        return kOk;
    }
    if (wants_help(args)) {
        std::fputs(kUsageText, stdout);
        return kOk;
    }
    watch_signals();
    try {
        std::vector<std::string> rest(args.begin() + 1, args.end());
        if (args[0] == "make") return make(rest);
        if (args[0] == "check") return check(rest);
        if (args[0] == "keygen") return keygen(rest);
    } catch (const std::exception &e) {
        return fail({kInternal, e.what()});
    }
    return fail({kUsage, "unknown command " + args[0] + "\n" + kUsageText});
}
