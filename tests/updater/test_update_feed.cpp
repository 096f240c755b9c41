#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sstream>
#include <string>
#include <tuple>

#include "support/bplist_bomb.hpp"
#include "support/bwvtest.hpp"
#include "updater/feed.hpp"
#include "updater/net.hpp"
#include "updater/trust.hpp"

namespace upd = bwv::upd;
using upd::FeedError;

namespace {

std::vector<std::string> v(std::string_view s) { return *upd::parse_version(s); }

const std::string kDigest = "ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12";

// A binary feed and providers list, both valid, that also carry 2^levels copies of `leaf`.
std::string feed_with_bomb(int levels, const bwv::test::BplistObject &leaf) {
    using namespace bwv::test;
    const uint64_t b = static_cast<uint64_t>(levels) + 3;
    return doubling_bomb(
        levels, leaf, "Bomb", {b, b + 2}, {b + 1, b + 11},
        {bplist_string("VPN"), bplist_dict({b + 3, b + 4, b + 5, b + 6}, {b + 7, b + 8, b + 9, b + 10}),
         bplist_string("FeedURLs"), bplist_string("Version"), bplist_string("URL"), bplist_string("Size"),
         bplist_string("SHA256"), bplist_string("7.4.1"), bplist_string("a.dmg"), bplist_string("1000"),
         bplist_string(kDigest), bplist_array({b + 12}), bplist_string("https://h/feed.plist")});
}

}  // namespace

TEST(UpdateVersions, PiecesCompareAsNumbersAndOnlyDottedNumbersAreVersions) {
    const std::tuple<const char *, const char *, int> order[] = {
        {"7.10", "7.9.9", 1}, {"7.4.1", "7.4.2", -1}, {"1.2", "1.2.0.0", 0},
        {"007.04", "7.4", 0}, {"8", "7.999", 1},      {"1.99999999999999999999999", "1.18446744073709551615", 1}};
    for (auto &[a, b, sign] : order)
        EXPECT_EQ(std::clamp(upd::compare_versions(v(a), v(b)), -1, 1), sign) << a << " " << b;
    for (const char *bad : {"", "7..1", ".7", "7.", "7.a", "7.4 ", "-1.2", "v7"})
        EXPECT_FALSE(upd::parse_version(bad)) << bad;
    // The installed client's text is read up to its first non-number.
    for (const char *text : {"7.4\nbuild=3\n", " 7.4 (beta)", "7.4.\n"})
        EXPECT_EQ(*upd::parse_leading_version(text), v("7.4"));
    EXPECT_FALSE(upd::parse_leading_version("\n7.4") || upd::parse_leading_version("unknown"));
}

// Each document as fetched from https://cdn.example/a/b/feed.plist?x=1 (data/feeds.txt): the entry for the client
// kind, or why not. Binary documents are expansion bombs, which the providers reader must refuse as well.
TEST(UpdateFeed, DocumentsGiveTheirEntryOrAreRefused) {
    struct Row {
        std::string doc;
        bool full;
        FeedError rc;
        std::string version = {}, url = {};
        uint64_t size = 0;
        std::optional<unsigned> rollout = {};
    };
    std::vector<Row> rows = {
        {feed_with_bomb(20, {"\x09", {}}), false, FeedError::Invalid},
        {feed_with_bomb(11, bwv::test::bplist_string("shared")), false, FeedError::None, "7.4.1",
         "https://cdn.example/a/b/a.dmg", 1000},
    };
    std::istringstream feeds(bwv::test::read_file(BWV_UPD_TEST_DATA "/feeds.txt"));
    for (std::string line, kind, rc, size, rollout; std::getline(feeds, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream f(line);
        Row &r = rows.emplace_back(Row{{}, false, FeedError::Invalid});
        f >> kind >> rc >> r.version >> r.url >> size >> rollout >> std::ws;
        std::getline(f, r.doc);
        r.full = kind == "full", r.size = size == "-" ? 0 : std::stoull(size);
        r.rc = rc == "none" ? FeedError::None : rc == "noentry" ? FeedError::NoEntry : FeedError::Invalid;
        if (rollout != "-") r.rollout = std::stoul(rollout);
    }
    ASSERT_GT(rows.size(), 2u);  // the file was read
    bwv::test::TempDir tmp;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.doc.substr(0, 300));
        upd::FeedEntry e;
        ASSERT_EQ(upd::parse_feed(row.doc, "https://cdn.example/a/b/feed.plist?x=1", row.full, e), row.rc);
        if (row.rc == FeedError::None) {
            EXPECT_EQ(e.version, row.version);
            EXPECT_EQ(e.url, row.url);
            EXPECT_EQ(e.size, row.size);
            EXPECT_EQ(e.sha256, kDigest);
            EXPECT_EQ(e.rollout, row.rollout);
        }
        if (row.doc.rfind("bplist", 0) != 0) continue;
        upd::Providers p;
        EXPECT_EQ(upd::read_providers(tmp.write("p.plist", row.doc), p),
                  row.rc == FeedError::None ? upd::ProvidersError::None : upd::ProvidersError::Unreadable);
    }
}

// Automatic checks reach a machine only when its bucket is below the rollout; a machine
// without a usable identity waits for 100. Buckets are pinned: a machine keeps its place in every
// run and every build.
TEST(UpdateFeed, RolloutReachesOnlyMachinesBelowIt) {
    const std::string id = "0123456789abcdef0123456789abcdef";
    EXPECT_EQ(upd::rollout_bucket(id, "5.3.1"), 39u);
    bwv::test::TempDir known, anonymous;
    known.write("etc/machine-id", id + "\nsecond line\n");
    anonymous.write("etc/machine-id", std::string(257, 'f'));  // too long to be an identity
    upd::FeedEntry e;
    e.version = "5.3.0";  // bucket 1 for id
    const std::tuple<std::optional<unsigned>, bool, bool> rows[] = {{std::nullopt, true, true}, {0, false, false},
                                                                    {1, false, false},          {2, true, false},
                                                                    {99, true, false},          {100, true, true}};
    for (auto &[rollout, known_offered, anonymous_offered] : rows) {
        e.rollout = rollout;
        EXPECT_EQ(upd::offered_here(e, known.path()), known_offered) << rollout.value_or(-1);
        EXPECT_EQ(upd::offered_here(e, anonymous.path()), anonymous_offered) << rollout.value_or(-1);
    }
}

TEST(UpdateFeed, ImageNameCannotEscapeTheDownloadFolder) {
    EXPECT_EQ(upd::image_file_name("http://h/a/Client%20Setup.dmg?x=1#y"), "Client Setup.dmg");
    EXPECT_EQ(upd::image_file_name("http://h/a/..%2F..%2Fevil.dmg"), "evil.dmg");
    for (const char *url :
         {"http://h/", "http://h/a/.hidden", "http://h/a/x%0Ay.dmg", "http://h/a/x%5Cy.dmg", "not a url"})
        EXPECT_EQ(upd::image_file_name(url), "update.dmg") << url;
}

TEST(UpdateInstalledVersion, ConfFolderFirstSupportFolderOnlyWhenUnreadable) {
    bwv::test::TempDir root;
    const std::string support = "Library/Application Support/Tarvenel/BrindleWave";
    EXPECT_FALSE(upd::installed_version(root.path()));
    root.write(support + "/bwvinfo", "version=6.0.0\n");
    EXPECT_EQ(*upd::installed_version(root.path()), "6.0.0\n");
    root.write(support + "/conf/bwvinfo", "name=x\nversion=7.4.1\nbuild=9\n");
    EXPECT_EQ(*upd::installed_version(root.path()), "7.4.1\nbuild=9\n");
    // A readable conf file without the key does not fall back.
    root.write(support + "/conf/bwvinfo", "name=x\n");
    EXPECT_FALSE(upd::installed_version(root.path()));
    // Text that is not UTF-8, a file over 1 MiB and a FIFO cannot be read: the support folder's counts.
    for (const std::string &bad : std::vector<std::string>{"version=7.\xC0\xAF", "version=7.\xED\xA0\x80",
                                                           "version=7.\xE2\x82", std::string((1 << 20) + 1, 'v')}) {
        root.write(support + "/conf/bwvinfo", bad);
        EXPECT_EQ(*upd::installed_version(root.path()), "6.0.0\n") << bad.size();
    }
    root.write(support + "/conf/bwvinfo", "version=\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(*upd::installed_version(root.path()), "\xE2\x82\xAC\xF0\x9F\x98\x80");
    std::string conf = root.path() + "/" + support + "/conf/bwvinfo";
    ASSERT_TRUE(unlink(conf.c_str()) == 0 && mkfifo(conf.c_str(), 0644) == 0);
    EXPECT_EQ(*upd::installed_version(root.path()), "6.0.0\n");
}

// A pinned key is Ed25519 in at most 64 KiB of text, whatever comes before it.
TEST(UpdateTrust, KeysAreEd25519InAtMost64KiB) {
    auto pair = upd::generate_key();
    ASSERT_TRUE(pair && upd::is_public_key(pair->public_pem));
    for (size_t size : {65536, 65537})
        EXPECT_EQ(upd::is_public_key(std::string(size - pair->public_pem.size() - 1, 'x') + "\n" + pair->public_pem),
                  size == 65536);
    EXPECT_FALSE(
        upd::is_public_key(bwv::test::run({"sh", "-c", "openssl genpkey -algorithm RSA | openssl pkey -pubout"}).out));
    // A signed feed is good until the second it expires.
    const std::string doc =
        *upd::sign_feed(*upd::feed_with_validity("<plist><dict/></plist>", {3, 2000000000}), pair->private_pem);
    std::string_view body;
    uint64_t serial = 0;
    for (int64_t now : {1999999999, 2000000000})
        EXPECT_EQ(upd::verify_feed(doc, {pair->public_pem}, now, body, serial) == upd::TrustError::None,
                  now < 2000000000)
            << now;
    // The stored serial: digits, and a newline only at the end.
    bwv::test::TempDir dir;
    for (auto [text, serial] : {std::pair{"6", 6}, {"6\n", 6}, {"6\n7", -1}, {"6 ", -1}})
        EXPECT_EQ(upd::highest_serial((dir.write("feed-serial", text, 0600), dir.path())).value_or(-1), serial) << text;
}

TEST(UpdateProviders, OnlyWebUrlsAreKept) {
    bwv::test::TempDir dir;
    upd::Providers p;
    const auto file = dir.write("p.plist",
                                "<plist><dict><key>FeedURLs</key><array><string>ftp://h/f</string>"
                                "<string>https://h/feed.plist</string><integer>3</integer>"
                                "<string>http://m/feed.plist</string></array>"
                                "<key>StallTimeout</key><integer>2</integer></dict></plist>");
    ASSERT_EQ(upd::read_providers(file, p), upd::ProvidersError::None);
    EXPECT_EQ(p.feed_urls, (std::vector<std::string>{"https://h/feed.plist", "http://m/feed.plist"}));
    EXPECT_EQ(p.stall_timeout_s, 2);
    EXPECT_EQ(p.connect_timeout_s, 15);
}

// An image is fetched only when its folder keeps room to spare after it.
TEST(UpdateDownload, AnImageMustFitItsFolder) {
    bwv::test::TempDir dir;
    int fd = open(dir.write("f", "").c_str(), O_RDONLY);
    EXPECT_TRUE(upd::fits_in_folder(fd, 1 << 20));
    EXPECT_FALSE(upd::fits_in_folder(fd, uint64_t{1} << 62));
    close(fd);
}

// The accepted feed serial's folder: XDG_STATE_HOME when it is absolute, else under HOME.
TEST(UpdateState, TheFolderComesFromAnAbsoluteXdgStateHomeOrHome) {
    const std::string home = getenv("HOME") ? getenv("HOME") : "";
    for (auto [xdg, want] :
         {std::pair{"/x", "/x/bwvupdate"}, {"x", "/h/.local/state/bwvupdate"}, {"", "/h/.local/state/bwvupdate"}})
        EXPECT_EQ((setenv("HOME", "/h", 1), setenv("XDG_STATE_HOME", xdg, 1), upd::state_folder()), want) << xdg;
    unsetenv("XDG_STATE_HOME"), setenv("HOME", home.c_str(), 1);
}
