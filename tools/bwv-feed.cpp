// bwv-feed: publishes the update feed from the disk images and checks a published one.
// It refuses an image the installer would refuse, with the installer's own steps: the
// image attached read-only with hdiutil, "Install.mpkg" on it judged by verifyPackage, and
// the feed written and read with the update library's code.
#include <bwvutil/ps_utils.h>
#include <bwvutil/verify.h>

#include <expat.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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

#include "base/launch.hpp"
#include "platform/core/paths.hpp"
#include "tools/xar/xar.hpp"
#include "updater/feed.hpp"
#include "updater/net.hpp"

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
};

constexpr char kPackageName[] = "Install.mpkg";
constexpr size_t kMaxFeedBytes = 1 << 20;     // as the update library fetches it
constexpr size_t kMaxPackageXml = 1 << 20;
constexpr int kMaxResumes = 3;

constexpr char kUsageText[] =
    "usage: bwv-feed make --version V [--full FULL.dmg] [--vpn VPN.dmg] [--base-url URL]\n"
    "                     [--rollout PERCENT] -o FEED\n"
    "       bwv-feed check FEED-URL\n"
    "\n"
    "make    attaches each image read-only, requires Install.mpkg on it with a signature\n"
    "        the installer accepts and the version V, and writes the image's entry (Version,\n"
    "        URL, Size, SHA256 and, with --rollout, Rollout) into FEED, keeping FEED's other\n"
    "        entry. URL is the image's file name, after --base-url when given. Nothing is\n"
    "        written unless every image passes; FEED is replaced in one step.\n"
    "check   fetches the feed as the update library does, then every image it names, and\n"
    "        reports each entry as ok or with its mismatch.\n"
    "\n"
    "exit status: 0 done, 1 internal error, 2 usage, 3 image missing or not attachable,\n"
    "4 no Install.mpkg on the image, 5 signature refused, 6 version mismatch, 7 unreadable\n"
    "feed, 8 server unreachable or refusing, 9 an image does not match the feed, 10 the feed\n"
    "cannot be written.\n";

struct Failure {
    int status;
    std::string message;
};

void progress(const std::string &line) { std::fprintf(stderr, "bwv-feed: %s\n", line.c_str()); }

int fail(const Failure &f) {
    std::fprintf(stderr, "bwv-feed: %s\n", f.message.c_str());
    return f.status;
}

std::optional<std::string> read_file(const std::string &path, size_t limit) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string data;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && data.size() <= limit)
        data.append(buf, static_cast<size_t>(n));
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
    struct stat st{};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ctx &&
              EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
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

// The versions a flat package records: every pkg-ref version of its Distribution and the
// version of every component's PackageInfo.
bool package_versions(const std::string &pkg_path, std::vector<std::string> &versions) {
    try {
        bwv::xar::FileSource src(pkg_path);
        bwv::xar::Package pkg = bwv::xar::parse(src);
        for (const auto &e : pkg.entries) {
            const std::string &p = e.path;
            bool info = p == "PackageInfo" ||
                        (p.size() > 12 && p.compare(p.size() - 12, 12, "/PackageInfo") == 0);
            if (e.type != "file" || (p != "Distribution" && !info)) continue;
            std::string xml = bwv::xar::extract(src, pkg, e, kMaxPackageXml);
            std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
                XML_ParserCreate(nullptr), XML_ParserFree);
            if (!parser) return false;
            XML_SetUserData(parser.get(), &versions);
            XML_SetStartElementHandler(parser.get(), [](void *ud, const XML_Char *name,
                                                        const XML_Char **atts) {
                std::string_view n = name;
                if (n != "pkg-ref" && n != "pkg-info") return;
                for (; atts[0]; atts += 2)
                    if (std::string_view(atts[0]) == "version")
                        static_cast<std::vector<std::string> *>(ud)->push_back(atts[1]);
            });
            if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), 1) != XML_STATUS_OK)
                return false;
        }
        return true;
    } catch (const std::exception &) {
        return false;
    }
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
std::optional<Failure> inspect_image(const std::string &kind, const std::string &image,
                                     const std::string &version, ImageFacts &facts) {
    char abs[PATH_MAX];
    auto digest = realpath(image.c_str(), abs) ? digest_file(abs) : std::nullopt;
    if (!digest) return Failure{kNoImage, kind + ": cannot read the image " + image};
    facts.size = digest->first;
    facts.sha256 = digest->second;

    auto mount_point = make_mount_point();
    if (!mount_point) return Failure{kInternal, "cannot make a mount point: " + std::string(strerror(errno))};
    const std::string hdiutil = bwv::paths::fixed(bwv::paths::kHdiutil);
    progress(kind + ": attaching " + image);
    ToolRun attach = run_tool({hdiutil, "attach", abs, "-mountpoint", *mount_point, "-noverify",
                               "-nobrowse", "-noautoopen"},
                              "yes\n");
    if (attach.status != 0) {
        rmdir(mount_point->c_str());
        return Failure{kNoImage, kind + ": cannot attach the image " + image +
                                     (attach.err.empty() ? "" : ": " + attach.err)};
    }
    struct Detach {
        const std::string &hdiutil, &dir;
        ~Detach() {
            run_tool({hdiutil, "detach", dir, "-force"}, "");
            rmdir(dir.c_str());
        }
    } detach{hdiutil, *mount_point};

    const std::string pkg = *mount_point + "/" + kPackageName;
    struct stat st{};
    if (lstat(pkg.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return Failure{kNoPackage, kind + ": no " + std::string(kPackageName) + " on the image " + image};
    progress(kind + ": checking the package's signature");
    if (verifyPackage(pkg.c_str()) != 1)
        return Failure{kSignature, kind + ": the signature of " + std::string(kPackageName) +
                                       " on " + image + " is refused"};
    std::vector<std::string> versions;
    if (!package_versions(pkg, versions) || versions.empty())
        return Failure{kVersion, kind + ": " + std::string(kPackageName) + " on " + image +
                                     " records no readable version"};
    for (const auto &v : versions)
        if (v != version)
            return Failure{kVersion, kind + ": the package on " + image + " is version " + v +
                                         ", not " + version};
    return std::nullopt;
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

std::optional<unsigned> parse_percent(const std::string &s) {
    if (s.empty() || s.size() > 3 || s.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    unsigned v = static_cast<unsigned>(std::stoul(s));
    if (v > 100) return std::nullopt;
    return v;
}

int make(const std::vector<std::string> &args) {
    std::map<std::string, std::string> opt;
    for (size_t i = 0; i < args.size(); i += 2) {
        static const char *known[] = {"--version", "--full", "--vpn", "--base-url", "--rollout", "-o"};
        bool ok = false;
        for (const char *k : known) ok = ok || args[i] == k;
        if (!ok || i + 1 >= args.size() || opt.count(args[i]))
            return fail({kUsage, "make: unknown, repeated or incomplete option " + args[i] + "\n" + kUsageText});
        opt[args[i]] = args[i + 1];
    }
    auto given = [&](const char *key) { return opt.count(key) != 0; };
    auto value = [&](const char *key) { return given(key) ? opt.at(key) : std::string(); };
    const std::string version = value("--version"), out = value("-o");
    if (!upd::parse_version(version) || version.size() > 95)
        return fail({kUsage, "make: --version needs a dotted version such as 5.3.0"});
    if (out.empty()) return fail({kUsage, "make: -o FEED is missing"});
    if (!given("--full") && !given("--vpn"))
        return fail({kUsage, "make: give --full, --vpn or both"});
    std::optional<unsigned> rollout;
    if (given("--rollout") && !(rollout = parse_percent(value("--rollout"))))
        return fail({kUsage, "make: --rollout takes a whole percentage from 0 to 100"});
    std::string base = value("--base-url");
    if (given("--base-url")) {
        if (!upd::is_http_url(base)) return fail({kUsage, "make: --base-url must be an http or https URL"});
        if (base.back() != '/') base += '/';
    }

    // The feed as it stands: its other entry stays.
    std::string doc;
    struct stat st{};
    if (stat(out.c_str(), &st) == 0) {
        auto text = read_file(out, kMaxFeedBytes);
        if (!text || !upd::feed_with_entry(*text, true, upd::FeedEntry{}))
            return fail({kBadFeed, "make: " + out + " is not a feed this tool can update"});
        doc = *text;
    }

    // Every image passes before anything is written.
    for (const char *kind : {"Full", "VPN"}) {
        const char *key = kind[0] == 'F' ? "--full" : "--vpn";
        if (!given(key)) continue;
        const std::string image = value(key);
        ImageFacts facts;
        if (auto f = inspect_image(kind, image, version, facts)) return fail(*f);
        upd::FeedEntry e;
        e.version = version;
        e.url = base + url_segment(base_name(image));
        e.size = facts.size;
        e.sha256 = facts.sha256;
        e.rollout = rollout;
        auto next = upd::feed_with_entry(doc, kind[0] == 'F', e);
        // Read back as the library will, from wherever the feed comes to be served.
        upd::FeedEntry back;
        if (!next || upd::parse_feed(*next, base.empty() ? "https://feed.invalid/feed.plist" : base,
                                     kind[0] == 'F', back) != upd::FeedError::None)
            return fail({kInternal, std::string(kind) + ": the entry would not read back"});
        doc = *next;
        std::printf("%-4s %s  %s  %llu bytes  SHA-256 %s%s\n", kind, version.c_str(), e.url.c_str(),
                    static_cast<unsigned long long>(e.size), e.sha256.c_str(),
                    rollout ? ("  rollout " + std::to_string(*rollout) + "%").c_str() : "");
    }
    if (auto f = write_atomically(out, doc)) return fail(*f);
    std::printf("wrote %s\n", out.c_str());
    return kOk;
}

std::string net_problem(const upd::NetResult &r) {
    switch (r.error) {
    case upd::NetError::Server: return "the server answered with HTTP status " + std::to_string(r.http_status);
    case upd::NetError::Tls: return "the server's certificate is not accepted";
    case upd::NetError::Interrupted: return "the transfer broke off";
    case upd::NetError::Local: return "cannot store the download";
    default: return "cannot reach the server";
    }
}

int check(const std::vector<std::string> &args) {
    if (args.size() != 1) return fail({kUsage, std::string("check: give one feed URL\n") + kUsageText});
    const std::string &url = args[0];
    if (!upd::is_http_url(url)) return fail({kUsage, "check: " + url + " is not an http or https URL"});
    upd::net_global_init();
    const upd::NetOptions opts;  // the library's defaults
    std::string doc;
    progress("fetching " + url);
    upd::NetResult r = upd::fetch_document(url, opts, kMaxFeedBytes, doc);
    if (r.error == upd::NetError::TooLarge) return fail({kBadFeed, url + ": the feed is too large"});
    if (r.error != upd::NetError::None) return fail({kUnreachable, url + ": " + net_problem(r)});
    const std::string feed_url = r.effective_url.empty() ? url : r.effective_url;

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
        progress(std::string(kind) + ": downloading " + e.url);
        const char *tmp = std::getenv("TMPDIR");
        std::string temp = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/.bwv-feed-check-XXXXXX";
        int fd = mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0) return fail({kInternal, "cannot make a temporary file: " + std::string(strerror(errno))});
        unlink(temp.c_str());
        int shown = 0;
        auto on_bytes = [&](uint64_t total) {
            int quarter = static_cast<int>(total >= e.size ? 4 : total * 4 / e.size);
            for (; shown < quarter; ++shown) std::fprintf(stderr, "bwv-feed: %s: %d%%\n", kind, (shown + 1) * 25);
        };
        upd::DownloadOutcome d = upd::download_to_file(e.url, fd, e.size, opts, kMaxResumes, on_bytes);
        close(fd);
        std::string what;
        if (d.net.error == upd::NetError::TooLarge) {
            what = "size mismatch: more than the feed's " + std::to_string(e.size) + " bytes";
        } else if (d.net.error != upd::NetError::None) {
            what = net_problem(d.net);
            note(kUnreachable);
        } else if (d.bytes != e.size) {
            what = "size mismatch: " + std::to_string(d.bytes) + " bytes, the feed says " + std::to_string(e.size);
        } else if (d.sha256 != e.sha256) {
            what = "SHA-256 mismatch: " + d.sha256 + ", the feed says " + e.sha256;
        }
        if (!what.empty()) note(kMismatch);
        std::string rollout = e.rollout ? "  rollout " + std::to_string(*e.rollout) + "%" : "";
        std::printf("%-4s %s  %s  %s%s\n", kind, e.version.c_str(), e.url.c_str(),
                    what.empty() ? "ok" : what.c_str(), rollout.c_str());
    }
    if (entries == 0) return fail({kBadFeed, url + ": the feed has no Full or VPN entry"});
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    // A tool that exits before reading its input must not end this program.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return fail({kUsage, std::string("no command given\n") + kUsageText});
    if (args[0] == "--help" || args[0] == "-h") {
        std::fputs(kUsageText, stdout);
        return kOk;
    }
    try {
        std::vector<std::string> rest(args.begin() + 1, args.end());
        if (args[0] == "make") return make(rest);
        if (args[0] == "check") return check(rest);
    } catch (const std::exception &e) {
        return fail({kInternal, e.what()});
    }
    return fail({kUsage, "unknown command " + args[0] + "\n" + kUsageText});
}
