#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/bplist_bomb.hpp"
#include "updater/feed.hpp"

namespace upd = bwv::upd;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> v(std::string_view s) { return *upd::parse_version(s); }

class TempDir {
public:
    TempDir() {
        std::string t = (fs::temp_directory_path() / "upd-feed-XXXXXX").string();
        path = mkdtemp(t.data());
    }
    ~TempDir() { fs::remove_all(path); }
    void write(const std::string &rel, const std::string &text) const {
        fs::path p = fs::path(path) / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    std::string path;
};

const std::string kDigest = "ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12ab12";

std::string feed(const std::string &vpn_body, const std::string &full_body = "") {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
    if (!vpn_body.empty()) s += "<key>VPN</key><dict>" + vpn_body + "</dict>";
    if (!full_body.empty()) s += "<key>Full</key><dict>" + full_body + "</dict>";
    return s + "</dict></plist>";
}

std::string entry(const std::string &version, const std::string &url,
                  const std::string &size = "<integer>1000</integer>",
                  const std::string &sha = kDigest) {
    return "<key>Version</key><string>" + version + "</string><key>URL</key><string>" + url +
           "</string><key>Size</key>" + size + "<key>SHA256</key><string>" + sha + "</string>";
}

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

TEST(UpdateVersions, PiecesCompareAsNumbers) {
    EXPECT_GT(upd::compare_versions(v("7.10"), v("7.9.9")), 0);
    EXPECT_LT(upd::compare_versions(v("7.4.1"), v("7.4.2")), 0);
    EXPECT_EQ(upd::compare_versions(v("1.2"), v("1.2.0.0")), 0);
    EXPECT_EQ(upd::compare_versions(v("007.04"), v("7.4")), 0);
    EXPECT_GT(upd::compare_versions(v("1.99999999999999999999999"), v("1.18446744073709551615")), 0);
    EXPECT_GT(upd::compare_versions(v("8"), v("7.999")), 0);
}

TEST(UpdateVersions, OnlyDottedNumbersAreVersions) {
    for (const char *bad : {"", "7..1", ".7", "7.", "7.a", "7.4 ", "-1.2", "v7"})
        EXPECT_FALSE(upd::parse_version(bad)) << bad;
    EXPECT_EQ(upd::parse_version("12.0.3")->size(), 3u);
}

TEST(UpdateVersions, InstalledTextIsReadUpToTheFirstNonNumber) {
    EXPECT_EQ(*upd::parse_leading_version("7.4.1\nbuild=3\n"), v("7.4.1"));
    EXPECT_EQ(*upd::parse_leading_version(" 7.4 (beta)"), v("7.4"));
    EXPECT_EQ(*upd::parse_leading_version("7.4.\n"), v("7.4"));
    EXPECT_FALSE(upd::parse_leading_version("\n7.4"));
    EXPECT_FALSE(upd::parse_leading_version("unknown"));
}

TEST(UpdateFeed, EntryIsChosenByClientKind) {
    std::string doc = feed(entry("7.4.1", "vpn.dmg"), entry("8.0.0", "full.dmg"));
    upd::FeedEntry e;
    ASSERT_EQ(upd::parse_feed(doc, "http://h/f/feed.plist", false, e), upd::FeedError::None);
    EXPECT_EQ(e.version, "7.4.1");
    EXPECT_EQ(e.url, "http://h/f/vpn.dmg");
    EXPECT_EQ(e.size, 1000u);
    ASSERT_EQ(upd::parse_feed(doc, "http://h/f/feed.plist", true, e), upd::FeedError::None);
    EXPECT_EQ(e.version, "8.0.0");
    EXPECT_EQ(e.url, "http://h/f/full.dmg");

    std::string vpn_only = feed(entry("7.4.1", "vpn.dmg"));
    EXPECT_EQ(upd::parse_feed(vpn_only, "http://h/feed.plist", true, e), upd::FeedError::NoEntry);
}

TEST(UpdateFeed, ImageUrlsResolveAgainstTheFeed) {
    upd::FeedEntry e;
    auto url_of = [&](const std::string &ref) {
        auto rc = upd::parse_feed(feed(entry("1.0", ref)), "https://cdn.example/a/b/feed.plist?x=1",
                                  false, e);
        return rc == upd::FeedError::None ? e.url : std::string("invalid");
    };
    EXPECT_EQ(url_of("img.dmg"), "https://cdn.example/a/b/img.dmg");
    EXPECT_EQ(url_of("../up.dmg"), "https://cdn.example/a/up.dmg");
    EXPECT_EQ(url_of("/root.dmg"), "https://cdn.example/root.dmg");
    EXPECT_EQ(url_of("http://other.example/x.dmg"), "http://other.example/x.dmg");
    EXPECT_EQ(url_of("file:///etc/passwd"), "invalid");
    EXPECT_EQ(url_of("ftp://other.example/x.dmg"), "invalid");
}

TEST(UpdateFeed, IncompleteOrMalformedEntriesAreRefused) {
    upd::FeedEntry e;
    const std::string base = "http://h/feed.plist";
    auto rc = [&](const std::string &doc) { return upd::parse_feed(doc, base, false, e); };
    EXPECT_EQ(rc("not a plist"), upd::FeedError::Invalid);
    EXPECT_EQ(rc("<plist><array/></plist>"), upd::FeedError::Invalid);
    EXPECT_EQ(rc(feed(entry("7.x", "a.dmg"))), upd::FeedError::Invalid);
    EXPECT_EQ(rc(feed(entry("7.4", "a.dmg", "<integer>0</integer>"))), upd::FeedError::Invalid);
    EXPECT_EQ(rc(feed(entry("7.4", "a.dmg", "<string>12x</string>"))), upd::FeedError::Invalid);
    EXPECT_EQ(rc(feed(entry("7.4", "a.dmg", "<integer>1</integer>", "abc"))),
              upd::FeedError::Invalid);
    EXPECT_EQ(rc(feed(entry("7.4", "a.dmg", "<integer>1</integer>", std::string(64, 'g')))),
              upd::FeedError::Invalid);
    EXPECT_EQ(rc(feed("<key>Version</key><string>7.4</string>")), upd::FeedError::Invalid);
    EXPECT_EQ(rc(feed(entry(std::string(96, '1'), "a.dmg"))), upd::FeedError::Invalid);
}

TEST(UpdateFeed, ExpansionBombsAreRefusedByFeedAndProvidersReaders) {
    using bwv::test::bplist_string;
    const struct {
        const char *shape;
        std::string doc;
        bool accepted;
    } cases[] = {
        {"2^20 copies of a boolean", feed_with_bomb(20, {"\x09", {}}), false},
        {"2^64 copies of a boolean", feed_with_bomb(64, {"\x09", {}}), false},
        {"2^15 copies of a 4 KB string", feed_with_bomb(15, bplist_string(std::string(4096, 'x'))), false},
        {"2^11 copies of a short string", feed_with_bomb(11, bplist_string("shared")), true},
    };
    TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.shape);
        upd::FeedEntry e;
        EXPECT_EQ(upd::parse_feed(c.doc, "http://h/feed.plist", false, e),
                  c.accepted ? upd::FeedError::None : upd::FeedError::Invalid);
        dir.write("p.plist", c.doc);
        upd::Providers p;
        EXPECT_EQ(upd::read_providers(dir.path + "/p.plist", p),
                  c.accepted ? upd::ProvidersError::None : upd::ProvidersError::Unreadable);
    }
}

TEST(UpdateFeed, SizeAsTextAndUpperCaseDigestAreAccepted) {
    upd::FeedEntry e;
    std::string upper = kDigest;
    for (char &c : upper) c = static_cast<char>(toupper(c));
    ASSERT_EQ(upd::parse_feed(feed(entry("7.4", "a.dmg", "<string>4096</string>", upper)),
                              "http://h/feed.plist", false, e),
              upd::FeedError::None);
    EXPECT_EQ(e.size, 4096u);
    EXPECT_EQ(e.sha256, kDigest);

    ASSERT_EQ(upd::parse_feed(feed(entry("7.4", "a.dmg", "<real>2048</real>")),
                              "http://h/feed.plist", false, e),
              upd::FeedError::None);
    EXPECT_EQ(e.size, 2048u);
    EXPECT_EQ(upd::parse_feed(feed(entry("7.4", "a.dmg", "<real>20.5</real>")),
                              "http://h/feed.plist", false, e),
              upd::FeedError::Invalid);
}

TEST(UpdateFeed, ImageNameCannotEscapeTheDownloadFolder) {
    EXPECT_EQ(upd::image_file_name("http://h/a/Client%20Setup.dmg?x=1#y"), "Client Setup.dmg");
    EXPECT_EQ(upd::image_file_name("http://h/a/..%2F..%2Fevil.dmg"), "evil.dmg");
    EXPECT_EQ(upd::image_file_name("http://h/"), "update.dmg");
    EXPECT_EQ(upd::image_file_name("http://h/a/.hidden"), "update.dmg");
    EXPECT_EQ(upd::image_file_name("http://h/a/x%0Ay.dmg"), "update.dmg");
    EXPECT_EQ(upd::image_file_name("not a url"), "update.dmg");
}

TEST(UpdateInstalledVersion, ConfFolderFirstSupportFolderOnlyWhenUnreadable) {
    TempDir root;
    const std::string support = "Library/Application Support/Tarvenel/BrindleWave";
    EXPECT_FALSE(upd::installed_version(root.path));

    root.write(support + "/bwvinfo", "version=6.0.0\n");
    EXPECT_EQ(*upd::installed_version(root.path), "6.0.0\n");

    root.write(support + "/conf/bwvinfo", "name=x\nversion=7.4.1\nbuild=9\n");
    EXPECT_EQ(*upd::installed_version(root.path), "7.4.1\nbuild=9\n");

    // A readable conf file without the key does not fall back.
    root.write(support + "/conf/bwvinfo", "name=x\n");
    EXPECT_FALSE(upd::installed_version(root.path));
}

TEST(UpdateProviders, OnlyWebUrlsAreKept) {
    TempDir dir;
    upd::Providers p;
    EXPECT_EQ(upd::read_providers(dir.path + "/missing.plist", p), upd::ProvidersError::Unreadable);

    dir.write("p.plist",
              "<plist><dict><key>FeedURLs</key><array><string>ftp://h/f</string>"
              "<string>https://h/feed.plist</string><integer>3</integer>"
              "<string>http://m/feed.plist</string></array>"
              "<key>StallTimeout</key><integer>2</integer></dict></plist>");
    ASSERT_EQ(upd::read_providers(dir.path + "/p.plist", p), upd::ProvidersError::None);
    EXPECT_EQ(p.feed_urls, (std::vector<std::string>{"https://h/feed.plist", "http://m/feed.plist"}));
    EXPECT_EQ(p.stall_timeout_s, 2);
    EXPECT_EQ(p.connect_timeout_s, 15);

    dir.write("none.plist",
              "<plist><dict><key>FeedURLs</key><array><string>file:///x</string></array></dict></plist>");
    EXPECT_EQ(upd::read_providers(dir.path + "/none.plist", p), upd::ProvidersError::NoUrls);
    EXPECT_EQ(p.feed_urls.size(), 2u);  // untouched on failure
}
