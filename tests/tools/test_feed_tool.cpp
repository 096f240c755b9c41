// bwv-feed on the demo images, and the update library reading what it publishes, served
// by the update tests' server. Run by run_update_test.py: PORT WWW LIBDIR WORK LOG.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>

#include <bwvutil/paths.h>

#include "tools/tool_support.hpp"
#include "updater/feed.hpp"
#include "upd.h"

using namespace bwv::test;
namespace upd = bwv::upd;

namespace {

std::string g_port, g_www, g_libdir, g_work;
const std::string kVersion = BWV_DEMO_VERSION;

std::string url(const std::string &path) { return "http://127.0.0.1:" + g_port + "/" + path; }
std::string image(const std::string &kind, const std::string &set = "feed") {
    return demo(set + "/BrindleWave" + kind + "-" + kVersion + ".dmg");
}
// hdiutil keeps its mount table here, so a test sees whether every image was detached.
std::string xdg() { return g_work + "/xdg"; }

RunResult feed_tool(std::vector<std::string> args) {
    args.insert(args.begin(), BWV_FEED_TOOL);
    return run(args, {}, {{"XDG_RUNTIME_DIR", xdg()}});
}
// The feed key made by the first test, and a time the feeds it signs expire at.
std::string key() { return g_work + "/feed.pem"; }
const std::string kExpires = "2060-01-01T00:00:00Z";
std::string unsigned_demo_feed() {
    std::string doc = read_file(demo("feed/feed.plist"));
    return doc.substr(0, doc.find("<!-- bwv-signature"));
}

// Publishes the demo images with their feed under www/dir, one image a run: each run keeps
// the entries before it.
void publish(const std::string &dir, const std::vector<std::string> &extra = {}) {
    mkdir((g_www + "/" + dir).c_str(), 0755);
    for (const char *kind : {"Full", "VPN"}) {
        std::string copy = g_www + "/" + dir + "/BrindleWave" + kind + "-" + kVersion + ".dmg";
        write_file(copy, read_file(image(kind)));
        std::vector<std::string> args = {"make", "--version", kVersion, kind[0] == 'F' ? "--full" : "--vpn", copy};
        args.insert(args.end(), {"-o", g_www + "/" + dir + "/feed.plist"});
        args.insert(args.end(), extra.begin(), extra.end());
        RunResult r = feed_tool(args);
        ASSERT_EQ(r.rc, 0) << r.err;
    }
}

void use_feed(const std::string &path, const std::string &pinned = {}) {
    write_file(g_libdir + "/providers.plist",
               "<plist><dict><key>FeedURLs</key><array><string>" + url(path) + "</string></array>" +
                   (pinned.empty() ? "" : "<key>FeedPublicKeys</key><array><string>" + pinned + "</string></array>") +
                   "</dict></plist>");
    ASSERT_EQ(load_providers(), 0);
}

const upd_result &request(int code) {
    static int folders;
    upd_init((g_work + "/downloads-" + std::to_string(++folders)).c_str());
    upd_result *r = upd_check_bwn_update(code);
    for (int polls = 0; r && r->state != UPD_STATE_DONE && polls < 6000; ++polls) {
        usleep(10000);
        r = upd_check_bwn_update(UPD_REQ_POLL);
    }
    return *r;
}

TEST(FeedTool, SignedFeedReadsInTheLibraryAndChecksOk) {
    ASSERT_EQ(feed_tool({"keygen", "-o", key()}).rc, 0);
    EXPECT_EQ(feed_tool({"keygen", "-o", key()}).rc, 10);  // never replaces a key
    EXPECT_EQ(run({"stat", "-c", "%a", key()}).out, "600\n");
    publish("pub", {"--sign", key(), "--expires", kExpires});

    use_feed("pub/feed.plist", read_file(key() + ".pub"));
    const upd_result &r = request(UPD_REQ_DOWNLOAD_LIGHT);
    ASSERT_EQ(r.error_code, 0) << r.error_text;
    EXPECT_EQ(read_file(r.file_path), read_file(image("VPN")));

    RunResult c = feed_tool({"check", url("pub/feed.plist"), "--key", key() + ".pub"});
    EXPECT_EQ(c.rc, 0) << c.out << c.err;
    EXPECT_EQ(lines(c.out), (std::vector<std::string>{
                                "feed serial 2  expires " + kExpires + "  signature ok",
                                "Full " + kVersion + "  " + url("pub/BrindleWaveFull-" + kVersion + ".dmg") + "  ok",
                                "VPN  " + kVersion + "  " + url("pub/BrindleWaveVPN-" + kVersion + ".dmg") + "  ok"}));
    EXPECT_EQ(feed_tool({"check", url("pub/feed.plist"), "--key", demo("feed-key.pem.pub")}).rc, 13);
    EXPECT_EQ(feed_tool({"check", url("pub/feed.plist"), "--key", key()}).rc, 12);  // the private key is none
    // Signed again before it expires: the next serial.
    RunResult again = feed_tool({"make", "--sign", key(), "--expires", kExpires, "-o", g_www + "/pub/feed.plist"});
    EXPECT_EQ(lines(again.out)[0], "signed  serial 3  expires " + kExpires) << again.err;
}

TEST(FeedTool, RefusedImagesWriteNothingAndAreDetached) {
    TempDir d;
    const std::string empty_iso = d / "empty.dmg";
    write_file(d / "ReadMe.txt", "no package here\n");
    ASSERT_EQ(run({"openssl", "genpkey", "-algorithm", "RSA", "-out", d / "rsa.pem"}).rc, 0);
    ASSERT_EQ(run({"xorriso", "-as", "mkisofs", "-quiet", "-o", empty_iso, d / "ReadMe.txt"}).rc, 0);
    const std::string published = unsigned_demo_feed(), full = image("Full");
    std::string broken_vpn = published;
    broken_vpn.replace(broken_vpn.rfind("<key>SHA256</key>"), 30, "<key>SHA256</key><string>zz");
    const std::tuple<const char *, std::vector<std::string>, std::string, int> cases[] = {
        {"missing image", {"--full", d / "none.dmg"}, published, 3},
        {"image without the package", {"--full", empty_iso}, published, 4},
        {"tampered package", {"--full", image("Full", "tampered")}, published, 5},
        {"second image tampered", {"--full", image("Full"), "--vpn", image("VPN", "tampered")}, published, 5},
        {"version mismatch", {"--full", image("Full"), "--version", "9.9.9"}, published, 6},
        {"the other product's image", {"--full", image("Full"), "--vpn", image("Full")}, published, 11},
        {"existing feed unreadable", {"--full", image("Full")}, "not a feed", 7},
        {"rollout out of range", {"--full", image("Full"), "--rollout", "101"}, published, 2},
        {"the other entry is invalid", {"--full", image("Full")}, broken_vpn, 7},
        {"a signed feed made unsigned", {"--full", image("Full")}, read_file(demo("feed/feed.plist")), 2},
        {"expiry already past", {"--full", full, "--sign", key(), "--expires", "2001-01-01T00:00:00Z"}, published, 2},
        {"no signing key", {"--full", full, "--sign", d / "none.pem", "--expires", kExpires}, published, 12},
        {"an RSA signing key", {"--full", full, "--sign", d / "rsa.pem", "--expires", kExpires}, published, 12},
    };
    mkdir(xdg().c_str(), 0700);
    for (const auto &[what, extra, existing, rc] : cases) {
        SCOPED_TRACE(what);
        TempDir out;
        write_file(out / "feed.plist", existing);
        std::vector<std::string> args = {"make", "-o", out / "feed.plist"};
        args.insert(args.end(), extra.begin(), extra.end());
        if (std::find(args.begin(), args.end(), "--version") == args.end())
            args.insert(args.end(), {"--version", kVersion});
        RunResult r = feed_tool(args);
        EXPECT_EQ(r.rc, rc) << r.err;
        EXPECT_EQ(existing == broken_vpn,
                  r.err.find("VPN entry of " + out / "feed.plist" + " is invalid: SHA256") != std::string::npos &&
                      r.err.ends_with("; give its image to replace it\n"));
        EXPECT_EQ(list_dir(out.path()), std::vector<std::string>{"feed.plist"});
        EXPECT_EQ(read_file(out / "feed.plist"), existing);
        EXPECT_EQ(walk(xdg()), std::vector<std::string>{"bwv-hdiutil/"});
    }
}

// Which machines a rollout reaches is tested with the feed code; here, which requests it holds back.
TEST(FeedTool, RolloutHoldsBackOnlyWhatIsNotAsked) {
    publish("roll", {"--rollout", "0"});
    // Published again without --rollout, the entry keeps its rollout.
    RunResult again =
        feed_tool({"make", "--version", kVersion, "--vpn", g_www + "/roll/BrindleWaveVPN-" + kVersion + ".dmg", "-o",
                   g_www + "/roll/feed.plist"});
    EXPECT_NE(again.out.find("rollout 0% (kept)"), std::string::npos) << again.out << again.err;
    use_feed("roll/feed.plist");
    const std::tuple<const char *, int, int, int> cases[] = {
        {"rollout 0 offers nothing", UPD_REQ_CHECK, 0, 0},
        {"a person's download ignores it", UPD_REQ_DOWNLOAD_LIGHT, 0, 1},
        {"an upgrade download is held back too", UPD_REQ_DOWNLOAD, UPD_E_NO_ENTRY, 0},
    };
    for (const auto &[what, code, error, offered] : cases) {
        SCOPED_TRACE(what);
        const upd_result &r = request(code);
        EXPECT_EQ(r.error_code, error) << r.error_text;
        EXPECT_EQ(code == UPD_REQ_CHECK ? r.has_new_version : r.file_path[0] != 0, offered);
    }
}

TEST(FeedTool, CheckReportsEachMismatch) {
    publish("chk");
    const std::string dir = g_www + "/chk/", full = "BrindleWaveFull-" + kVersion + ".dmg",
                      vpn = "BrindleWaveVPN-" + kVersion + ".dmg";
    auto sha = [&] { return run({"sha256sum", dir + full}).out.substr(0, 64); };
    const std::string published = sha();
    flip_byte(dir + full, 1000);
    const size_t size = read_file(dir + vpn).size();
    write_file(dir + vpn, read_file(dir + vpn).substr(1));

    RunResult r = feed_tool({"check", url("chk/feed.plist")});
    EXPECT_EQ(r.rc, 9) << r.err;
    EXPECT_EQ(lines(r.out), (std::vector<std::string>{
                                "Full " + kVersion + "  " + url("chk/" + full) + "  SHA-256 mismatch: " + sha() +
                                    ", the feed says " + published,
                                "VPN  " + kVersion + "  " + url("chk/" + vpn) + "  size mismatch: " +
                                    std::to_string(size - 1) + " bytes, the feed says " + std::to_string(size)}));

    write_file(g_www + "/chk/junk.plist", "not a feed");
    EXPECT_EQ(feed_tool({"check", url("chk/junk.plist")}).rc, 7);
    EXPECT_EQ(feed_tool({"check", url("chk/missing.plist")}).rc, 8);
    // A full local disk is no unreachable server.
    RunResult disk =
        run({"sh", "-c", "ulimit -f 64 && exec \"$0\" check \"$1\"", BWV_FEED_TOOL, url("pub/feed.plist")});
    EXPECT_EQ(disk.rc, 1);
    EXPECT_NE(disk.err.find("is the disk full?"), std::string::npos) << disk.err;
}

TEST(FeedTool, HelpAndVersionAnswerOnStandardOutput) {
    for (const auto &args :
         std::vector<std::vector<std::string>>{{"--help"}, {"make", "--help"}, {"check", "--help"}, {"--version"}}) {
        RunResult r = feed_tool(args);
        EXPECT_EQ(r.rc, 0) << args.back();
        EXPECT_EQ(r.out.rfind(args[0] == "--version" ? "bwv-feed 1." : "usage: bwv-feed make", 0), 0u) << r.out;
    }
}

// Standard output gets a new feed (and the summary goes to standard error); nothing is read
// from it, so a pipe there cannot hang the run.
TEST(FeedTool, StandardOutputGetsANewFeed) {
    for (const char *out : {"-", "/dev/stdout"}) {  // the base URL given without and with its last slash
        RunResult r = feed_tool({"make", "--version", kVersion, "--full", image("Full"), "-o", out, "--base-url",
                                 out[1] ? "https://m.test/dl/" : "https://m.test/dl"});
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(r.out.rfind("<?xml", 0), 0u);
        EXPECT_NE(r.out.find(">https://m.test/dl/BrindleWaveFull-" + kVersion + ".dmg<"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find("wrote the feed to standard output"), std::string::npos);
    }
}

// Two runs on one feed at once: the second waits for the first, reads its entry and keeps it.
TEST(FeedTool, ConcurrentRunsBothLand) {
    TempDir d;
    RunResult r = run({"sh", "-c",
                       "\"$0\" make --version $1 --full \"$2\" -o \"$4\" & "
                       "\"$0\" make --version $1 --vpn \"$3\" -o \"$4\"; s=$?; wait $! && exit $s",
                       BWV_FEED_TOOL, kVersion, image("Full"), image("VPN"), d / "feed.plist"},
                      {}, {{"XDG_RUNTIME_DIR", xdg()}});
    EXPECT_EQ(r.rc, 0) << r.err;
    upd::FeedEntry e;
    for (bool full : {true, false})
        EXPECT_EQ(upd::parse_feed(read_file(d / "feed.plist"), url("feed.plist"), full, e), upd::FeedError::None);
    EXPECT_EQ(list_dir(d.path()), std::vector<std::string>{"feed.plist"});
}

// Interrupted while an image is attached: detached, mount point and lock gone, nothing written.
TEST(FeedTool, InterruptLeavesNothingBehind) {
    TempDir d;
    mkdir((d / "tmp").c_str(), 0700);
    // An attach slow enough for the signal to arrive while it runs, however fast the machine.
    d.script("bin/7zz",
             "[ \"$1\" = x ] && sleep 0.5\nexec " + lines(run({"sh", "-c", "command -v 7zz"}).out).at(0) + " \"$@\"\n");
    RunResult r =
        run({"sh", "-c",
             "\"$0\" make --version $1 --full \"$2\" -o \"$3\" 2>\"$3.err\" & "
             "until grep -q attaching \"$3.err\"; do sleep 0.01; done; kill -INT $!; wait $!",
             BWV_FEED_TOOL, kVersion, image("Full"), d / "feed.plist"},
            {}, {{"XDG_RUNTIME_DIR", xdg()}, {"TMPDIR", d / "tmp"}, {"PATH", d / "bin:" + std::getenv("PATH")}});
    EXPECT_EQ(r.rc, 130) << read_file(d / "feed.plist.err");
    EXPECT_EQ(list_dir(d.path()), (std::vector<std::string>{"bin", "feed.plist.err", "tmp"}));
    EXPECT_EQ(list_dir(d / "tmp"), std::vector<std::string>{});
    EXPECT_EQ(walk(xdg()), std::vector<std::string>{"bwv-hdiutil/"});
}

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc < 5) return 2;  // PORT WWW LIBDIR WORK, from run_update_test.py
    g_port = argv[1], g_www = argv[2], g_libdir = argv[3], g_work = argv[4];
    mkdir((g_work + "/xdg").c_str(), 0700);
    mkdir((g_work + "/root").c_str(), 0755);                   // a client root without a machine identity
    setenv("XDG_STATE_HOME", (g_work + "/state").c_str(), 1);  // the accepted feed serial
    bwv_set_root((g_work + "/root").c_str());
    return RUN_ALL_TESTS();
}
