#include <gtest/gtest.h>

#include <bwvutil/paths.h>

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

#include "support/bwvtest.hpp"
#include "platform/core/paths.hpp"

namespace {

struct RootGuard {
    ~RootGuard() { bwv_set_root(nullptr); }
};

// Each row starts from another root, so a null or empty one must undo it.
TEST(Paths, RootPrefixesEveryFixedPathAndNullOrEmptyRestoresRealOnes) {
    RootGuard g;
    namespace p = bwv::paths;
    const std::string support = "/Library/Application Support/Tarvenel/BrindleWave/conf/";
    const struct {
        const char *root, *shown;  // shown: bwv_root() afterwards, nullptr if not checked
        std::string_view path;
        std::string fixed;
    } cases[] = {
        {"/tmp/fake-root/", "/tmp/fake-root", p::kRebrandFile, "/tmp/fake-root" + support + "rebrand_text.plist"},
        {"/tmp/fake-root/", nullptr, p::kPkgutil, "/tmp/fake-root/usr/sbin/pkgutil"},
        {"/tmp/fake-root/", nullptr, p::kConsole, "/tmp/fake-root/dev/console"},
        {"/tmp/fake-root/", nullptr, p::kUpgradePkg, "/tmp/fake-root/tmp/bwv_upgrade.pkg"},
        {"", "", p::kConsole, "/dev/console"},
        {nullptr, nullptr, p::kCustomFile, support + "custom.plist"},
        {"/", "/", p::kHdiutil, "/usr/bin/hdiutil"},  // the macOS layout itself
        {"/", nullptr, p::kConsole, "/dev/console"},
    };
    for (const auto &c : cases) {
        bwv_set_root("/x");
        bwv_set_root(c.root);
        if (c.shown) {
            EXPECT_STREQ(bwv_root(), c.shown);
        }
        EXPECT_EQ(p::fixed(c.path), c.fixed) << (c.root ? c.root : "null") << " " << c.path;
    }
}

TEST(Paths, ToolsWithoutRootAreTheStandInsBesideTheProgram) {
    RootGuard g;
    bwv_set_root(nullptr);
    EXPECT_EQ(bwv::paths::fixed(bwv::paths::kHdiutil), bwv::paths::tool_dir() + "/hdiutil");
    EXPECT_EQ(access(bwv::paths::fixed(bwv::paths::kPkgutil).c_str(), X_OK), 0);
}

// A copy of the library runs the tools beside the copy, and none when there are none there,
// never those of the tree it was built in.
TEST(Paths, ACopiedLibraryRunsOnlyTheToolsBesideIt) {
    bwv::test::TempDir dir;
    const std::string pkg = BWV_DEMO_DIR "/full/Install.mpkg";
    for (bool withTools : {true, false}) {
        SCOPED_TRACE(withTools ? "tools beside the copy" : "no tools beside the copy");
        const std::string tree = dir.file(withTools ? "with" : "without");
        std::filesystem::create_directories(tree + "/lib");
        if (withTools) {
            std::filesystem::create_directories(tree + "/libexec");
            std::filesystem::create_directory_symlink(BWV_TOOL_DIR, tree + "/libexec/bwvutil");
        }
        const std::string lib = tree + "/lib/libbwvutil.so.1";
        std::filesystem::copy_file(BWV_SHARED_LIBRARY, lib);
        void *h = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(h, nullptr) << dlerror();
        auto verify = reinterpret_cast<int (*)(const char *)>(dlsym(h, "verifyPackage"));
        ASSERT_NE(verify, nullptr);
        EXPECT_EQ(verify(pkg.c_str()), withTools ? 1 : 0);
        dlclose(h);
    }
}

}  // namespace
