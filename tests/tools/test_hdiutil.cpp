#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "tools/tool_support.hpp"

namespace {

using namespace bwv::test;
using Names = std::vector<std::string>;

const std::string kImage = demo("feed/BrindleWaveFull-" BWV_DEMO_VERSION ".dmg");
const std::string kUdif = BWV_TOOLS_DATA "/udif-volume.dmg";

RunResult attach(const std::string &image, const std::string &mount, const std::string &input = "yes\n",
                 const Env &env = {}) {
    return run({tool("hdiutil"), "attach", image, "-mountpoint", mount, "-noverify", "-nobrowse", "-noautoopen"}, input,
               env);
}
RunResult detach(const std::string &mount) { return run({tool("hdiutil"), "detach", mount, "-force"}); }

// An ISO 9660 volume whose every folder has `width` entries for the one folder of the next
// level, `depth` levels deep: width^depth paths from a few kilobytes.
std::string folder_dag(int width, int depth) {
    const uint32_t kSector = 2048, kRoot = 18;
    auto both = [](uint32_t v, int n) {
        std::string b(2 * n, '\0');
        for (int i = 0; i < n; ++i) b[i] = b[2 * n - 1 - i] = static_cast<char>(v >> 8 * i);
        return b;
    };
    auto dir = [&](uint32_t at, const std::string &name) {
        std::string r = std::string(2, '\0') + both(at, 4) + both(kSector, 4) +
                        std::string("\0\0\0\0\0\0\0\2\0\0", 10) + both(1, 2) + static_cast<char>(name.size()) + name;
        r.resize((r.size() + 1) / 2 * 2);
        r[0] = static_cast<char>(r.size());
        return r;
    };
    std::string iso((kRoot + depth + 1) * kSector, '\0');
    for (int level = 0; level <= depth; ++level) {
        std::string d = dir(kRoot + level, std::string(1, '\0')) + dir(kRoot + level - (level > 0), "\1");
        for (int i = 0; level < depth && i < width; ++i) d += dir(kRoot + level + 1, "D" + std::to_string(i));
        iso.replace((kRoot + level) * kSector, d.size(), d);
    }
    std::string pvd = "\1CD001\1" + std::string(73, '\0') + both(static_cast<uint32_t>(iso.size() / kSector), 4) +
                      std::string(32, '\0') + both(1, 2) + both(1, 2) + both(kSector, 2) + std::string(24, '\0') +
                      dir(kRoot, std::string(1, '\0'));
    iso.replace(16 * kSector, pvd.size(), pvd);
    iso[16 * kSector + 881] = 1;
    return iso.replace(17 * kSector, 7,
                       "\xff"
                       "CD001\1");
}

bool writable(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) != 0 || (st.st_mode & 0222);
}

TEST(Hdiutil, AttachShowsTheVolumeReadOnlyUntilDetached) {
    TempDir dir;
    auto r = attach(kImage, dir / "demo");  // a missing mount point is made
    ASSERT_EQ(r.rc, 0) << r.err;
    std::string device = lines(r.out).back();
    EXPECT_EQ(device.rfind("/dev/disk", 0), 0u) << r.out;
    EXPECT_EQ(device.substr(device.rfind('\t') + 1), std::filesystem::canonical(dir / "demo").string());
    EXPECT_EQ(list_dir(dir / "demo"), (Names{"Install.mpkg", "ReadMe.txt"}));
    EXPECT_EQ(read_file(dir / "demo/Install.mpkg"), read_file(demo("full/Install.mpkg")));
    EXPECT_EQ(run({tool("pkgutil"), "--check-signature", dir / "demo/Install.mpkg"}).rc, 0);

    // A second image, UDIF, at once and without an answer on input.
    auto u = attach(kUdif, dir.mkdirs("udif"), "");
    EXPECT_EQ(attach(dir.write("folders.iso", folder_dag(2, 8)), dir / "dag").rc + detach(dir / "dag").rc, 0);
    ASSERT_EQ(u.rc, 0) << u.err;
    EXPECT_NE(lines(u.out).back().substr(0, 12), device.substr(0, 12));
    EXPECT_EQ(list_dir(dir / "udif"), (Names{"Docs", "Install.mpkg"}));
    EXPECT_EQ(read_file(dir / "udif/Docs/guide.txt"), "guide");
    for (auto *p : {"demo/Install.mpkg", "udif/Docs", "udif/Docs/guide.txt"}) EXPECT_FALSE(writable(dir / p)) << p;

    // A folder in use is neither attached to nor emptied by detach.
    dir.write("busy/mine.txt", "keep me");
    EXPECT_NE(attach(kImage, dir / "busy").rc, 0);
    EXPECT_EQ(detach(dir / "busy").err, "hdiutil: detach failed - No such file or directory\n");
    EXPECT_EQ(dir.read("busy/mine.txt"), "keep me");
    EXPECT_EQ(list_dir(dir / "busy"), Names{"mine.txt"});

    auto d = detach(dir / "demo");
    EXPECT_EQ(d.rc, 0) << d.err;
    EXPECT_NE(d.out.find("ejected"), std::string::npos);
    EXPECT_TRUE(list_dir(dir / "demo").empty());
    EXPECT_EQ(detach(dir / "demo").err.rfind("hdiutil: detach failed - ", 0), 0u);
    EXPECT_EQ(list_dir(dir / "udif").size(), 2u);

    // A mount emptied without detach does not block the next attach.
    for (auto &n : list_dir(dir / "udif")) remove_tree(dir / ("udif/" + n));
    EXPECT_EQ(attach(kUdif, dir / "udif").rc, 0);
    EXPECT_EQ(list_dir(dir / "udif").size(), 2u);
    EXPECT_EQ(detach(dir / "udif").rc, 0);
}

// Missing, damaged and foreign images fail and leave nothing, and so do images that expand
// beyond their limit (here 16 MiB and change), even where 7zz's listing understates it.
TEST(Hdiutil, ImagesThatCannotBeAttachedLeaveNothingBehind) {
    TempDir dir;
    std::string bytes = read_file(kImage);
    dir.write("empty.dmg", "");
    dir.write("truncated.dmg", bytes.substr(0, bytes.size() / 3));
    dir.mkdirs("folder.dmg");
    ASSERT_EQ(run({"7zz", "a", "-tzip", dir / "zip.zip", kUdif}).rc, 0);
    ASSERT_EQ(rename((dir / "zip.zip").c_str(), (dir / "archive.dmg").c_str()), 0);
    dir.script("bin/7zz",
               "[ \"$1\" = x ] || { printf -- '--\\nType = Iso\\n----------\\nPath = a\\nSize = 1\\n'; exit 0; }\n"
               "for a; do case $a in -o*) out=${a#-o};; esac; done\n"
               "i=0; while [ $i -lt 32 ]; do head -c 1048576 /dev/zero > \"$out/f$i\" || exit 1; i=$((i+1)); done\n");
    const Env lying{{"PATH", dir / "bin" + ":" + std::getenv("PATH")}};
    const struct {
        std::string image, why = {};
        Env env = {};
    } rows[] = {
        {dir / "missing.dmg"},
        {dir / "empty.dmg"},
        {dir / "truncated.dmg"},
        {dir / "folder.dmg"},
        {dir / "archive.dmg"},
        {BWV_TOOLS_DATA "/udif-blank.dmg"},
        {BWV_TOOLS_DATA "/udif-bomb.dmg", "File too large"},
        {dir.write("tiny.dmg", "x"), "File too large", lying},
        {dir.write("folders.iso", folder_dag(2, 24)), "File too large"},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.image);
        std::string existing = dir.mkdirs("existing"), fresh = dir / "fresh";
        auto r = attach(row.image, existing, "yes\n", row.env);
        EXPECT_NE(r.rc, 0);
        EXPECT_EQ(r.err.rfind("hdiutil: attach failed - " + row.why, 0), 0u) << r.err;
        EXPECT_TRUE(list_dir(existing).empty());
        EXPECT_NE(attach(row.image, fresh, "", row.env).rc, 0);
        EXPECT_FALSE(exists(fresh));
        EXPECT_NE(detach(existing).rc, 0);  // no mount left that detach would act on
    }
}

// Another account can neither block attaches by taking the mount table's name first nor
// have its own folder, or one anyone may write, used for the table.
TEST(Hdiutil, OtherAccountsCannotBlockOrHoldTheMountTable) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to act as two other accounts";
    const unsigned user = 54321;
    auto as = [](unsigned id, Names argv) {
        argv.insert(argv.begin(),
                    {"setpriv", "--reuid=" + std::to_string(id), "--regid=" + std::to_string(id), "--clear-groups"});
        return argv;
    };
    std::string old_table = "/tmp/bwv-hdiutil-54321";
    remove_tree(old_table);
    ASSERT_EQ(run(as(54322, {"mkdir", "-m", "0755", old_table})).rc, 0);

    TempDir dir;
    std::string image = dir.write("shared.dmg", read_file(kImage)), home = dir.mkdirs("home");
    std::string own = dir.mkdirs("run-own"), foreign = dir.mkdirs("run-root"), open = dir.mkdirs("run-open");
    const std::string setup =
        "chown 54321:54321 \"$0\" \"$1\" \"$2\" \"$3\" && chmod 700 \"$2\" \"$4\" && "
        "chmod 777 \"$3\" && ln -s \"$2\" \"$0/run-link\"";
    ASSERT_EQ(run({"sh", "-c", setup, dir.path(), home, own, open, foreign}).rc, 0);
    std::string cache_table = home + "/.cache/bwv-hdiutil";
    const std::pair<std::string, std::string> cases[] = {
        {own, own + "/bwv-hdiutil"}, {foreign, cache_table}, {open, cache_table}, {dir / "run-link", cache_table}};
    for (auto &[runtime, table] : cases) {
        SCOPED_TRACE(runtime);
        remove_tree(own + "/bwv-hdiutil");
        Env env = {{"HOME", home}, {"XDG_RUNTIME_DIR", runtime}};
        std::string mount = dir / ("m-" + runtime.substr(runtime.rfind('/') + 1));
        auto a = run(as(user, {tool("hdiutil"), "attach", image, "-mountpoint", mount}), "", env);
        EXPECT_EQ(a.rc, 0) << a.err;
        EXPECT_EQ(list_dir(mount).size(), 2u);
        struct stat st {};
        ASSERT_EQ(lstat(table.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode) && st.st_uid == user && (st.st_mode & 077) == 0);
        EXPECT_EQ(list_dir(table).size(), 1u);
        auto d = run(as(user, {tool("hdiutil"), "detach", mount}), "", env);
        EXPECT_EQ(d.rc, 0) << d.err;
        EXPECT_TRUE(list_dir(mount).empty());
    }
    EXPECT_TRUE(list_dir(foreign).empty());
    EXPECT_TRUE(list_dir(open).empty());
    EXPECT_FALSE(exists(own + "/bwv-hdiutil"));  // the link (last case) was not followed
    remove_tree(old_table);
}

}  // namespace
