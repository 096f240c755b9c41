// The rebrand texts and the custom configuration. The rebrand texts are read once per
// process, so each rebrand case runs in a fresh one.
#include <gtest/gtest.h>

#include <bwvutil/custom.h>
#include <bwvutil/paths.h>

#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "lib/core/paths.hpp"
#include "support/bplist_bomb.hpp"
#include "support/bwvtest.hpp"

namespace {

using bwv::test::in_fresh_process;
using Root = bwv::test::BasicFakeRoot<bwv_set_root>;
using Body = std::optional<std::string>;  // none: no file

// An XML property list whose root dictionary holds the given <key>/value markup.
std::string dict(const std::string &entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + entries +
           "</dict>\n</plist>\n";
}

// Damaged and foreign files, the first a binary root dictionary naming the product "Evil"
// beside 2^20 copies of a boolean: a few hundred bytes that no reader may expand.
const std::vector<std::string> kForeign = {
    bwv::test::doubling_bomb(20, {"\x09", {}}, "Bomb", {23}, {24},
                             {bwv::test::bplist_string("ProductName"), bwv::test::bplist_string("Evil")}),
    "not a property list at all",
    "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>ProductName</key>",
    "<?xml version=\"1.0\"?><plist "
    "version=\"1.0\"><array><string>ProductName</string><string>1</string></array></plist>",
    "",
};

std::string name_is(const std::string &name) { return dict("<key>ProductName</key><string>" + name + "</string>"); }

// Each row runs in a fresh process: lookups without a key, the file `before` written, the
// first lookups, the file replaced by `after` (or removed), the same lookups again.
TEST(Rebrand, FirstLookupWithAKeyReadsTheFileForTheWholeProcessAndAnythingButTextGivesTheDefault) {
    const std::string both = "|BrindleWave|d|BrindleWave|d";
    std::vector<std::tuple<Body, Body, std::string>> rows = {
        {std::nullopt, name_is("Late"), both},
        {dict("<key>ProductName</key><string>Acme</string><key>Title</key><string>Install</string>"), name_is("Z"),
         "|Acme|Install|Acme|Install"},
        {dict("<key>ProductName</key><string></string><key>Title</key><string></string>"), {}, both},
        {dict("<key>ProductName</key><string>Hej \xc3\xa5</string><key>Title</key><integer>5</integer>"),
         {},
         "|Hej \xc3\xa5|d|Hej \xc3\xa5|d"},
    };
    for (const std::string &foreign : kForeign) rows.push_back({foreign, {}, both});
    Root root;
    std::string file = root.write(std::string(bwv::paths::kRebrandFile).substr(1), "");
    auto put = [&](const Body &body) { body ? bwv::test::write_file(file, *body) : void(std::remove(file.c_str())); };
    for (const auto &[before, after, expected] : rows) {
        EXPECT_EQ(in_fresh_process([&, &before = before, &after = after] {
                      static const char def[] = "d";
                      bool keyless = getbwvtxt(nullptr, def) == def && getbwvtxt("", def) == def &&
                                     !getbwvtxt_ex(file.c_str(), nullptr, nullptr);
                      put(before);
                      std::string out =
                          std::string(keyless ? "" : "filled") + "|" + get_bwvpname() + "|" + getbwvtxt("Title", "d");
                      put(after);
                      // Later lookups ignore their path too.
                      return out + "|" + get_bwvpname() + "|" + getbwvtxt_ex("/nonexistent", "Title", "d");
                  }),
                  expected)
            << before.value_or("no file");
    }
    // An explicit path fills the cache as well.
    put(name_is("Never"));
    std::string other = root.write("other.plist", dict("<key>Title</key><string>Other</string>"));
    EXPECT_EQ(
        in_fresh_process([&] { return std::string(getbwvtxt_ex(other.c_str(), "Title", "d")).append(get_bwvpname()); }),
        "OtherBrindleWave");
}

TEST(Rebrand, ConcurrentFirstLookupsFillTheCacheOnce) {
    Root root;
    root.write(std::string(bwv::paths::kRebrandFile).substr(1), name_is("Acme"));
    EXPECT_EQ(in_fresh_process([] {
                  std::string names[8];
                  std::vector<std::thread> threads;
                  for (auto &name : names) threads.emplace_back([&name] { name = get_bwvpname(); });
                  for (auto &t : threads) t.join();
                  return names[0] + names[3] + names[7];
              }),
              "AcmeAcmeAcme");
}

TEST(CustomConfig, SwitchesAreReadAfreshOnEveryCallAndOnlyNonNegativeNumbersCount) {
    std::vector<std::pair<Body, std::string>> rows = {{std::nullopt, "null"}};
    for (const std::string &line : bwv::test::lines(bwv::test::read_file(BWV_TEST_DATA_DIR "/custom_switches.txt")))
        if (line[0] != '#') rows.push_back({dict(line.substr(0, line.find('\t'))), line.substr(line.find('\t') + 1)});
    ASSERT_EQ(rows.size(), 10u);
    for (const std::string &foreign : kForeign) rows.push_back({foreign, "null"});
    Root root;  // one file, rewritten for every row
    for (const auto &[body, expected] : rows) {
        if (body) root.write(std::string(bwv::paths::kCustomFile).substr(1), *body);
        cusconf *c = cusconf_load();
        EXPECT_EQ(c ? std::to_string(c->swupgrade) + " " + std::to_string(c->vpn_only) + " " +
                          std::to_string(c->sso_only) + " " + std::to_string(c->rebranded)
                    : "null",
                  expected)
            << body.value_or("no file");
        EXPECT_EQ(cusconf_swupgrade_enabled(), c ? c->swupgrade : 0);
        EXPECT_EQ(cusconf_is_rebranded(), c ? c->rebranded : 0);
        EXPECT_EQ(cusconf_destroy(c), c ? 0 : -1);
    }
}

}  // namespace
