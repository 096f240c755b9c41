#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <bwvutil/custom.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "custom_support.hpp"

using bwv_test::FakeRoot;
using bwv_test::in_fresh_process;
using bwv_test::plist_dict;

namespace {

std::string or_null(const char *s) { return s ? s : "<null>"; }

TEST(Rebrand, WithoutARebrandFileTheNameIsBrindleWaveAndDefaultsComeBack) {
    FakeRoot root;
    EXPECT_EQ(in_fresh_process([] {
                  static const char def[] = "default text";
                  std::string out = or_null(get_bwvpname());
                  out += getbwvtxt("Title", def) == def ? "|same-pointer" : "|other";
                  return out;
              }),
              "BrindleWave|same-pointer");
}

TEST(Rebrand, ProductNameAndTextsComeFromTheFileOnce) {
    FakeRoot root;
    FakeRoot::write(root.rebrand_file(),
                    plist_dict("<key>ProductName</key><string>Acme Secure</string>\n"
                               "<key>Title</key><string>Acme Installer</string>\n"
                               "<key>Count</key><integer>5</integer>\n"
                               "<key>Empty</key><string></string>\n"
                               "<key>Nested</key><dict/>\n"));
    std::string file = root.rebrand_file();
    EXPECT_EQ(in_fresh_process([&] {
                  int watch = inotify_init1(IN_NONBLOCK);
                  inotify_add_watch(watch, file.c_str(), IN_OPEN | IN_CLOSE_NOWRITE);
                  std::string out = or_null(get_bwvpname());
                  out += "|" + or_null(getbwvtxt("Title", "d"));
                  // Entries that are not text, or empty text, are not rebrand texts.
                  out += "|" + or_null(getbwvtxt("Count", "d"));
                  out += "|" + or_null(getbwvtxt("Empty", "d"));
                  out += "|" + or_null(getbwvtxt("Nested", "d"));
                  // A watch on a file reports without a name, so events are all one size;
                  // closes are watched too, as repeated identical events are merged.
                  inotify_event events[16];
                  ssize_t got = read(watch, events, sizeof events);
                  int opens = 0;
                  for (ssize_t i = 0; i < got / ssize_t(sizeof *events); ++i) opens += (events[i].mask & IN_OPEN) != 0;
                  out += "|opened " + std::to_string(opens);
                  close(watch);
                  // Changing or removing the file is not seen until the next start.
                  FakeRoot::write(file, plist_dict("<key>ProductName</key><string>Z</string>\n"));
                  out += "|" + or_null(get_bwvpname());
                  std::remove(file.c_str());
                  out += "|" + or_null(getbwvtxt("Title", "d"));
                  // The cache ignores the path of later lookups.
                  out += "|" + or_null(getbwvtxt_ex("/nonexistent", "ProductName", "d"));
                  return out;
              }),
              "Acme Secure|Acme Installer|d|d|d|opened 1|Acme Secure|Acme Installer|Acme Secure");
}

TEST(Rebrand, EmptyProductNameKeepsTheDefault) {
    FakeRoot root;
    FakeRoot::write(root.rebrand_file(),
                    plist_dict("<key>ProductName</key><string></string>\n"
                               "<key>Title</key><string>T</string>\n"));
    EXPECT_EQ(in_fresh_process([] { return or_null(get_bwvpname()) + "|" + or_null(getbwvtxt("Title", "d")); }),
              "BrindleWave|T");
}

TEST(Rebrand, AFileCreatedAfterTheFirstLookupIsNotRead) {
    FakeRoot root;
    std::string file = root.rebrand_file();
    EXPECT_EQ(in_fresh_process([&] {
                  std::string out = or_null(get_bwvpname());
                  FakeRoot::write(file, plist_dict("<key>ProductName</key><string>Late</string>\n"));
                  return out + "|" + or_null(get_bwvpname());
              }),
              "BrindleWave|BrindleWave");
}

TEST(Rebrand, LookupsWithoutAKeyDoNotFillTheCache) {
    FakeRoot root;
    std::string file = root.rebrand_file();
    EXPECT_EQ(in_fresh_process([&] {
                  static const char def[] = "d";
                  std::string out = getbwvtxt(nullptr, def) == def ? "null-key" : "bad";
                  out += getbwvtxt("", def) == def ? "|empty-key" : "|bad";
                  out += getbwvtxt_ex(file.c_str(), nullptr, nullptr) == nullptr ? "|null-def" : "|bad";
                  // The file written now is still read by the first real lookup.
                  FakeRoot::write(file, plist_dict("<key>ProductName</key><string>Now</string>\n"));
                  return out + "|" + or_null(get_bwvpname());
              }),
              "null-key|empty-key|null-def|Now");
}

TEST(Rebrand, DamagedOrForeignFilesGiveTheDefaults) {
    const std::string bodies[] = {
        bwv_test::evil_bomb(),
        "not a property list at all",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>ProductName</key>",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>ProductName</string>"
        "<string>Evil</string></array></plist>",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><string>Evil</string></plist>",
        "",
    };
    for (const std::string &body : bodies) {
        SCOPED_TRACE(body);
        FakeRoot root;
        FakeRoot::write(root.rebrand_file(), body);
        EXPECT_EQ(in_fresh_process([] { return or_null(get_bwvpname()) + "|" + or_null(getbwvtxt("Title", "d")); }),
                  "BrindleWave|d");
    }
}

TEST(Rebrand, ExplicitPathFillsTheCache) {
    FakeRoot root;
    std::string other = root.custom_file() + ".rebrand";
    FakeRoot::write(other, plist_dict("<key>Greeting</key><string>Hej \xc3\xa5</string>\n"));
    EXPECT_EQ(in_fresh_process([&] {
                  std::string out = or_null(getbwvtxt_ex(other.c_str(), "Greeting", "d"));
                  return out + "|" + or_null(get_bwvpname());
              }),
              "Hej \xc3\xa5|BrindleWave");
}

TEST(Rebrand, ConcurrentFirstLookupsFillTheCacheOnce) {
    FakeRoot root;
    FakeRoot::write(root.rebrand_file(),
                    plist_dict("<key>ProductName</key><string>Acme</string>\n"));
    EXPECT_EQ(in_fresh_process([] {
                  std::atomic<int> wrong{0};
                  std::atomic<bool> go{false};
                  std::vector<std::thread> threads;
                  for (int i = 0; i < 8; ++i)
                      threads.emplace_back([&] {
                          while (!go.load()) std::this_thread::yield();
                          for (int k = 0; k < 50; ++k) {
                              const char *name = get_bwvpname();
                              if (!name || std::strcmp(name, "Acme") != 0) ++wrong;
                          }
                      });
                  go = true;
                  for (auto &t : threads) t.join();
                  return std::to_string(wrong.load());
              }),
              "0");
}

}  // namespace
