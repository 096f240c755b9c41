#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <zlib.h>

#include <openssl/evp.h>

#include "tools/tool_support.hpp"

namespace {

using namespace bwv::test;

void put(std::string &s, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}

// A UDIF disk image (.dmg as macOS writes it): zlib-compressed chunks of the volume, the
// XML property list with the partition's block table, and the 512-byte "koly" trailer.
std::string make_udif(const std::string &volume) {
    uint64_t sectors = volume.size() / 512;
    const uint64_t per_chunk = 2048;
    std::string data, chunks;
    uint32_t count = 0;
    for (uint64_t s = 0; s < sectors; s += per_chunk) {
        uint64_t n = std::min(per_chunk, sectors - s);
        uLongf clen = compressBound(static_cast<uLong>(n * 512));
        std::string comp(clen, '\0');
        compress2(reinterpret_cast<Bytef *>(comp.data()), &clen,
                  reinterpret_cast<const Bytef *>(volume.data() + s * 512), static_cast<uLong>(n * 512), 6);
        comp.resize(clen);
        put(chunks, 0x80000005, 4), put(chunks, 0, 4), put(chunks, s, 8), put(chunks, n, 8);
        put(chunks, data.size(), 8), put(chunks, comp.size(), 8);
        data += comp;
        ++count;
    }
    put(chunks, 0xffffffff, 4), put(chunks, 0, 4), put(chunks, sectors, 8), put(chunks, 0, 8);
    put(chunks, data.size(), 8), put(chunks, 0, 8);
    ++count;
    std::string mish = "mish";
    put(mish, 1, 4), put(mish, 0, 8), put(mish, sectors, 8), put(mish, 0, 8), put(mish, 0x208, 4), put(mish, 0, 4);
    mish += std::string(24, '\0');
    put(mish, 0, 4), put(mish, 0, 4);
    mish += std::string(128, '\0');
    put(mish, count, 4);
    mish += chunks;
    std::string b64(4 * ((mish.size() + 2) / 3) + 1, '\0');
    b64.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char *>(b64.data()),
                                                   reinterpret_cast<const unsigned char *>(mish.data()),
                                                   static_cast<int>(mish.size()))));
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n<key>resource-fork</key>\n<dict>\n"
        "<key>blkx</key>\n<array>\n<dict>\n<key>Attributes</key><string>0x0050</string>\n"
        "<key>CFName</key><string>disk image (Apple_HFS : 1)</string>\n<key>Data</key><data>" +
        b64 +
        "</data>\n<key>ID</key><string>0</string>\n<key>Name</key><string>disk image (Apple_HFS : 1)</string>\n"
        "</dict>\n</array>\n</dict>\n</dict>\n</plist>\n";
    std::string koly = "koly";
    put(koly, 4, 4), put(koly, 512, 4), put(koly, 1, 4), put(koly, 0, 8), put(koly, 0, 8), put(koly, data.size(), 8);
    put(koly, 0, 8), put(koly, 0, 8), put(koly, 1, 4), put(koly, 1, 4);
    koly += std::string(16, '\0');
    put(koly, 0, 4), put(koly, 0, 4);
    koly += std::string(128, '\0');
    put(koly, data.size(), 8), put(koly, xml.size(), 8);
    koly += std::string(120, '\0');
    put(koly, 0, 4), put(koly, 0, 4);
    koly += std::string(128, '\0');
    put(koly, 1, 4), put(koly, sectors, 8);
    koly += std::string(12, '\0');
    return data + xml + koly;
}

class Hdiutil : public ::testing::Test {
protected:
    TempDir dir;

    std::string make_iso(const std::string &name, const std::vector<std::pair<std::string, std::string>> &files) {
        std::string src = dir / (name + ".src");
        mkdir(src.c_str(), 0755);
        for (auto &f : files) {
            std::string p = src + "/" + f.first;
            auto slash = p.rfind('/');
            std::string parent = p.substr(0, slash);
            mkdir(parent.c_str(), 0755);
            write_file(p, f.second);
        }
        std::string image = dir / name;
        auto r = run({"xorriso", "-as", "mkisofs", "-quiet", "-V", "TEST", "-J", "-R", "-o", image, src});
        EXPECT_EQ(r.rc, 0) << r.err;
        return image;
    }

    RunResult attach(const std::string &image, const std::string &mount, const std::string &input = "yes\n") {
        return run({tool("hdiutil"), "attach", image, "-mountpoint", mount, "-noverify", "-nobrowse", "-noautoopen"},
                   input);
    }
    RunResult detach(const std::string &mount) { return run({tool("hdiutil"), "detach", mount, "-force"}); }

    std::string real(const std::string &p) {
        char buf[PATH_MAX];
        return realpath(p.c_str(), buf) ? buf : p;
    }
};

TEST_F(Hdiutil, AttachShowsTheImageFilesReadOnlyAndDetachTakesThemAway) {
    std::string image = make_iso("client.dmg", {{"Install.mpkg", "package bytes"},
                                                {"Read Me.txt", "read me"},
                                                {"Extras/notes.txt", "notes"}});
    std::string mount = dir / "mnt";
    mkdir(mount.c_str(), 0755);
    auto r = attach(image, mount);
    ASSERT_EQ(r.rc, 0) << r.err;
    auto out = lines(r.out);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().rfind("/dev/disk", 0), 0u) << r.out;
    EXPECT_EQ(out.back().substr(out.back().rfind('\t') + 1), real(mount));

    EXPECT_EQ(list_dir(mount), (std::vector<std::string>{"Extras", "Install.mpkg", "Read Me.txt"}));
    EXPECT_EQ(read_file(mount + "/Install.mpkg"), "package bytes");
    EXPECT_EQ(read_file(mount + "/Extras/notes.txt"), "notes");
    for (auto *p : {"/Install.mpkg", "/Extras", "/Extras/notes.txt"}) {
        struct stat st{};
        ASSERT_EQ(stat((mount + p).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0222, 0u) << p << " is writable";
    }

    auto d = detach(mount);
    EXPECT_EQ(d.rc, 0) << d.err;
    EXPECT_NE(d.out.find("ejected"), std::string::npos);
    EXPECT_TRUE(exists(mount));
    EXPECT_TRUE(list_dir(mount).empty());

    auto again = detach(mount);
    EXPECT_NE(again.rc, 0);
    EXPECT_EQ(again.err.rfind("hdiutil: detach failed - ", 0), 0u) << again.err;
}

TEST_F(Hdiutil, AttachWorksWithoutAnAnswerOnInputAndMakesAMissingMountPoint) {
    std::string image = make_iso("plain.dmg", {{"a.txt", "a"}});
    std::string mount = dir / "new-mount";
    auto r = attach(image, mount, "");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(list_dir(mount), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(detach(mount).rc, 0);
}

TEST_F(Hdiutil, MissingDamagedOrForeignImagesFailAndLeaveNothingBehind) {
    std::string good = make_iso("good.dmg", {{"Install.mpkg", std::string(200000, 'x')}});
    std::string bytes = read_file(good);
    // 24 MiB of zeros compress to a few kilobytes: far more than such an image may expand to.
    std::string zeros = make_iso("zeros.iso", {{"zeros.bin", std::string(24 << 20, '\0')}});
    write_file(dir / "bomb.dmg", make_udif(read_file(zeros)));
    write_file(dir / "empty.dmg", "");
    write_file(dir / "garbage.dmg", std::string(70000, '\x5a'));
    write_file(dir / "truncated.dmg", bytes.substr(0, bytes.size() / 3));
    mkdir((dir / "folder.dmg").c_str(), 0755);
    write_file(dir / "payload.txt", "zip me");
    auto z = run({"7zz", "a", "-tzip", dir / "archive.zip", dir / "payload.txt"});
    ASSERT_EQ(z.rc, 0) << z.err;
    rename((dir / "archive.zip").c_str(), (dir / "archive.dmg").c_str());

    for (auto *name :
         {"missing.dmg", "empty.dmg", "garbage.dmg", "truncated.dmg", "folder.dmg", "archive.dmg", "bomb.dmg"}) {
        SCOPED_TRACE(name);
        std::string existing = dir / (std::string(name) + ".mnt");
        mkdir(existing.c_str(), 0755);
        auto r = attach(dir / name, existing);
        EXPECT_NE(r.rc, 0);
        EXPECT_EQ(r.err.rfind("hdiutil: attach failed - ", 0), 0u) << r.err;
        EXPECT_TRUE(list_dir(existing).empty());

        std::string fresh = dir / (std::string(name) + ".fresh");
        EXPECT_NE(attach(dir / name, fresh).rc, 0);
        EXPECT_FALSE(exists(fresh));
        // A failed attach must not leave a mount that detach would act on.
        EXPECT_NE(detach(existing).rc, 0);
    }
}

// The listing of a hostile image may understate what extracting it writes; the attach
// still stops at its limit (here 16 MiB and change for a tiny image) and leaves nothing.
TEST_F(Hdiutil, ExtractionWritingMoreThanTheListingClaimsIsStopped) {
    std::string fake = dir / "bin";
    mkdir(fake.c_str(), 0755);
    write_file(fake + "/7zz",
               "#!/bin/sh\n"
               "[ \"$1\" = x ] || { printf -- '--\\nType = Iso\\n----------\\nPath = a\\nSize = 1\\n'; exit 0; }\n"
               "for a; do case $a in -o*) out=${a#-o};; esac; done\n"
               "i=0; while [ $i -lt 32 ]; do head -c 1048576 /dev/zero > \"$out/f$i\" || exit 1; i=$((i+1)); done\n");
    chmod((fake + "/7zz").c_str(), 0755);
    write_file(dir / "tiny.dmg", "x");
    std::string mount = dir / "tiny";
    auto r = run({tool("hdiutil"), "attach", dir / "tiny.dmg", "-mountpoint", mount}, "",
                 {{"PATH", fake + ":" + std::getenv("PATH")}});
    EXPECT_NE(r.rc, 0);
    EXPECT_EQ(r.err, "hdiutil: attach failed - File too large\n");
    EXPECT_FALSE(exists(mount));
}

// Another account can neither block attaches by taking the mount table's name first nor
// have its own folder, or one anyone may write, used for the table.
TEST_F(Hdiutil, OtherAccountsCannotBlockOrHoldTheMountTable) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to act as two other accounts";
    const unsigned user = 54321, other = 54322;
    auto as = [](unsigned id, std::vector<std::string> argv) {
        std::vector<std::string> full = {"setpriv", "--reuid=" + std::to_string(id), "--regid=" + std::to_string(id),
                                         "--clear-groups"};
        full.insert(full.end(), argv.begin(), argv.end());
        return full;
    };
    std::string old_table = "/tmp/bwv-hdiutil-" + std::to_string(user);
    remove_tree(old_table);
    ASSERT_EQ(run(as(other, {"mkdir", "-m", "0755", old_table})).rc, 0);

    std::string image = make_iso("shared.dmg", {{"a.txt", "a"}});
    std::string home = dir / "home", own = dir / "run-own", foreign = dir / "run-root", open = dir / "run-open";
    for (auto &d : {home, own, foreign, open}) mkdir(d.c_str(), 0700);
    ASSERT_EQ(chown(dir.path().c_str(), user, user), 0);
    for (auto &d : {home, own, open}) ASSERT_EQ(chown(d.c_str(), user, user), 0);
    chmod(open.c_str(), 0777);
    symlink(own.c_str(), (dir / "run-link").c_str());
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
        EXPECT_EQ(list_dir(mount), std::vector<std::string>{"a.txt"});
        struct stat st{};
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

TEST_F(Hdiutil, BusyMountPointIsRefusedAndKeptIntact) {
    std::string image = make_iso("busy.dmg", {{"Install.mpkg", "pkg"}});
    std::string mount = dir / "busy";
    mkdir(mount.c_str(), 0755);
    write_file(mount + "/mine.txt", "keep me");
    auto r = attach(image, mount);
    EXPECT_NE(r.rc, 0);
    EXPECT_EQ(list_dir(mount), std::vector<std::string>{"mine.txt"});
    EXPECT_EQ(read_file(mount + "/mine.txt"), "keep me");
}

TEST_F(Hdiutil, AMountEmptiedWithoutDetachDoesNotBlockTheNextAttach) {
    std::string image = make_iso("again.dmg", {{"a.txt", "a"}});
    std::string mount = dir / "again";
    ASSERT_EQ(attach(image, mount).rc, 0);
    chmod(mount.c_str(), 0755);
    remove_tree(mount + "/a.txt");
    auto r = attach(image, mount);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(list_dir(mount), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(detach(mount).rc, 0);
}

TEST_F(Hdiutil, DetachNeverEmptiesAFolderItDidNotAttach) {
    std::string folder = dir / "precious";
    mkdir(folder.c_str(), 0755);
    write_file(folder + "/data.txt", "data");
    auto r = detach(folder);
    EXPECT_NE(r.rc, 0);
    EXPECT_EQ(r.err, "hdiutil: detach failed - No such file or directory\n");
    EXPECT_EQ(read_file(folder + "/data.txt"), "data");
}

TEST_F(Hdiutil, TwoImagesCanBeAttachedAtOnceAndDetachedSeparately) {
    std::string one = make_iso("one.dmg", {{"one.txt", "1"}});
    std::string two = make_iso("two.dmg", {{"two.txt", "2"}});
    std::string m1 = dir / "m1", m2 = dir / "m2";
    auto a1 = attach(one, m1), a2 = attach(two, m2);
    ASSERT_EQ(a1.rc, 0) << a1.err;
    ASSERT_EQ(a2.rc, 0) << a2.err;
    EXPECT_NE(lines(a1.out).back().substr(0, 12), lines(a2.out).back().substr(0, 12));
    EXPECT_EQ(detach(m1).rc, 0);
    EXPECT_TRUE(list_dir(m1).empty());
    EXPECT_EQ(list_dir(m2), std::vector<std::string>{"two.txt"});
    EXPECT_EQ(detach(m2).rc, 0);
}

TEST_F(Hdiutil, UdifImagesShowTheVolumeInsideTheirPartition) {
    std::string iso = make_iso("volume.iso", {{"Install.mpkg", "pkg"}, {"Docs/guide.txt", "guide"}});
    write_file(dir / "client.dmg", make_udif(read_file(iso)));
    std::string mount = dir / "udif";
    auto r = attach(dir / "client.dmg", mount);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(list_dir(mount), (std::vector<std::string>{"Docs", "Install.mpkg"}));
    EXPECT_EQ(read_file(mount + "/Docs/guide.txt"), "guide");
    EXPECT_EQ(detach(mount).rc, 0);

    // A partition that holds no file system cannot be mounted.
    write_file(dir / "blank.dmg", make_udif(std::string(512 * 64, '\x33')));
    std::string blank = dir / "blank";
    mkdir(blank.c_str(), 0755);
    auto b = attach(dir / "blank.dmg", blank);
    EXPECT_NE(b.rc, 0);
    EXPECT_TRUE(list_dir(blank).empty());
}

TEST_F(Hdiutil, DemoImageCarriesTheSignedInstallPackage) {
    std::string mount = dir / "demo";
    auto r = attach(demo("feed/BrindleWaveFull-" BWV_DEMO_VERSION ".dmg"), mount);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(list_dir(mount), (std::vector<std::string>{"Install.mpkg", "ReadMe.txt"}));
    EXPECT_EQ(read_file(mount + "/Install.mpkg"), read_file(demo("full/Install.mpkg")));
    auto check = run({tool("pkgutil"), "--check-signature", mount + "/Install.mpkg"});
    EXPECT_EQ(check.rc, 0) << check.out << check.err;
    EXPECT_EQ(detach(mount).rc, 0);
}

}  // namespace
