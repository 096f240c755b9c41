#include <gtest/gtest.h>

#include <bwvutil/paths.h>

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

#include "lib/core/paths.hpp"
#include "support/bwvtest.hpp"

namespace {

// Each row starts from another root, so a null or empty one must undo it.
TEST(Paths, RootPrefixesEveryFixedPathAndNullOrEmptyRestoresRealOnes) {
    namespace p = bwv::paths;
    const std::string support = "/Library/Application Support/Tarvenel/BrindleWave/conf/";
    const struct {
        const char *root, *shown;  // shown: bwv_root() afterwards, nullptr if not checked
        std::string_view path;
        std::string fixed;
    } cases[] = {
        {"/tmp/fake-root/", "/tmp/fake-root", p::kRebrandFile, "/tmp/fake-root" + support + "rebrand_text.plist"},
        {"/tmp/fake-root/", nullptr, p::kUpgradePkg, "/tmp/fake-root/tmp/bwv_upgrade.pkg"},
        {"", "", p::kConsole, "/dev/console"},
        {nullptr, nullptr, p::kCustomFile, support + "custom.plist"},
        {"/", "/", p::kHdiutil, "/usr/bin/hdiutil"},  // the macOS layout itself
    };
    for (const auto &c : cases) {
        bwv_set_root("/x");
        bwv_set_root(c.root);
        EXPECT_STREQ(c.shown ? bwv_root() : nullptr, c.shown);
        EXPECT_EQ(p::fixed(c.path), c.fixed) << (c.root ? c.root : "null") << " " << c.path;
    }
    // Without a root the tools are the stand-ins beside the program.
    bwv_set_root(nullptr);
    EXPECT_EQ(p::fixed(p::kHdiutil), p::tool_dir() + "/hdiutil");
    EXPECT_EQ(access(p::fixed(p::kPkgutil).c_str(), X_OK), 0);
}

// A copy of the library runs the tools beside the copy, and none when there are none there,
// never those of the tree it was built in.
TEST(Paths, ACopiedLibraryRunsOnlyTheToolsBesideIt) {
    bwv::test::TempDir dir;
    for (bool withTools : {true, false}) {
        const std::string tree = dir.file(withTools ? "with" : "without");
        std::filesystem::create_directories(tree + "/lib");
        if (withTools) std::filesystem::create_directory_symlink(BWV_TOOL_DIR, dir.mkdirs("with/libexec") + "/bwvutil");
        const std::string lib = tree + "/lib/libbwvutil.so.1";
        std::filesystem::copy_file(BWV_SHARED_LIBRARY, lib);
        void *h = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(h, nullptr) << dlerror();
        auto verify = reinterpret_cast<int (*)(const char *)>(dlsym(h, "verifyPackage"));
        ASSERT_NE(verify, nullptr);
        EXPECT_EQ(verify(BWV_DEMO_DIR "/full/Install.mpkg"), withTools ? 1 : 0) << withTools;
        dlclose(h);
    }
}

}  // namespace
