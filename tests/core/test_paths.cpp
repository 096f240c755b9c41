#include <gtest/gtest.h>

#include <bwvutil/paths.h>

#include "platform/core/paths.hpp"

namespace {

struct RootGuard {
    ~RootGuard() { bwv_set_root(nullptr); }
};

TEST(Paths, RootPrefixesEveryFixedPathIncludingTools) {
    RootGuard g;
    bwv_set_root("/tmp/fake-root/");
    EXPECT_STREQ(bwv_root(), "/tmp/fake-root");
    EXPECT_EQ(bwv::paths::fixed(bwv::paths::kRebrandFile),
              "/tmp/fake-root/Library/Application Support/Tarvenel/BrindleWave/conf/rebrand_text.plist");
    EXPECT_EQ(bwv::paths::fixed(bwv::paths::kPkgutil), "/tmp/fake-root/usr/sbin/pkgutil");
    EXPECT_EQ(bwv::paths::fixed(bwv::paths::kConsole), "/tmp/fake-root/dev/console");
    EXPECT_EQ(bwv::paths::fixed(bwv::paths::kUpgradePkg), "/tmp/fake-root/tmp/bwv_upgrade.pkg");
}

TEST(Paths, NullOrEmptyRootRestoresRealPaths) {
    RootGuard g;
    bwv_set_root("/x");
    bwv_set_root("");
    EXPECT_STREQ(bwv_root(), "");
    EXPECT_EQ(bwv::paths::fixed(bwv::paths::kConsole), "/dev/console");
    bwv_set_root("/x");
    bwv_set_root(nullptr);
    EXPECT_EQ(bwv::paths::fixed(bwv::paths::kCustomFile),
              "/Library/Application Support/Tarvenel/BrindleWave/conf/custom.plist");
}

TEST(Paths, SlashRootIsTheMacOSLayoutItself) {
    RootGuard g;
    bwv_set_root("/");
    EXPECT_STREQ(bwv_root(), "/");
    EXPECT_EQ(bwv::paths::fixed(bwv::paths::kHdiutil), "/usr/bin/hdiutil");
    EXPECT_EQ(bwv::paths::fixed(bwv::paths::kConsole), "/dev/console");
}

TEST(Paths, ToolsWithoutRootAreTheStandIns) {
    RootGuard g;
    bwv_set_root(nullptr);
    std::string hd = bwv::paths::fixed(bwv::paths::kHdiutil);
    if (bwv::paths::tool_dir().empty()) {
        EXPECT_EQ(hd, "/usr/bin/hdiutil");
    } else {
        EXPECT_EQ(hd, bwv::paths::tool_dir() + "/hdiutil");
    }
}

}  // namespace
